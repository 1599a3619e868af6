#include "foundation/qdllExceptionData.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "foundation/qdllException.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"
#include "platform/qdExtended.h"
#include "platform/qdFormat.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

constexpr char16_t kIdentifier[] = u"EDV";

[[noreturn]] void raiseNotSupported(const qdString& aText) { throw EqdBaseException(qdeNotSupported, aText); }

qdString spaces(int32_t aCount) { return qdString(static_cast<size_t>(aCount > 0 ? aCount : 0), u' '); }

// Splits at CR LF, lone CR or lone LF, as the platform's string list does
// when it is given a text.
std::vector<qdString> splitLines(const qdString& aText) {
  std::vector<qdString> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < aText.size()) {
    const char16_t c = aText[i];
    if (c == u'\r' || c == u'\n') {
      lines.emplace_back(aText, start, i - start);
      if (c == u'\r' && i + 1 < aText.size() && aText[i + 1] == u'\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < aText.size()) lines.emplace_back(aText, start, aText.size() - start);
  return lines;
}

void appendLine(void* aContext, const qdString& aLine) {
  qdString& text = *static_cast<qdString*>(aContext);
  text += aLine;
  text += u"\r\n";
}

qdString hexDigits(uint64_t aValue, int aDigits) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  qdString result(static_cast<size_t>(aDigits), u'0');
  for (int i = aDigits - 1; i >= 0; --i) {
    result[static_cast<size_t>(i)] = kHex[aValue & 0xF];
    aValue >>= 4;
  }
  return result;
}

bool sameAscii(qdStringView a, qdStringView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i];
    char16_t y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

qdString decimal(int64_t aValue) { return AsciiToString(std::to_string(aValue)); }
qdString decimalUnsigned(uint64_t aValue) { return AsciiToString(std::to_string(aValue)); }

// The class name of an object without namespaces, as the platform's default
// text of an object gives it.
qdString objectClassName(const TqdObject* aObject) {
  const char* mangled = typeid(*aObject).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
  const size_t colon = name.rfind("::");
  if (colon != std::string::npos) name.erase(0, colon + 2);
  return Utf8ToString(name);
}

}  // namespace

// --- Base value --------------------------------------------------------------

qdString TqdExceptionDataBaseValue::AsString() const { return AsVariant().AsString(); }

int64_t TqdExceptionDataBaseValue::AsInt64() const { return AsVariant().AsInt64(); }

bool TqdExceptionDataBaseValue::AsBoolean() const { return AsVariant().AsBoolean(); }

double TqdExceptionDataBaseValue::AsFloat() const { return AsVariant().AsDouble(); }

TqdVariant TqdExceptionDataBaseValue::AsVariant() const {
  raiseNotSupported(u"AsVariant not supported by TqdExceptionDataBaseValue");
}

TqdRef<IqdExceptionDataContainer> TqdExceptionDataBaseValue::AsContainer() {
  raiseNotSupported(u"AsContainer not supported for TqdExceptionDataBaseValue");
}

void TqdExceptionDataBaseValue::WriteTo(TqdWriter& aWriter) const {
  aWriter.WriteInteger(static_cast<int32_t>(ValueKind()));
  aWriter.WriteString(beName);
  WritePayload(aWriter);
}

qdString TqdExceptionDataBaseValue::ToEncodedString(int32_t aVersion) const {
  TqdAnsiStringStream stream(qdAnsiString{});
  {
    TqdWriter writer(&stream, 4096);
    writer.WriteIdent(kIdentifier);
    writer.WriteInteger(aVersion);
    WriteTo(writer);
  }
  return AsciiToString(StrToBase64(stream.DataString()));
}

qdString TqdExceptionDataBaseValue::ToString() const {
  qdString text;
  AddLines(0, appendLine, &text);
  return text;
}

void TqdExceptionDataBaseValue::AddLines(int32_t aIndent, TqdExceptionDataAddLine aAddLine, void* aContext) const {
  aAddLine(aContext, spaces(2 * aIndent) + beName + u": " + ValueText());
}

TqdRef<TqdExceptionDataBaseValue> TqdExceptionDataBaseValue::CreateFromReader(TqdReader& aReader, int32_t aVersion,
                                                                              TqdExceptionDataContainer* aParent) {
  int32_t depth = 0;
  for (const TqdExceptionDataContainer* c = aParent; c != nullptr; c = c->Parent()) ++depth;
  if (depth >= kMaxExceptionDataDepth) throw EqdBaseException(qdeIncompatibleStream);

  const int32_t kind = aReader.ReadInteger();
  const qdString name = aReader.ReadString();
  switch (kind) {
    case edkString:
      return TqdRef<TqdExceptionDataBaseValue>(
          qdCreate<TqdExceptionDataStringValue>(name, aReader.ReadString(), aParent));
    case edkInteger:
      return TqdRef<TqdExceptionDataBaseValue>(
          qdCreate<TqdExceptionDataIntegerValue>(name, aReader.ReadInt64(), aParent));
    case edkBoolean:
      return TqdRef<TqdExceptionDataBaseValue>(
          qdCreate<TqdExceptionDataBooleanValue>(name, aReader.ReadBoolean(), aParent));
    case edkFloat:
      return TqdRef<TqdExceptionDataBaseValue>(
          qdCreate<TqdExceptionDataFloatValue>(name, qdExtendedToDouble(aReader.ReadFloat()), aParent));
    case edkVariant:
      return TqdRef<TqdExceptionDataBaseValue>(
          qdCreate<TqdExceptionDataVariantValue>(name, aReader.ReadVariant(), aParent));
    case edkContainer: {
      TqdRef<TqdExceptionDataContainer> container(qdCreate<TqdExceptionDataContainer>(name, aParent));
      aReader.ReadListBegin();
      while (!aReader.EndOfList()) container->Append(CreateFromReader(aReader, aVersion, container.Get()));
      aReader.ReadListEnd();
      return container;
    }
    default:
      // A kind this build does not know: the rest of the stream cannot be
      // interpreted, so the whole text is refused.
      throw EqdBaseException(qdeIncompatibleStream);
  }
}

// --- Scalar values -----------------------------------------------------------

TqdVariant TqdExceptionDataStringValue::AsVariant() const { return TqdVariant(svValue); }

void TqdExceptionDataStringValue::AddLines(int32_t aIndent, TqdExceptionDataAddLine aAddLine, void* aContext) const {
  const std::vector<qdString> lines = splitLines(svValue);
  if (lines.size() <= 1) {
    TqdExceptionDataBaseValue::AddLines(aIndent, aAddLine, aContext);
    return;
  }
  aAddLine(aContext, spaces(2 * aIndent) + Name() + u":");
  const qdString prefix = spaces(2 * aIndent + 2);
  for (const qdString& line : lines) aAddLine(aContext, prefix + line);
}

void TqdExceptionDataStringValue::WritePayload(TqdWriter& aWriter) const { aWriter.WriteString(svValue); }

TqdVariant TqdExceptionDataIntegerValue::AsVariant() const { return TqdVariant(ivValue); }

qdString TqdExceptionDataIntegerValue::ValueText() const {
  const uint64_t bits = static_cast<uint64_t>(ivValue);
  const uint32_t high = static_cast<uint32_t>(bits >> 32);
  qdString text = decimal(ivValue) + u" ($";
  if (high == 0) {
    text += hexDigits(bits, 8);
  } else {
    text += hexDigits(bits, 16);
    text += u", ";
    text += decimal(static_cast<int32_t>(high));
    text += u":";
    text += decimalUnsigned(static_cast<uint32_t>(bits));
  }
  text += u")";
  return text;
}

void TqdExceptionDataIntegerValue::WritePayload(TqdWriter& aWriter) const { aWriter.WriteInteger(ivValue); }

TqdVariant TqdExceptionDataBooleanValue::AsVariant() const { return TqdVariant(bvValue); }

void TqdExceptionDataBooleanValue::WritePayload(TqdWriter& aWriter) const { aWriter.WriteBoolean(bvValue); }

TqdVariant TqdExceptionDataFloatValue::AsVariant() const { return TqdVariant(fvValue); }

qdString TqdExceptionDataFloatValue::ValueText() const { return FloatToStr(fvValue); }

void TqdExceptionDataFloatValue::WritePayload(TqdWriter& aWriter) const {
  aWriter.WriteFloat(qdDoubleToExtended(fvValue));
}

qdString TqdExceptionDataVariantValue::ValueText() const { return qdFormatExceptionDataVariant(vvValue); }

void TqdExceptionDataVariantValue::WritePayload(TqdWriter& aWriter) const { aWriter.WriteVariant(vvValue); }

// --- Container ---------------------------------------------------------------

TqdRef<IqdExceptionDataContainer> TqdExceptionDataContainer::AsContainer() {
  return TqdRef<IqdExceptionDataContainer>(this);
}

void TqdExceptionDataContainer::Append(TqdRef<TqdExceptionDataBaseValue> aValue) {
  dcValues.push_back(std::move(aValue));
}

void TqdExceptionDataContainer::AddString(const qdString& aName, const qdString& aValue) {
  Append(TqdRef<TqdExceptionDataBaseValue>(qdCreate<TqdExceptionDataStringValue>(aName, aValue, this)));
}

void TqdExceptionDataContainer::AddInt64(const qdString& aName, int64_t aValue) {
  Append(TqdRef<TqdExceptionDataBaseValue>(qdCreate<TqdExceptionDataIntegerValue>(aName, aValue, this)));
}

void TqdExceptionDataContainer::AddBoolean(const qdString& aName, bool aValue) {
  Append(TqdRef<TqdExceptionDataBaseValue>(qdCreate<TqdExceptionDataBooleanValue>(aName, aValue, this)));
}

void TqdExceptionDataContainer::AddFloat(const qdString& aName, double aValue) {
  Append(TqdRef<TqdExceptionDataBaseValue>(qdCreate<TqdExceptionDataFloatValue>(aName, aValue, this)));
}

void TqdExceptionDataContainer::AddVariant(const qdString& aName, const TqdVariant& aValue) {
  Append(TqdRef<TqdExceptionDataBaseValue>(qdCreate<TqdExceptionDataVariantValue>(aName, aValue, this)));
}

void TqdExceptionDataContainer::AddCardinal(const qdString& aName, uint32_t aValue) {
  AddInt64(aName, static_cast<int64_t>(aValue));
}

TqdRef<IqdExceptionDataContainer> TqdExceptionDataContainer::AddContainer(const qdString& aName) {
  TqdRef<TqdExceptionDataContainer> container(qdCreate<TqdExceptionDataContainer>(aName, this));
  Append(container);
  return TqdRef<IqdExceptionDataContainer>(container.Get());
}

TqdRef<IqdExceptionDataValue> TqdExceptionDataContainer::Values(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= Count()) throw ERangeError(u"Range check error");
  return TqdRef<IqdExceptionDataValue>(dcValues[static_cast<size_t>(aIndex)].Get());
}

void TqdExceptionDataContainer::SetExcludedObjects(std::span<TqdObject* const> aExcluded) {
  dcExcludedObjects.clear();
  for (TqdObject* object : aExcluded) dcExcludedObjects.push_back(qdExceptionDataIdentity(object));
}

bool TqdExceptionDataContainer::IsExcluded(const void* aObject) const {
  for (const void* excluded : dcExcludedObjects)
    if (excluded == aObject) return true;
  return false;
}

bool TqdExceptionDataContainer::AddNoteInstead(const qdString& aName, const void* aIdentity) {
  // The container being filled is not checked itself: the walk starts at its
  // parent, one step up.
  int32_t step = 1;
  for (const TqdExceptionDataContainer* c = Parent(); c != nullptr; c = c->Parent(), ++step) {
    if (c->dcForObject == aIdentity) {
      AddString(aName,
                u"[Omitted to prevent cycle. Object already present " + decimal(step) + u" step up in history.]");
      return true;
    }
    if (c->IsExcluded(aIdentity)) {
      AddString(aName, u"[Excluded]");
      return true;
    }
  }
  return false;
}

void TqdExceptionDataContainer::AddObject(const qdString& aName, TqdObject* aObject, int32_t aFlag) {
  if (aObject == nullptr) return;
  const void* identity = qdExceptionDataIdentity(aObject);
  if (AddNoteInstead(aName, identity)) return;

  if (auto* source = dynamic_cast<IqdExceptionData*>(aObject)) {
    TqdRef<TqdExceptionDataContainer> container(qdCreate<TqdExceptionDataContainer>(aName, this));
    container->dcForObject = identity;
    Append(container);
    source->GetExceptionData(container.Get(), aFlag);
    return;
  }

  AddString(aName, objectClassName(aObject));
}

void TqdExceptionDataContainer::AddObject(const qdString& aName, const TqdStringList& aStrings, int32_t /*aFlag*/) {
  const void* identity = &aStrings;
  if (AddNoteInstead(aName, identity)) return;
  TqdRef<TqdExceptionDataContainer> container(qdCreate<TqdExceptionDataContainer>(aName, this));
  container->dcForObject = identity;
  Append(container);
  for (int32_t i = 0; i < aStrings.Count(); ++i) {
    const qdString& line = aStrings.Strings(i);
    const size_t eq = line.find(u'=');
    if (eq != qdString::npos && eq > 0) {
      container->AddString(line.substr(0, eq), line.substr(eq + 1));
    } else {
      const qdString value = !line.empty() && line[0] == u'=' ? line.substr(1) : line;
      container->AddString(u"[" + decimal(i) + u"]", value);
    }
  }
}

void TqdExceptionDataContainer::AddLines(int32_t aIndent, TqdExceptionDataAddLine aAddLine, void* aContext) const {
  aAddLine(aContext, spaces(2 * aIndent) + Name() + u":");
  for (const auto& value : dcValues) value->AddLines(aIndent + 1, aAddLine, aContext);
}

void TqdExceptionDataContainer::WritePayload(TqdWriter& aWriter) const {
  aWriter.WriteListBegin();
  for (const auto& value : dcValues) value->WriteTo(aWriter);
  aWriter.WriteListEnd();
}

// --- Routines ----------------------------------------------------------------

const void* qdExceptionDataIdentity(const TqdObject* aObject) {
  return aObject == nullptr ? nullptr : dynamic_cast<const void*>(aObject);
}

TqdRef<IqdExceptionDataContainer> qdCreateExceptionDataContainer(const qdString& aName, TqdObject* aForObject,
                                                                 std::span<TqdObject* const> aExcluded) {
  TqdRef<TqdExceptionDataContainer> container(qdCreate<TqdExceptionDataContainer>(aName, nullptr));
  container->SetForObject(qdExceptionDataIdentity(aForObject));
  container->SetExcludedObjects(aExcluded);
  return TqdRef<IqdExceptionDataContainer>(container.Get());
}

TqdRef<IqdExceptionDataValue> qdExceptionDataFromString(const qdString& aText) {
  TqdAnsiStringStream stream(Base64ToStr(StringToUtf8(aText)));
  TqdReader reader(&stream, 4096);
  if (reader.NextValue() != vaIdent || !sameAscii(reader.ReadIdent(), kIdentifier))
    throw EqdBaseException(qdeIncompatibleStream);
  const int32_t version = reader.ReadInteger();
  TqdRef<TqdExceptionDataBaseValue> value = TqdExceptionDataBaseValue::CreateFromReader(reader, version, nullptr);
  return TqdRef<IqdExceptionDataValue>(value.Get());
}

qdString qdFormatExceptionDataVariant(const TqdVariant& aValue) {
  try {
    if (aValue.IsNull()) return u"NULL";
    if (aValue.IsEmpty()) return u"EMPTY";
    if (VarIsStr(aValue)) {
      qdString quoted = u"'";
      for (char16_t c : aValue.AsString()) {
        quoted += c;
        if (c == u'\'') quoted += c;
      }
      quoted += u"'";
      return quoted;
    }
    return aValue.AsString();
  } catch (const Exception& e) {
    return u"[Error: " + e.Message() + u"]";
  }
}

// --- Services for the error unit ---------------------------------------------

namespace {

IqdExceptionDataContainer* serviceCreateContainer(const qdString& aName) {
  return qdCreateExceptionDataContainer(aName, nullptr).Detach();
}

IqdExceptionDataContainer* serviceFromString(const qdString& aText) {
  TqdRef<IqdExceptionDataValue> value = qdExceptionDataFromString(aText);
  auto* container = dynamic_cast<TqdExceptionDataContainer*>(value.Get());
  if (container == nullptr) return nullptr;
  return TqdRef<IqdExceptionDataContainer>(container).Detach();
}

void serviceAddRef(IqdExceptionDataContainer* aContainer) { aContainer->AddRef(); }

void serviceRelease(IqdExceptionDataContainer* aContainer) { aContainer->Release(); }

void serviceDescribe(IqdExceptionData* aSource, IqdExceptionDataContainer* aContainer) {
  aSource->GetExceptionData(aContainer, 0);
}

int32_t serviceCount(IqdExceptionDataContainer* aContainer) { return aContainer->Count(); }

qdString serviceToEncodedString(IqdExceptionDataContainer* aContainer, int32_t aClientVersion) {
  return aContainer->ToEncodedString(aClientVersion);
}

qdString serviceToString(IqdExceptionDataContainer* aContainer) { return aContainer->ToString(); }

constexpr TqdExceptionDataServices kServices{serviceCreateContainer, serviceFromString, serviceAddRef,
                                             serviceRelease,         serviceDescribe,   serviceCount,
                                             serviceToEncodedString, serviceToString};

}  // namespace

void qdllExceptionDataInitialize() { qdSetExceptionDataServices(&kServices); }

void qdllExceptionDataFinalize() { qdSetExceptionDataServices(nullptr); }

}  // namespace qd
