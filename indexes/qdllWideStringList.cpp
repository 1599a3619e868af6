#include "indexes/qdllWideStringList.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/qdFormat.h"
#include "platform/qdSysUtils.h"

namespace qd {

const char16_t* const qdWideStringListDuplicates = u"文字列リストは重複を許しません";
const char16_t* const qdWideStringListSortedError = u"ソートされる文字列リストに対しては許されない動作です";
const char16_t* const qdWideStringListIndexError = u"リストのインデックスが範囲を超えています (%d)";

namespace {

constexpr char16_t kLineSeparator = 0x2028;
constexpr char16_t kParagraphSeparator = 0x2029;

qdStringView view(const TqdWideString& s) { return qdStringView(s.data(), s.size()); }

TqdWideString fromString(const qdString& s) { return TqdWideString(s.begin(), s.end()); }

[[noreturn]] void listError(const char16_t* aText) { throw EStringListError(qdString(aText)); }

[[noreturn]] void indexError(int32_t aIndex) { throw EStringListError(Format(qdWideStringListIndexError, {aIndex})); }

uint32_t effectiveCodePage(uint32_t aCodePage) {
  return aCodePage == qdWideStringDefaultCodePage ? qdDefaultCodePage() : aCodePage;
}

TqdWideString fromCodePage(std::string_view s, uint32_t aCodePage) {
  return qdStringToWideString(s, effectiveCodePage(aCodePage));
}

bool isLineBreak(char16_t c) {
  return c == 0 || (c >= 0x000A && c <= 0x000D) || c == kLineSeparator || c == kParagraphSeparator;
}

void checkList(const void* aList, const char* aCondition) {
  if (aList == nullptr) qdAssertFailed("qdllWideStringList", aCondition);
}

constexpr size_t kNoSeparator = static_cast<size_t>(-1);

// Where the "=" of a name=value item is; kNoSeparator without one.
size_t separatorOf(const TqdWideString& s) {
  const auto it = std::find(s.begin(), s.end(), u'=');
  return it == s.end() ? kNoSeparator : static_cast<size_t>(it - s.begin());
}

}  // namespace

// ---- Comparers ------------------------------------------------------------------------

int8_t TqdWideStringByteComparer::Compare(const TqdWideString& S1, const TqdWideString& S2) {
  const size_t common = std::min(S1.size(), S2.size());
  for (size_t i = 0; i < common; ++i) {
    if (S1[i] == S2[i]) continue;
    // The unit's low byte comes first in memory.
    const uint8_t low1 = static_cast<uint8_t>(S1[i] & 0xFF), low2 = static_cast<uint8_t>(S2[i] & 0xFF);
    if (low1 != low2) return low1 < low2 ? -1 : 1;
    return (S1[i] >> 8) < (S2[i] >> 8) ? -1 : 1;
  }
  if (S1.size() == S2.size()) return 0;
  return S1.size() < S2.size() ? -1 : 1;
}

int8_t TqdBaseWideStringCompareStringComparer::Compare(const TqdWideString& S1, const TqdWideString& S2) {
  if (S1.empty() || S2.empty()) {
    if (S1.size() == S2.size()) return 0;
    return S1.empty() ? -1 : 1;
  }
  const int result = qdCompareString(bwscscLocale, bwscscFlags, view(S1), view(S2));
  return static_cast<int8_t>(result < 0 ? -1 : (result > 0 ? 1 : 0));
}

// ---- Transformers -----------------------------------------------------------------------

TqdWideString TqdWideStringFoldStringTransformer::Transform(const TqdWideString& S) {
  if (S.empty()) return {};
  qdString folded;
  if (!qdFoldString(wsfstFlags, view(S), folded))
    qdRaiseLastOSError(u"TqdWideStringFoldStringTransformer.Transform/FoldStringW/1");
  return fromString(folded);
}

TqdWideStringLocaleMappingTransformer::TqdWideStringLocaleMappingTransformer(TqdLCID aLocale, uint32_t aFlags)
    : wslmtLocale(aLocale), wslmtFlags(aFlags) {
  if (aFlags & LCMAP_SORTKEY)
    throw EqdWideStringLocaleMappingTransformerException(
        qdeNotSupported, u"LCMAP_SORTKEY is not supported by TqdWideStringLocaleMappingTransformer");
}

TqdWideString TqdWideStringLocaleMappingTransformer::Transform(const TqdWideString& S) {
  if (S.empty()) return {};
  return fromString(qdVantorWideLCMapStringW(view(S), wslmtLocale, wslmtFlags));
}

TqdWideString TqdWideStringTruncateTransformer::Transform(const TqdWideString& S) {
  const size_t maxLength = static_cast<size_t>(std::max(wsttMaxLength, 0));
  if (S.size() <= maxLength) return S;
  size_t length = maxLength;
  // Never keep the first half of a surrogate pair without its second.
  if (length > 0 && S[length - 1] >= 0xD800 && S[length - 1] <= 0xDBFF) --length;
  return TqdWideString(S.begin(), S.begin() + static_cast<std::ptrdiff_t>(length));
}

TqdWideString TqdWideStringTransformerHub::Transform(const TqdWideString& S) {
  TqdWideString result = S;
  for (const TqdWideStringTransformerRef& transformer : wsthTransformers) result = transformer->Transform(result);
  return result;
}

// ---- TqdWideStrings -------------------------------------------------------------------

const TqdClassInfo TqdWideStrings::ClassInfo{u"TqdWideStrings", &TqdPersistent::ClassInfo, nullptr};

TqdWideStrings::TqdWideStrings(TqdWideStringComparerRef aComparer, TqdWideStringTransformerRef aTransformer)
    : wsComparer(std::move(aComparer)), wsTransformer(std::move(aTransformer)) {
  if (!wsComparer) wsComparer = qdMakeRef<TqdWideStringByteComparer>();
  if (!wsTransformer) wsTransformer = qdMakeRef<TqdWideStringNullTransformer>();
}

void TqdWideStrings::BeginUpdate() {
  if (wsUpdateCount == 0) SetUpdateState(true);
  ++wsUpdateCount;
}

void TqdWideStrings::EndUpdate() {
  --wsUpdateCount;
  if (wsUpdateCount == 0) SetUpdateState(false);
}

int8_t TqdWideStrings::CompareStrings(const TqdWideString& S1, const TqdWideString& S2) {
  return wsComparer->Compare(S1, S2);
}

TqdWideString TqdWideStrings::TransformString(const TqdWideString& S) { return wsTransformer->Transform(S); }

int32_t TqdWideStrings::Add(const TqdWideString& s) {
  const int32_t result = GetCount();
  Insert(result, s);
  return result;
}

int32_t TqdWideStrings::Add(std::string_view s, uint32_t aCodePage) { return Add(fromCodePage(s, aCodePage)); }

int32_t TqdWideStrings::AddObject(const TqdWideString& s, void* aObject) {
  const int32_t result = Add(s);
  wsPutObject(result, aObject);
  return result;
}

int32_t TqdWideStrings::AddObject(std::string_view s, uint32_t aCodePage, void* aObject) {
  return AddObject(fromCodePage(s, aCodePage), aObject);
}

void TqdWideStrings::Insert(int32_t aIndex, std::string_view s, uint32_t aCodePage) {
  Insert(aIndex, fromCodePage(s, aCodePage));
}

void TqdWideStrings::InsertObject(int32_t aIndex, const TqdWideString& s, void* aObject) {
  Insert(aIndex, s);
  wsPutObject(aIndex, aObject);
}

void TqdWideStrings::InsertObject(int32_t aIndex, std::string_view s, uint32_t aCodePage, void* aObject) {
  InsertObject(aIndex, fromCodePage(s, aCodePage), aObject);
}

void TqdWideStrings::Exchange(int32_t aIndex1, int32_t aIndex2) {
  BeginUpdate();
  try {
    const TqdWideString string1 = wsGetString(aIndex1);
    void* object1 = wsGetObject(aIndex1);
    wsPutString(aIndex1, wsGetString(aIndex2));
    wsPutObject(aIndex1, wsGetObject(aIndex2));
    wsPutString(aIndex2, string1);
    wsPutObject(aIndex2, object1);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TqdWideStrings::Move(int32_t aCurIndex, int32_t aNewIndex) {
  if (aCurIndex == aNewIndex) return;
  BeginUpdate();
  try {
    const TqdWideString string = wsGetString(aCurIndex);
    void* object = wsGetObject(aCurIndex);
    Delete(aCurIndex);
    InsertObject(aNewIndex, string, object);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TqdWideStrings::AddStrings(const TqdStringList* aStrings, uint32_t /*aCodePage*/) {
  checkList(aStrings, "aStrings <> nil");
  BeginUpdate();
  try {
    for (int32_t i = 0; i < aStrings->Count(); ++i) (void)Add(qdUnicodeToQdWideString(aStrings->Strings(i)));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TqdWideStrings::AddStrings(TqdWideStrings* aStrings) {
  checkList(aStrings, "aStrings <> nil");
  BeginUpdate();
  try {
    const int32_t count = aStrings->GetCount();
    for (int32_t i = 0; i < count; ++i) (void)AddObject(aStrings->wsGetString(i), aStrings->wsGetObject(i));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TqdWideStrings::Assign(TqdWideStrings* aSource) {
  checkList(aSource, "aSource <> nil");
  if (aSource == this) return;
  BeginUpdate();
  try {
    Clear();
    AddStrings(aSource);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TqdWideStrings::Assign(const TqdStringList* aSource) {
  checkList(aSource, "aSource <> nil");
  BeginUpdate();
  try {
    Clear();
    AddStrings(aSource, qdWideStringDefaultCodePage);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TqdWideStrings::AssignTo(TqdStringList* aDest) {
  checkList(aDest, "aDest <> nil");
  aDest->Clear();
  const int32_t count = GetCount();
  for (int32_t i = 0; i < count; ++i) (void)aDest->AddObject(qdQdWideStringToString(wsGetString(i)), wsGetObject(i));
}

void TqdWideStrings::AssignTo(TqdWideStrings* aDest) {
  checkList(aDest, "aDest <> nil");
  aDest->Assign(this);
}

int32_t TqdWideStrings::IndexOf(const TqdWideString& s) {
  const TqdWideString transformed = TransformString(s);
  const int32_t count = GetCount();
  for (int32_t i = 0; i < count; ++i)
    if (CompareStrings(wsGetString(i), transformed) == 0) return i;
  return -1;
}

int32_t TqdWideStrings::IndexOfObject(const void* aObject) {
  const int32_t count = GetCount();
  for (int32_t i = 0; i < count; ++i)
    if (wsGetObject(i) == aObject) return i;
  return -1;
}

bool TqdWideStrings::Equals(TqdWideStrings* aStrings) {
  checkList(aStrings, "aStrings <> nil");
  const int32_t count = GetCount();
  if (count != aStrings->GetCount()) return false;
  for (int32_t i = 0; i < count; ++i)
    if (CompareStrings(wsGetString(i), aStrings->wsGetString(i)) != 0) return false;
  return true;
}

TqdWideString TqdWideStrings::wsGetName(int32_t aIndex) {
  const TqdWideString s = wsGetString(aIndex);
  const size_t separator = separatorOf(s);
  if (separator == kNoSeparator) return {};
  return TqdWideString(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(separator));
}

int32_t TqdWideStrings::IndexOfName(const TqdWideString& aName) {
  const TqdWideString name = TransformString(aName);
  const int32_t count = GetCount();
  for (int32_t i = 0; i < count; ++i) {
    const TqdWideString s = wsGetString(i);
    const size_t separator = separatorOf(s);
    if (separator == kNoSeparator) continue;
    if (CompareStrings(TqdWideString(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(separator)), name) == 0)
      return i;
  }
  return -1;
}

TqdWideString TqdWideStrings::wsGetValue(const TqdWideString& aName) {
  const int32_t index = IndexOfName(aName);
  if (index < 0) return {};
  const TqdWideString s = wsGetString(index);
  return TqdWideString(s.begin() + static_cast<std::ptrdiff_t>(separatorOf(s) + 1), s.end());
}

void TqdWideStrings::wsSetValue(const TqdWideString& aName, const TqdWideString& aValue) {
  const int32_t index = IndexOfName(aName);
  if (aValue.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  TqdWideString item = aName;
  item.push_back(u'=');
  item.insert(item.end(), aValue.begin(), aValue.end());
  if (index < 0)
    (void)Add(item);  // the position is not wanted
  else
    wsPutString(index, item);
}

TqdWideString TqdWideStrings::GetText() { return GetSeparatedText(kLineSeparator); }

TqdWideString TqdWideStrings::GetSeparatedText(const TqdWideString& Separators) {
  TqdWideString result;
  const int32_t count = GetCount();
  for (int32_t i = 0; i < count; ++i) {
    if (i > 0) result.insert(result.end(), Separators.begin(), Separators.end());
    const TqdWideString s = wsGetString(i);
    result.insert(result.end(), s.begin(), s.end());
  }
  return result;
}

void TqdWideStrings::SetText(const TqdWideString& aValue) {
  BeginUpdate();
  try {
    Clear();
    size_t start = 0;
    size_t i = 0;
    while (i < aValue.size()) {
      if (!isLineBreak(aValue[i])) {
        ++i;
        continue;
      }
      (void)Add(TqdWideString(aValue.begin() + static_cast<std::ptrdiff_t>(start),
                              aValue.begin() + static_cast<std::ptrdiff_t>(i)));
      if (aValue[i] == u'\r' && i + 1 < aValue.size() && aValue[i + 1] == u'\n') ++i;
      start = ++i;
    }
    if (start < aValue.size())
      (void)Add(TqdWideString(aValue.begin() + static_cast<std::ptrdiff_t>(start), aValue.end()));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TqdWideStrings::LoadFromStream(TStream* aStream, bool aForceUnicode, uint32_t aCodePage) {
  BeginUpdate();
  try {
    const int64_t start = aStream->Position();
    const int64_t size = aStream->Size() - start;
    if (size > INT32_MAX) throw EReadError(qdString(SReadError));
    const int32_t byteCount = size > 0 ? static_cast<int32_t>(size) : 0;
    uint8_t mark[2] = {0, 0};
    const bool hasMark = byteCount >= 2 && aStream->Read(mark, 2) == 2 &&
                         ((mark[0] == 0xFF && mark[1] == 0xFE) || (mark[0] == 0xFE && mark[1] == 0xFF));
    TqdWideString text;
    if (hasMark || aForceUnicode) {
      if (!hasMark) aStream->SetPosition(start);
      const int32_t units = (byteCount - (hasMark ? 2 : 0)) / 2;
      text.resize(static_cast<size_t>(units));
      aStream->ReadBuffer(text.data(), units * 2);
      // The units were read as stored, little-endian; FE FF stored them
      // the other way round.
      if (hasMark && mark[0] == 0xFE) qdSwapWideCharBytes(text.data(), units);
      // Skip the odd byte a UTF-16 read leaves, so the stream ends up where
      // the text ended.
      if ((byteCount - (hasMark ? 2 : 0)) % 2 != 0) aStream->Seek(1, soFromCurrent);
    } else {
      aStream->SetPosition(start);
      std::string bytes(static_cast<size_t>(byteCount), '\0');
      aStream->ReadBuffer(bytes.data(), byteCount);
      text = fromCodePage(bytes, aCodePage);
    }
    SetText(text);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TqdWideStrings::SaveToStream(TStream* aStream, bool aUnicode, bool aWithBOM, uint32_t aCodePage) {
  const TqdWideString text = GetText();
  if (aUnicode) {
    if (aWithBOM) {
      static constexpr uint8_t kMark[2] = {0xFF, 0xFE};
      aStream->WriteBuffer(kMark, 2);
    }
    std::vector<uint8_t> bytes(text.size() * 2);
    for (size_t i = 0; i < text.size(); ++i) {
      bytes[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
      bytes[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    aStream->WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    return;
  }
  const qdAnsiString bytes = qdWideStringToString(text, effectiveCodePage(aCodePage));
  aStream->WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
}

void TqdWideStrings::LoadFromFile(const std::string& aFileName, bool aForceUnicode, uint32_t aCodePage) {
  const int handle = ::open(aFileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (handle < 0) {
    const int error = errno;
    throw EFOpenError(Utf8ToString("Cannot open file \"" + aFileName + "\". " + std::strerror(error)));
  }
  TqdMemoryStream contents(-1);
  try {
    uint8_t buffer[65536];
    for (;;) {
      const ssize_t n = ::read(handle, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) qdRaiseLastOSError(errno);
      if (n == 0) break;
      contents.WriteBuffer(buffer, static_cast<int32_t>(n));
    }
  } catch (...) {
    ::close(handle);
    throw;
  }
  ::close(handle);
  contents.SetPosition(0);
  LoadFromStream(&contents, aForceUnicode, aCodePage);
}

void TqdWideStrings::SaveToFile(const std::string& aFileName, bool aUnicode, bool aWithBOM, uint32_t aCodePage) {
  TqdMemoryStream contents(-1);
  SaveToStream(&contents, aUnicode, aWithBOM, aCodePage);
  const int handle = ::open(aFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (handle < 0) {
    const int error = errno;
    throw EFCreateError(Utf8ToString("Cannot create file \"" + aFileName + "\". " + std::strerror(error)));
  }
  const auto* data = static_cast<const uint8_t*>(contents.Memory());
  size_t remaining = static_cast<size_t>(contents.Size());
  while (remaining > 0) {
    const ssize_t n = ::write(handle, data, remaining);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(handle);
      qdRaiseLastOSError(error);
    }
    data += n;
    remaining -= static_cast<size_t>(n);
  }
  if (::close(handle) != 0) qdRaiseLastOSError(errno);
}

bool TqdWideStrings::WideStringsStored(TqdPersistent* aAncestor) {
  if (aAncestor == nullptr) return GetCount() > 0;
  auto* ancestor = dynamic_cast<TqdWideStrings*>(aAncestor);
  return ancestor == nullptr || !Equals(ancestor);
}

void TqdWideStrings::WriteProperties(TqdWriter& aWriter, TqdPersistent* aAncestor) {
  if (!WideStringsStored(aAncestor)) return;
  aWriter.WriteIdent(u"WideStrings");
  const TqdWideString text = GetText();
  aWriter.WriteWideString_(view(text));
}

bool TqdWideStrings::ReadProperty(qdStringView aName, TqdReader& aReader) {
  if (!qdSameClassName(aName, u"WideStrings")) return false;
  SetText(qdUnicodeToQdWideString(aReader.ReadString()));
  return true;
}

// ---- TqdWideStringList ------------------------------------------------------------------

const TqdClassInfo TqdWideStringList::ClassInfo{u"TqdWideStringList", &TqdWideStrings::ClassInfo, nullptr};

TqdWideStringList::~TqdWideStringList() {
  wslOnChange = nullptr;
  wslOnChanging = nullptr;
  wslList.clear();
  wslCount = 0;
}

void TqdWideStringList::SetUpdateState(bool aUpdating) {
  if (aUpdating)
    Changing();
  else
    Changed();
}

void TqdWideStringList::Changed() {
  if (wsUpdateCount == 0 && wslOnChange) wslOnChange(this);
}

void TqdWideStringList::Changing() {
  if (wsUpdateCount == 0 && wslOnChanging) wslOnChanging(this);
}

void TqdWideStringList::SetCapacity(int32_t aCapacity) {
  if (aCapacity < 0) indexError(aCapacity);
  wslList.resize(static_cast<size_t>(aCapacity));
  wslCount = std::min(wslCount, aCapacity);
}

void TqdWideStringList::Grow() {
  const int32_t capacity = GetCapacity();
  const int32_t delta = capacity > 64 ? capacity / 4 : (capacity > 8 ? 16 : 4);
  SetCapacity(capacity + delta);
}

TqdWideString TqdWideStringList::wsGetString(int32_t aIndex) {
  if (aIndex < 0 || aIndex >= wslCount) indexError(aIndex);
  return wslList[static_cast<size_t>(aIndex)].wsiString;
}

void TqdWideStringList::wsPutString(int32_t aIndex, const TqdWideString& s) {
  if (wslSorted) listError(qdWideStringListSortedError);
  if (aIndex < 0 || aIndex >= wslCount) indexError(aIndex);
  TqdWideString transformed = TransformString(s);
  Changing();
  wslList[static_cast<size_t>(aIndex)].wsiString = std::move(transformed);
  Changed();
}

void* TqdWideStringList::wsGetObject(int32_t aIndex) {
  if (aIndex < 0 || aIndex >= wslCount) indexError(aIndex);
  return wslList[static_cast<size_t>(aIndex)].wsiObject;
}

void TqdWideStringList::wsPutObject(int32_t aIndex, void* aObject) {
  if (aIndex < 0 || aIndex >= wslCount) indexError(aIndex);
  Changing();
  wslList[static_cast<size_t>(aIndex)].wsiObject = aObject;
  Changed();
}

void TqdWideStringList::Clear() {
  if (wslCount == 0) return;
  Changing();
  wslList.clear();
  wslCount = 0;
  Changed();
}

void TqdWideStringList::InsertItem(int32_t aIndex, const TqdWideString& s) {
  TqdWideString transformed = TransformString(s);
  Changing();
  if (wslCount == GetCapacity()) Grow();
  const auto position = wslList.begin() + aIndex;
  std::move_backward(position, wslList.begin() + wslCount, wslList.begin() + wslCount + 1);
  position->wsiString = std::move(transformed);
  position->wsiObject = nullptr;
  ++wslCount;
  Changed();
}

int32_t TqdWideStringList::Add(const TqdWideString& s) {
  if (!wslSorted) {
    const int32_t result = wslCount;
    InsertItem(result, s);
    return result;
  }
  int32_t result = 0;
  if (Find(s, result)) {
    switch (wslDuplicates) {
      case dupIgnore:
        return result;
      case dupError:
        listError(qdWideStringListDuplicates);
      case dupAccept:
        break;
    }
  }
  InsertItem(result, s);
  return result;
}

void TqdWideStringList::Insert(int32_t aIndex, const TqdWideString& s) {
  if (wslSorted) listError(qdWideStringListSortedError);
  if (aIndex < 0 || aIndex > wslCount) indexError(aIndex);
  InsertItem(aIndex, s);
}

void TqdWideStringList::Delete(int32_t aIndex) {
  if (aIndex < 0 || aIndex >= wslCount) indexError(aIndex);
  Changing();
  const auto position = wslList.begin() + aIndex;
  std::move(position + 1, wslList.begin() + wslCount, position);
  --wslCount;
  // The slot past the items keeps no string.
  wslList[static_cast<size_t>(wslCount)] = TqdWideStringItem{};
  Changed();
}

void TqdWideStringList::Exchange(int32_t aIndex1, int32_t aIndex2) {
  if (aIndex1 < 0 || aIndex1 >= wslCount) indexError(aIndex1);
  if (aIndex2 < 0 || aIndex2 >= wslCount) indexError(aIndex2);
  Changing();
  std::swap(wslList[static_cast<size_t>(aIndex1)], wslList[static_cast<size_t>(aIndex2)]);
  Changed();
}

int32_t TqdWideStringList::IndexOf(const TqdWideString& s) {
  if (!wslSorted) return TqdWideStrings::IndexOf(s);
  int32_t result = 0;
  return Find(s, result) ? result : -1;
}

bool TqdWideStringList::Find(const TqdWideString& s, int32_t& aIndex) {
  const TqdWideString transformed = TransformString(s);
  int32_t low = 0;
  int32_t high = wslCount - 1;
  while (low <= high) {
    const int32_t middle = (low + high) >> 1;
    const int8_t relation = CompareStrings(wslList[static_cast<size_t>(middle)].wsiString, transformed);
    if (relation < 0) {
      low = middle + 1;
    } else if (relation > 0) {
      high = middle - 1;
    } else {
      aIndex = middle;
      return true;
    }
  }
  aIndex = low;
  return false;
}

void TqdWideStringList::QuickSort(int32_t aLow, int32_t aHigh) {
  while (aLow < aHigh) {
    int32_t i = aLow;
    int32_t j = aHigh;
    const TqdWideString pivot = wslList[static_cast<size_t>((aLow + aHigh) >> 1)].wsiString;
    while (i <= j) {
      while (CompareStrings(wslList[static_cast<size_t>(i)].wsiString, pivot) < 0) ++i;
      while (CompareStrings(wslList[static_cast<size_t>(j)].wsiString, pivot) > 0) --j;
      if (i <= j) {
        if (i != j) std::swap(wslList[static_cast<size_t>(i)], wslList[static_cast<size_t>(j)]);
        ++i;
        --j;
      }
    }
    // Recurse into the smaller part, loop over the larger one: the depth
    // stays logarithmic whatever the data.
    if (j - aLow < aHigh - i) {
      QuickSort(aLow, j);
      aLow = i;
    } else {
      QuickSort(i, aHigh);
      aHigh = j;
    }
  }
}

void TqdWideStringList::Sort() {
  if (wslSorted || wslCount < 2) return;
  Changing();
  QuickSort(0, wslCount - 1);
  Changed();
}

void TqdWideStringList::SetSorted(bool aValue) {
  if (aValue == wslSorted) return;
  if (aValue) Sort();
  wslSorted = aValue;
}

}  // namespace qd
