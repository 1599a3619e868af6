#include "dictionary/qdsdDataDictionary.h"

#include <cerrno>
#include <utility>

#include "dictionary/qdsdDataDictionary_Private.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"

namespace qd {

using namespace qdsdDataDictionary_Private;

bool qdDisable30900LocaleFixes = false;
thread_local int32_t qdDictionaryAssignDepth = 0;
thread_local bool qdDictionaryInfoLost = false;

namespace {

// Registries of the descriptor families; each family's base class record
// points at its variable.
#define QD_FAMILY_REGISTRY(aName)              \
  TqdClassRegistry* aName##Registry = nullptr; \
  TqdClassRegistry** aName() { return &aName##Registry; }

QD_FAMILY_REGISTRY(localeFamily)

struct TqdAssignDepthGuard {
  TqdAssignDepthGuard() { ++qdDictionaryAssignDepth; }
  ~TqdAssignDepthGuard() { --qdDictionaryAssignDepth; }
};

TqdChangeNotifyList* notifyListOf(TqdDictionaryItem* aSource, TqdChangeNotifyKind aKind) {
  switch (aKind) {
    case TqdChangeNotifyKind::cnkField:
      if (auto* fields = dynamic_cast<TqdFieldsDescriptor*>(aSource)) return &fields->FieldChangeNotifies();
      break;
    case TqdChangeNotifyKind::cnkFile:
      if (auto* files = dynamic_cast<TqdFilesDescriptor*>(aSource)) return &files->FileChangeNotifies();
      break;
    case TqdChangeNotifyKind::cnkIndex:
      if (auto* indices = dynamic_cast<TqdBaseIndicesDescriptor*>(aSource)) return &indices->IndexChangeNotifies();
      break;
  }
  return nullptr;
}

const std::vector<qdString> noLines;

}  // namespace

// --- Change notification lists -----------------------------------------------------------

TqdChangeNotifyList::~TqdChangeNotifyList() { DetachAll(); }

void TqdChangeNotifyList::Add(TqdDictionaryItem* aItem) {
  if (!Contains(aItem)) cnlItems.push_back(aItem);
}

void TqdChangeNotifyList::Remove(TqdDictionaryItem* aItem) {
  for (size_t i = cnlItems.size(); i > 0; --i) {
    if (cnlItems[i - 1] == aItem) {
      cnlItems.erase(cnlItems.begin() + static_cast<std::ptrdiff_t>(i - 1));
      return;
    }
  }
}

bool TqdChangeNotifyList::Contains(const TqdDictionaryItem* aItem) const {
  return std::find(cnlItems.begin(), cnlItems.end(), aItem) != cnlItems.end();
}

void TqdChangeNotifyList::DetachAll() {
  for (TqdDictionaryItem* item : cnlItems) item->diNotifyLists[static_cast<int>(cnlKind)] = nullptr;
  cnlItems.clear();
}

// --- Dictionary items ----------------------------------------------------------------------

const TqdClassInfo TqdDictionaryItem::ClassInfo{u"TqdDictionaryItem", &TqdBaseRegisterableDescriptor::ClassInfo,
                                                nullptr};

TqdDictionaryItem::TqdDictionaryItem(TqdPersistent* aParent) : diParent(aParent) {
  TqdDictionaryItem* parentItem = ParentItem();
  for (TqdDictionaryItem* item = parentItem; item != nullptr; item = item->ParentItem()) {
    if (auto* dictionary = dynamic_cast<TqdDataDictionary*>(item)) {
      diID = dictionary->NextID();
      break;
    }
  }
  if (parentItem != nullptr) parentItem->AddChild(this);
}

TqdDictionaryItem::~TqdDictionaryItem() {
  for (int kind = 0; kind < kChangeNotifyKindCount; ++kind)
    UnregisterChangeNotify(static_cast<TqdChangeNotifyKind>(kind));
  // Children still attached are not owned here; they outlive this item
  // without a parent rather than call back into it.
  for (TqdDictionaryItem* child : diChilds) child->diParent = nullptr;
  diChilds.clear();
  if (TqdDictionaryItem* parentItem = ParentItem()) parentItem->RemoveChild(this);
  if (!diConstraintName.empty()) {
    try {
      RemoveConstraintName(this, diConstraintName);
    } catch (...) {
      // The table is going too, or never knew the name; nothing to undo.
    }
  }
}

TqdDictionaryItem* TqdDictionaryItem::ParentItem() const { return dynamic_cast<TqdDictionaryItem*>(diParent); }

TqdDataDictionary* TqdDictionaryItem::Dictionary() const {
  for (const TqdDictionaryItem* item = this; item != nullptr; item = item->ParentItem()) {
    if (auto* dictionary = dynamic_cast<const TqdDataDictionary*>(item))
      return const_cast<TqdDataDictionary*>(dictionary);
  }
  return nullptr;
}

const std::vector<qdString>& TqdDictionaryItem::CustomStrings() const {
  return diCustomStrings != nullptr ? *diCustomStrings : noLines;
}

void TqdDictionaryItem::SetCustomStrings(const std::vector<qdString>* aLines) {
  CheckReadOnly();
  if (aLines == nullptr) {
    diCustomStrings.reset();
  } else {
    diCustomStrings = std::make_unique<std::vector<qdString>>(*aLines);
  }
}

qdString TqdDictionaryItem::CustomStringValue(qdStringView aName) const {
  for (const qdString& line : CustomStrings()) {
    if (line.find(u'=') != qdString::npos && sameTextAscii(lineName(line), aName))
      return line.substr(lineName(line).size() + 1);
  }
  return {};
}

bool TqdDictionaryItem::HasCustomStringValue(qdStringView aName) const {
  for (const qdString& line : CustomStrings()) {
    if (line.find(u'=') != qdString::npos && sameTextAscii(lineName(line), aName)) return true;
  }
  return false;
}

void TqdDictionaryItem::SetCustomStringValue(qdStringView aName, qdStringView aValue) {
  CheckReadOnly();
  StoreCustomStringValue(aName, aValue);
}

void TqdDictionaryItem::StoreCustomStringValue(qdStringView aName, qdStringView aValue) {
  if (diCustomStrings != nullptr) {
    for (size_t i = 0; i < diCustomStrings->size(); ++i) {
      const qdString& line = (*diCustomStrings)[i];
      if (line.find(u'=') == qdString::npos || !sameTextAscii(lineName(line), aName)) continue;
      if (aValue.empty()) {
        diCustomStrings->erase(diCustomStrings->begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        (*diCustomStrings)[i] = qdString(aName) + u"=" + qdString(aValue);
      }
      return;
    }
  }
  if (aValue.empty()) return;
  if (diCustomStrings == nullptr) diCustomStrings = std::make_unique<std::vector<qdString>>();
  diCustomStrings->push_back(qdString(aName) + u"=" + qdString(aValue));
}

void TqdDictionaryItem::SetConstraintName(qdStringView aName) {
  CheckReadOnly();
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidName, true, true);
  if (check != 0) Error(check);
  if (aName == diConstraintName) return;
  const qdString newName(aName);
  if (!newName.empty()) AddConstraintName(this, newName);
  if (!diConstraintName.empty()) {
    try {
      RemoveConstraintName(this, diConstraintName);
    } catch (...) {
      if (!newName.empty()) RemoveConstraintName(this, newName);
      throw;
    }
  }
  diConstraintName = newName;
}

void TqdDictionaryItem::CheckReadOnly() const {
  if (TqdDictionaryItem* parentItem = ParentItem()) parentItem->CheckReadOnly();
}

void TqdDictionaryItem::ActivateCache() {
  diCacheActive = true;
  for (TqdDictionaryItem* child : diChilds) child->ActivateCache();
}

void TqdDictionaryItem::DeactivateCache() {
  diCacheActive = false;
  for (TqdDictionaryItem* child : diChilds) child->DeactivateCache();
}

void TqdDictionaryItem::AddChild(TqdDictionaryItem* aItem) { diChilds.push_back(aItem); }

void TqdDictionaryItem::RemoveChild(TqdDictionaryItem* aItem) {
  for (size_t i = diChilds.size(); i > 0; --i) {
    if (diChilds[i - 1] == aItem) {
      diChilds.erase(diChilds.begin() + static_cast<std::ptrdiff_t>(i - 1));
      return;
    }
  }
}

void TqdDictionaryItem::AddConstraintName(TqdDictionaryItem* aItem, const qdString& aName) {
  if (TqdDictionaryItem* parentItem = ParentItem()) parentItem->AddConstraintName(aItem, aName);
}

void TqdDictionaryItem::RemoveConstraintName(TqdDictionaryItem* aItem, const qdString& aName) {
  if (TqdDictionaryItem* parentItem = ParentItem()) parentItem->RemoveConstraintName(aItem, aName);
}

void TqdDictionaryItem::FieldChangeNotification(bool, int32_t, int32_t) {}

void TqdDictionaryItem::FileChangeNotification(bool, int32_t, int32_t) {}

void TqdDictionaryItem::IndexChangeNotification(bool, int32_t, int32_t) {}

bool TqdDictionaryItem::IsSameClass(const TqdDictionaryItem* aItem) const {
  return aItem != nullptr && &aItem->ClassType() == &ClassType();
}

bool TqdDictionaryItem::ItemRequiresPack() { return false; }

void TqdDictionaryItem::Clear(bool) {
  CheckReadOnly();
  diCustomStrings.reset();
}

bool TqdDictionaryItem::FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                                    TqdDictionaryItem*) {
  if (ClassType().InheritsFrom(aType)) {
    aDescriptor = this;
    return true;
  }
  if (TqdDictionaryItem* parentItem = ParentItem())
    return parentItem->FindRelatedDescriptorOfType(aType, aDescriptor, this);
  aDescriptor = nullptr;
  return false;
}

void TqdDictionaryItem::CustomStringsForStream(std::vector<qdString>& aLines, int32_t) const {
  aLines = CustomStrings();
}

void TqdDictionaryItem::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  aWriter.WriteInteger(aClientVersion < qdClientVersionItemIDs ? 1 : 3);
  std::vector<qdString> lines;
  CustomStringsForStream(lines, aClientVersion);
  aWriter.WriteListBegin();
  for (const qdString& line : lines) aWriter.WriteString(line);
  aWriter.WriteListEnd();
  if (aClientVersion >= qdClientVersionItemIDs) {
    aWriter.WriteInteger(diID);
    aWriter.WriteString(diConstraintName);
  }
}

int32_t TqdDictionaryItem::ReadVersion(TqdReader& aReader, int32_t aMin, int32_t aMax) const {
  const int32_t version = aReader.ReadInteger();
  if (version < aMin || version > aMax) Error(qdeIncompatibleStream);
  return version;
}

int32_t TqdDictionaryItem::LoadHeaderFromReader(TqdReader& aReader) {
  const int32_t version = ReadVersion(aReader, 1, 3);
  std::vector<qdString> lines;
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) lines.push_back(aReader.ReadString());
  aReader.ReadListEnd();
  if (lines.empty()) {
    diCustomStrings.reset();
  } else {
    diCustomStrings = std::make_unique<std::vector<qdString>>(std::move(lines));
  }
  if (version >= 2) {
    const int32_t id = aReader.ReadInteger();
    if (qdDictionaryAssignDepth == 0) diID = id;
  }
  if (version >= 3) SetConstraintName(aReader.ReadString());
  return version;
}

void TqdDictionaryItem::LoadFromReader(TqdReader& aReader) { LoadHeaderFromReader(aReader); }

void TqdDictionaryItem::CheckValid(bool aForBuild) {
  // For a build the custom strings are tidied: the last line of a name wins
  // and blank lines without a name go.
  if (!aForBuild || diCustomStrings == nullptr || diCustomStrings->size() <= 1) return;
  std::vector<qdString>& lines = *diCustomStrings;
  std::vector<qdString> seen;
  for (size_t i = lines.size(); i > 0; --i) {
    const qdString& line = lines[i - 1];
    bool remove = false;
    if (line.find(u'=') != qdString::npos) {
      const qdStringView name = lineName(line);
      for (const qdString& other : seen) {
        if (sameTextAscii(other, name)) {
          remove = true;
          break;
        }
      }
      if (!remove) seen.emplace_back(name);
    } else {
      remove = line.find_first_not_of(u" \t\r\n") == qdString::npos;
    }
    if (remove) {
      CheckReadOnly();
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i - 1));
    }
  }
}

bool TqdDictionaryItem::IsEqual(const TqdDictionaryItem* aItem) const {
  return aItem != nullptr && (IsSameClass(aItem) || aItem->IsSameClass(this));
}

bool TqdDictionaryItem::References(const TqdDictionaryItem*) const { return false; }

void TqdDictionaryItem::Assign(const TqdDictionaryItem* aSource) {
  if (aSource == nullptr || &aSource->ClassType() != &ClassType()) {
    const qdString sourceName = aSource != nullptr ? aSource->ClassName() : qdString(u"nil");
    throw EConvertError(Format(u"Cannot assign a %s to a %s", {sourceName, ClassName()}));
  }
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    aSource->SaveToWriter(writer, qdEngineClientVersion);
  }
  Clear(true);
  stream.SetPosition(0);
  TqdAssignDepthGuard depth;
  TqdReader reader(&stream);
  LoadFromReader(reader);
}

bool TqdDictionaryItem::FindParentOfType(const TqdClassInfo& aType, TqdPersistent*& aParent) const {
  for (TqdPersistent* owner = diParent; owner != nullptr;) {
    if (owner->ClassType().InheritsFrom(aType)) {
      aParent = owner;
      return true;
    }
    auto* item = dynamic_cast<TqdDictionaryItem*>(owner);
    owner = item != nullptr ? item->diParent : nullptr;
  }
  aParent = nullptr;
  return false;
}

TqdIteratorResult TqdDictionaryItem::IterateReferencing(TqdDictionaryItemIterator aIterator, void* aCookie,
                                                        const TqdDictionaryItem* aItem, bool aRecursive) {
  const std::vector<TqdDictionaryItem*> children = diChilds;
  for (TqdDictionaryItem* child : children) {
    if (child->References(aItem) && aIterator(child, aCookie) == irStop) return irStop;
    if (aRecursive && child->IterateReferencing(aIterator, aCookie, aItem, true) == irStop) return irStop;
  }
  return irContinue;
}

bool TqdDictionaryItem::RequiresPack() {
  if (ItemRequiresPack()) return true;
  for (TqdDictionaryItem* child : diChilds) {
    if (child->RequiresPack()) return true;
  }
  return false;
}

TqdDictionaryItem* TqdDictionaryItem::FindNotifySource(TqdChangeNotifyKind aKind) {
  switch (aKind) {
    case TqdChangeNotifyKind::cnkField:
      return FindRelated<TqdFieldsDescriptor>();
    case TqdChangeNotifyKind::cnkFile:
      return FindRelated<TqdFilesDescriptor>();
    case TqdChangeNotifyKind::cnkIndex:
      return FindRelated<TqdMainIndicesDescriptor>();
  }
  return nullptr;
}

void TqdDictionaryItem::RegisterChangeNotify(TqdChangeNotifyKind aKind) {
  TqdChangeNotifyList*& registered = diNotifyLists[static_cast<int>(aKind)];
  if (registered != nullptr) return;
  TqdDictionaryItem* found = FindNotifySource(aKind);
  TqdChangeNotifyList* list = found != nullptr ? notifyListOf(found, aKind) : nullptr;
  if (list == nullptr) return;
  list->Add(this);
  registered = list;
}

void TqdDictionaryItem::UnregisterChangeNotify(TqdChangeNotifyKind aKind) {
  TqdChangeNotifyList* list = std::exchange(diNotifyLists[static_cast<int>(aKind)], nullptr);
  if (list != nullptr) list->Remove(this);
}

void TqdDictionaryItem::RaiseError(TqdResult aErrorCode, qdStringView aMsg, TqdFormatArgs aArgs) const {
  qdRaiseItemError<EqdDictionaryItemException>(aErrorCode, aMsg, aArgs);
}

bool qdDictionaryItemsEqual(const TqdDictionaryItem* a, const TqdDictionaryItem* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->IsEqual(b);
}

// --- Locale descriptor ----------------------------------------------------------------------

const TqdLocaleDescriptorClass TqdLocaleDescriptor::ClassInfo{
    {u"TqdLocaleDescriptor", &TqdDictionaryItem::ClassInfo, &localeFamily},
    &qdNewDescriptor<TqdLocaleDescriptor, TqdLocaleDescriptor, TqdPersistent*>};

TqdLocaleDescriptor::TqdLocaleDescriptor(TqdPersistent* aParent)
    : TqdDictionaryItem(aParent), ldLocale(qdConvertDefaultLocale(LOCALE_SYSTEM_DEFAULT)) {}

TqdLocaleDescriptor::~TqdLocaleDescriptor() { delete ldNLSVersionInfoCurrent.exchange(nullptr); }

void TqdLocaleDescriptor::SetLocale(uint32_t aLocale) {
  CheckReadOnly();
  const uint32_t locale = aLocale == 0 ? 0 : qdConvertDefaultLocale(aLocale);
  if (locale == ldLocale) return;
  ldLocale = locale;
  // The current version belongs to the old locale.
  delete ldNLSVersionInfoCurrent.exchange(nullptr);
}

void TqdLocaleDescriptor::SetIgnoreKanaType(bool aValue) {
  CheckReadOnly();
  ldIgnoreKanaType = aValue;
}

void TqdLocaleDescriptor::SetIgnoreNonSpace(bool aValue) {
  CheckReadOnly();
  ldIgnoreNonSpace = aValue;
}

void TqdLocaleDescriptor::SetIgnoreSymbols(bool aValue) {
  CheckReadOnly();
  ldIgnoreSymbols = aValue;
}

void TqdLocaleDescriptor::SetIgnoreWidth(bool aValue) {
  CheckReadOnly();
  ldIgnoreWidth = aValue;
}

void TqdLocaleDescriptor::SetUseStringSort(bool aValue) {
  CheckReadOnly();
  ldUseStringSort = aValue;
}

void TqdLocaleDescriptor::SetOverrideStorageCodepage(uint16_t aValue) {
  CheckReadOnly();
  ldOverrideStorageCodepage = aValue;
}

uint32_t TqdLocaleDescriptor::Flags() const {
  uint32_t flags = 0;
  if (ldIgnoreKanaType) flags |= kFlagIgnoreKanaType;
  if (ldIgnoreNonSpace) flags |= kFlagIgnoreNonSpace;
  if (ldIgnoreSymbols) flags |= kFlagIgnoreSymbols;
  if (ldIgnoreWidth) flags |= kFlagIgnoreWidth;
  if (ldUseStringSort) flags |= kFlagUseStringSort;
  return flags;
}

void TqdLocaleDescriptor::SetFlags(uint32_t aFlags) {
  CheckReadOnly();
  ldIgnoreKanaType = (aFlags & kFlagIgnoreKanaType) != 0;
  ldIgnoreNonSpace = (aFlags & kFlagIgnoreNonSpace) != 0;
  ldIgnoreSymbols = (aFlags & kFlagIgnoreSymbols) != 0;
  ldIgnoreWidth = (aFlags & kFlagIgnoreWidth) != 0;
  ldUseStringSort = (aFlags & kFlagUseStringSort) != 0;
}

uint16_t TqdLocaleDescriptor::CompareCodepage() const {
  if (ldLocale == 0) return 0;
  const int32_t codePage = qdLocaleAnsiCodePage(ldLocale);
  if (codePage < 0 || codePage > 0xFFFF) {
    errno = EINVAL;
    qdRaiseLastOSError(u"TqdLocaleDescriptor.CompareCodepage");
  }
  return static_cast<uint16_t>(codePage);
}

uint16_t TqdLocaleDescriptor::StorageCodepage() const {
  return ldOverrideStorageCodepage != 0 ? ldOverrideStorageCodepage : CompareCodepage();
}

void TqdLocaleDescriptor::SetNLSVersionInfoBuild(const TqdNLSVersionInfoEx* aInfo) {
  CheckReadOnly();
  if (aInfo == nullptr) {
    ldNLSVersionInfoBuild.reset();
  } else {
    ldNLSVersionInfoBuild = std::make_unique<TqdNLSVersionInfoEx>(*aInfo);
  }
}

bool TqdLocaleDescriptor::CurrentLocaleVersionEqualToBuildVersion() {
  if (ldLocale == 0 || ldNLSVersionInfoBuild == nullptr) return true;
  TqdNLSVersionInfoEx* current = ldNLSVersionInfoCurrent.load(std::memory_order_acquire);
  if (current == nullptr) {
    auto fresh = std::make_unique<TqdNLSVersionInfoEx>();
    qdGetLocaleNLSVersion(ldLocale, *fresh);
    TqdNLSVersionInfoEx* expected = nullptr;
    if (ldNLSVersionInfoCurrent.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) {
      current = fresh.release();
    } else {
      current = expected;
    }
  }
  const TqdNLSVersionInfoEx& build = *ldNLSVersionInfoBuild;
  return current->dwNLSVersion == build.dwNLSVersion && current->dwDefinedVersion == build.dwDefinedVersion &&
         current->dwEffectiveId == build.dwEffectiveId && current->guidCustomVersion == build.guidCustomVersion;
}

bool TqdLocaleDescriptor::IsCompareable(const TqdLocaleDescriptor* aLocaleDescriptor) const {
  return aLocaleDescriptor != nullptr && IsSameClass(aLocaleDescriptor) && ldLocale == aLocaleDescriptor->ldLocale &&
         Flags() == aLocaleDescriptor->Flags();
}

void TqdLocaleDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < qdClientVersionItemIDs) Error(qdeIncompatibleServer);
  const int32_t version = (aClientVersion < qdClientVersionLocaleFixes || qdDisable30900LocaleFixes) ? 1 : 2;
  aWriter.WriteInteger(version);
  aWriter.WriteInteger(static_cast<int32_t>(ldLocale));
  aWriter.WriteBoolean(ldIgnoreKanaType);
  aWriter.WriteBoolean(ldIgnoreNonSpace);
  aWriter.WriteBoolean(ldIgnoreSymbols);
  aWriter.WriteBoolean(ldIgnoreWidth);
  aWriter.WriteBoolean(ldUseStringSort);
  aWriter.WriteInteger(static_cast<int32_t>(ldOverrideStorageCodepage));
  if (version < 2) return;
  aWriter.WriteBoolean(ldNLSVersionInfoBuild != nullptr);
  if (ldNLSVersionInfoBuild == nullptr) return;
  aWriter.WriteInteger(static_cast<int32_t>(ldNLSVersionInfoBuild->dwNLSVersion));
  aWriter.WriteInteger(static_cast<int32_t>(ldNLSVersionInfoBuild->dwDefinedVersion));
  aWriter.WriteInteger(static_cast<int32_t>(ldNLSVersionInfoBuild->dwEffectiveId));
  aWriter.WriteBinary(ldNLSVersionInfoBuild->guidCustomVersion.data(), 16);
}

void TqdLocaleDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  ldVersion = ReadVersion(aReader, 1, 2);
  ldLocale = static_cast<uint32_t>(aReader.ReadInteger());
  ldIgnoreKanaType = aReader.ReadBoolean();
  ldIgnoreNonSpace = aReader.ReadBoolean();
  ldIgnoreSymbols = aReader.ReadBoolean();
  ldIgnoreWidth = aReader.ReadBoolean();
  ldUseStringSort = aReader.ReadBoolean();
  ldOverrideStorageCodepage = readWord(aReader, *this);
  delete ldNLSVersionInfoCurrent.exchange(nullptr);
  if (ldVersion >= 2 && aReader.ReadBoolean()) {
    auto build = std::make_unique<TqdNLSVersionInfoEx>();
    build->dwNLSVersionInfoSize = sizeof(TqdNLSVersionInfoEx);
    build->dwNLSVersion = static_cast<uint32_t>(aReader.ReadInteger());
    build->dwDefinedVersion = static_cast<uint32_t>(aReader.ReadInteger());
    build->dwEffectiveId = static_cast<uint32_t>(aReader.ReadInteger());
    aReader.ReadBinary(build->guidCustomVersion.data(), 16);
    ldNLSVersionInfoBuild = std::move(build);
  } else {
    ldNLSVersionInfoBuild.reset();
  }
}

void TqdLocaleDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  if (ldLocale != 0 && !qdIsValidLocaleID(ldLocale))
    Error(qdeInvalidLangDriver, u"Locale not supported/installed: %d", {ldLocale});
  if (ldOverrideStorageCodepage != 0 && !qdIsValidCodePage(ldOverrideStorageCodepage))
    Error(qdeInvalidLangDriver, u"Invalid codepage: %d", {ldOverrideStorageCodepage});
  if (!aForBuild) return;
  if (qdDisable30900LocaleFixes || ldLocale == 0) {
    ldNLSVersionInfoBuild.reset();
    return;
  }
  auto build = std::make_unique<TqdNLSVersionInfoEx>();
  qdGetLocaleNLSVersion(ldLocale, *build);
  ldNLSVersionInfoBuild = std::move(build);
}

bool TqdLocaleDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdLocaleDescriptor*>(aItem);
  return other != nullptr && ldLocale == other->ldLocale && Flags() == other->Flags() &&
         ldOverrideStorageCodepage == other->ldOverrideStorageCodepage;
}

// --- Localised items -------------------------------------------------------------------------

const TqdClassInfo TqdLocalizedDictionaryItem::ClassInfo{u"TqdLocalizedDictionaryItem", &TqdDictionaryItem::ClassInfo,
                                                         nullptr};

TqdLocalizedDictionaryItem::TqdLocalizedDictionaryItem(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}

TqdLocalizedDictionaryItem::~TqdLocalizedDictionaryItem() { qdFreeAndNil(ldiLocaleDescriptor); }

TqdLocaleDescriptor* TqdLocalizedDictionaryItem::GetUsedLocaleDescriptor() {
  if (CacheActive()) return ldiCachedLocaleDescriptor;
  return ldiLocaleDescriptor != nullptr ? ldiLocaleDescriptor : GetInheritedLocaleDescriptor();
}

TqdLocaleDescriptor* TqdLocalizedDictionaryItem::GetInheritedLocaleDescriptor() {
  TqdDictionaryItem* parentItem = ParentItem();
  if (parentItem == nullptr) return nullptr;
  TqdDictionaryItem* descriptor = nullptr;
  if (!parentItem->FindRelatedDescriptorOfType(TqdLocaleDescriptor::ClassInfo, descriptor, this)) return nullptr;
  return dynamic_cast<TqdLocaleDescriptor*>(descriptor);
}

uint16_t TqdLocalizedDictionaryItem::UsedStorageCodePage() {
  if (CacheActive()) return ldiCachedStorageCodePage;
  TqdLocaleDescriptor* used = GetUsedLocaleDescriptor();
  return used != nullptr ? used->StorageCodepage() : 0;
}

TqdLocaleDescriptor* TqdLocalizedDictionaryItem::AddLocaleDescriptor(const TqdLocaleDescriptorClass* aLocaleClass) {
  CheckReadOnly();
  qdFreeAndNil(ldiLocaleDescriptor);
  const TqdLocaleDescriptorClass& localeClass =
      aLocaleClass != nullptr ? *aLocaleClass : TqdLocaleDescriptor::ClassInfo;
  ldiLocaleDescriptor = localeClass.Create(this);
  return ldiLocaleDescriptor;
}

void TqdLocalizedDictionaryItem::RemoveLocaleDescriptor() {
  CheckReadOnly();
  qdFreeAndNil(ldiLocaleDescriptor);
}

void TqdLocalizedDictionaryItem::SaveLocaleToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  if (aClientVersion < qdClientVersionItemIDs) Error(qdeIncompatibleServer);
  aWriter.WriteInteger(1);
  aWriter.WriteBoolean(ldiLocaleDescriptor != nullptr);
  if (ldiLocaleDescriptor == nullptr) return;
  writeClassName(aWriter, *ldiLocaleDescriptor);
  ldiLocaleDescriptor->SaveToWriter(aWriter, aClientVersion);
}

void TqdLocalizedDictionaryItem::LoadLocaleFromReader(TqdReader& aReader) {
  ReadVersion(aReader, 1, 1);
  if (aReader.ReadBoolean()) {
    const TqdLocaleDescriptorClass& localeClass =
        readDescriptorClass(aReader, TqdLocaleDescriptor::ClassInfo, *this, u"LocaleDescriptor");
    AddLocaleDescriptor(&localeClass)->LoadFromReader(aReader);
  } else {
    RemoveLocaleDescriptor();
  }
}

void TqdLocalizedDictionaryItem::ActivateCache() {
  ldiCachedLocaleDescriptor = GetUsedLocaleDescriptor();
  ldiCachedStorageCodePage = ldiCachedLocaleDescriptor != nullptr ? ldiCachedLocaleDescriptor->StorageCodepage() : 0;
  TqdDictionaryItem::ActivateCache();
}

void TqdLocalizedDictionaryItem::DeactivateCache() {
  TqdDictionaryItem::DeactivateCache();
  ldiCachedLocaleDescriptor = nullptr;
  ldiCachedStorageCodePage = 0;
}

bool TqdLocalizedDictionaryItem::FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                                             TqdDictionaryItem* aFrom) {
  if (aType.InheritsFrom(TqdLocaleDescriptor::ClassInfo)) {
    TqdLocaleDescriptor* used = GetUsedLocaleDescriptor();
    aDescriptor = (used != nullptr && used->ClassType().InheritsFrom(aType)) ? used : nullptr;
    return aDescriptor != nullptr;
  }
  return TqdDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TqdLocalizedDictionaryItem::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  if (ldiLocaleDescriptor != nullptr) ldiLocaleDescriptor->CheckValid(aForBuild);
}

bool TqdLocalizedDictionaryItem::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdLocalizedDictionaryItem*>(aItem);
  return other != nullptr && qdDictionaryItemsEqual(ldiLocaleDescriptor, other->ldiLocaleDescriptor);
}

// --- Unit start and end ------------------------------------------------------------------

namespace {

// The classes a stream may name, each in its family's registry.
const TqdClassInfo* const registeredClasses[] = {
    &TqdFileDescriptor::ClassInfo,
    &TqdFilesDescriptor::ClassInfo,
    &TqdLocaleDescriptor::ClassInfo,
    &TqdFieldDescriptor::ClassInfo,
    &TqdConstDefaultValueDescriptor::ClassInfo,
    &TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo,
    &TqdCurrentUserDefaultValueDescriptor::ClassInfo,
    &TqdAutoGuidDefaultValueDescriptor::ClassInfo,
    &TqdEmptyDefaultValueDescriptor::ClassInfo,
    &TqdNextLSNDefaultValueDescriptor::ClassInfo,
    &TqdMinMaxValidationDescriptor::ClassInfo,
    &TqdNoChangeValidationDescriptor::ClassInfo,
    &TqdSqlCheckValidationDescriptor::ClassInfo,
    &TqdFieldValidationsDescriptor::ClassInfo,
    &TqdFieldsValidationsDescriptor::ClassInfo,
    &TqdRefKeyDescriptor::ClassInfo,
    &TqdInt64KeyDescriptor::ClassInfo,
    &TqdBlobCacheKeyDescriptor::ClassInfo,
    &TqdCompKeyDescriptor::ClassInfo,
    &TqdNoNullCompKeyDescriptor::ClassInfo,
    &TqdKeyFieldDescriptor::ClassInfo,
    &TqdTextKeyFieldDescriptor::ClassInfo,
    &TqdExtTextKeyFieldDescriptor::ClassInfo,
    &TqdIndexDescriptor::ClassInfo,
    &TqdFieldsDescriptor::ClassInfo,
    &TqdBaseIndicesDescriptor::ClassInfo,
    &TqdMainIndicesDescriptor::ClassInfo,
    &TqdInternalIndicesDescriptor::ClassInfo,
    &TqdBaseBlockHeapDescriptor::ClassInfo,
    &TqdBaseHeapDescriptor::ClassInfo,
    &TqdBaseRecordDescriptor::ClassInfo,
    &TqdHeapRecordDescriptor::ClassInfo,
    &TqdBaseBlobDescriptor::ClassInfo,
    &TqdHeapBlobDescriptor::ClassInfo,
    &TqdBaseCustomDescriptor::ClassInfo,
    &TqdBaseAutoIncDescriptor::ClassInfo,
    &TqdAdvAutoIncDescriptor::ClassInfo,
    &TqdBaseStreamDescriptor::ClassInfo,
    &TqdCustomDescsDescriptor::ClassInfo,
    &TqdTablesDescriptor::ClassInfo,
    &TqdNestedTableDescriptor::ClassInfo,
    &TqdBaseRecordCompressionDescriptor::ClassInfo,
};

bool dictionaryStarted = false;

}  // namespace

void qdsdDataDictionaryInitialize() {
  if (dictionaryStarted) return;
  qdDisable30900LocaleFixes = qdFindCmdLineSwitch(u"Disable30900LocaleFixes");
  for (const TqdClassInfo* classInfo : registeredClasses) TqdBaseRegisterableDescriptor::RegisterDescriptor(*classInfo);
  // Older streams name the field validation list so.
  TqdBaseRegisterableDescriptor::RegisterDescriptor(TqdFieldValidationsDescriptor::ClassInfo,
                                                    u"TqdValidationsDescriptor");
  dictionaryStarted = true;
}

void qdsdDataDictionaryFinalize() {
  if (!dictionaryStarted) return;
  for (size_t i = std::size(registeredClasses); i > 0; --i)
    TqdBaseRegisterableDescriptor::UnregisterDescriptor(*registeredClasses[i - 1]);
  dictionaryStarted = false;
}

}  // namespace qd
