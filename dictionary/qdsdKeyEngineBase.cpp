#include "dictionary/qdsdKeyEngineBase.h"

#include <cstring>
#include <exception>

#include "foundation/qdllUtils.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

TqdClassRegistry* keyEngineRegistry = nullptr;
TqdClassRegistry** keyEngineFamily() { return &keyEngineRegistry; }

void checkNothing(TqdBaseKeyDescriptor*) {}

// A pool item taken for one comparison and given back in every case.
class TqdTempKey {
 public:
  explicit TqdTempKey(TqdBaseKeyEngine& aEngine) : tkEngine(aEngine), tkKey(aEngine.AllocKey()) {}
  ~TqdTempKey() { tkEngine.FreeKey(tkKey); }
  TqdTempKey(const TqdTempKey&) = delete;
  TqdTempKey& operator=(const TqdTempKey&) = delete;
  uint8_t* Get() const { return tkKey; }

 private:
  TqdBaseKeyEngine& tkEngine;
  uint8_t* tkKey;
};

qdString quoted(const qdString& aText) {
  qdString result = u"'";
  for (char16_t c : aText) {
    result += c;
    if (c == u'\'') result += c;
  }
  result += u'\'';
  return result;
}

qdString valueText(const TqdVariant& aValue) {
  if (aValue.IsNull()) return u"NULL";
  if (aValue.IsEmpty()) return u"EMPTY";
  if (aValue.VarType() == varUString || aValue.VarType() == varString) return quoted(aValue.AsString());
  try {
    return VarToStr(aValue);
  } catch (const Exception& e) {
    return u"[Error: " + e.Message() + u"]";
  } catch (const std::exception& e) {
    return u"[Error: " + Utf8ToString(e.what()) + u"]";
  }
}

}  // namespace

const TqdKeyEngineClass TqdBaseKeyEngine::ClassInfo{
    {u"TqdBaseKeyEngine", &TqdBaseRegisterableEngine::ClassInfo, keyEngineFamily}, nullptr, checkNothing};

const TqdKeyEngineClass* qdFindKeyEngineClass(TqdBaseKeyDescriptor* aDescriptor, qdString& aEngineName) {
  aEngineName = qdEngineNameFor(aDescriptor->ClassName());
  const TqdClassInfo* found = TqdBaseRegisterableEngine::FindEngineClass(TqdBaseKeyEngine::ClassInfo, aEngineName);
  if (found == nullptr || !found->InheritsFrom(TqdBaseKeyEngine::ClassInfo)) return nullptr;
  const auto* engineClass = static_cast<const TqdKeyEngineClass*>(found);
  return engineClass->CreateInstance != nullptr ? engineClass : nullptr;
}

namespace {

const TqdKeyEngineClass& findOrRaise(TqdBaseKeyDescriptor* aDescriptor) {
  qdString name;
  const TqdKeyEngineClass* found = qdFindKeyEngineClass(aDescriptor, name);
  if (found == nullptr)
    throw EqdBaseKeyEngineException(qdeSubEngineNotSupported, u"Unknown %s engine: \"%s\"", {qdString(u"Key"), name});
  return *found;
}

}  // namespace

// --- Construction ---------------------------------------------------------------------------------

TqdBaseKeyEngine::TqdBaseKeyEngine(TqdBaseKeyDescriptor* aDescriptor) : bkeKeyDescriptor(aDescriptor) {
  SetKeyLength(aDescriptor->KeyLen());
  if (TqdBaseFilterDescriptor* filter = aDescriptor->Filter()) {
    bkeFilter = TqdBaseFilterEngine::CreateFor(filter, aDescriptor->GetRelated<TqdFieldsDescriptor>());
    bkeFilter->SetActive(true);
  }
}

TqdBaseKeyEngine::~TqdBaseKeyEngine() { delete bkeFilter; }

void TqdBaseKeyEngine::SetKeyLength(int32_t aKeyLength) {
  // The key length is a 16-bit value: a longer key would get buffers
  // shorter than the keys written into them.
  if (aKeyLength > qdMaxKeyLength || aKeyLength < 0) throw EqdBaseKeyEngineException(qdeKeyTooLarge);
  bkeKeyLength = static_cast<uint16_t>(aKeyLength);
  bkeMemoryPool = qdGetMemoryPool(std::max<size_t>(bkeKeyLength, 1));
}

TqdBaseKeyEngine* TqdBaseKeyEngine::CreateFor(TqdBaseKeyDescriptor* aDescriptor) {
  return findOrRaise(aDescriptor).Create(aDescriptor);
}

TqdResult TqdBaseKeyEngine::TryCreateFor(TqdBaseKeyDescriptor* aDescriptor, TqdBaseKeyEngine*& aKeyEngine) {
  aKeyEngine = nullptr;
  qdString name;
  const TqdKeyEngineClass* found = qdFindKeyEngineClass(aDescriptor, name);
  if (found == nullptr)
    return EqdBaseException::qdSetMessage(qdeSubEngineNotSupported, u"Unknown %s engine: \"%s\"",
                                          {qdString(u"Key"), name});
  aKeyEngine = found->Create(aDescriptor);
  return qdeSuccess;
}

void TqdBaseKeyEngine::CheckValidBaseFromDescriptor(TqdBaseKeyDescriptor* aDescriptor) {
  findOrRaise(aDescriptor).CheckValid(aDescriptor);
}

void TqdBaseKeyEngine::CheckValid(TqdBaseKeyDescriptor* /*aDescriptor*/) {}

// --- Fields ---------------------------------------------------------------------------------------

TqdVariant TqdBaseKeyEngine::GetFieldAsVariant(const uint8_t* aBuffer, int32_t aField) {
  return KeyAsVariant(aBuffer, aField);
}

int32_t TqdBaseKeyEngine::GetKeyFieldOffset(int32_t /*Index*/) { return -1; }

// --- Key buffers ------------------------------------------------------------------------------------

uint8_t* TqdBaseKeyEngine::AllocKey() {
  auto* key = static_cast<uint8_t*>(bkeMemoryPool.Alloc());
  ClearKey(key);
  return key;
}

void TqdBaseKeyEngine::FreeKey(uint8_t*& aKey) { bkeMemoryPool.Dispose(aKey); }

void TqdBaseKeyEngine::CopyKey(const uint8_t* aFrom, uint8_t* aTo) { std::memcpy(aTo, aFrom, bkeKeyLength); }

// --- Building and comparing -----------------------------------------------------------------------------

TqdResult TqdBaseKeyEngine::KeyToRecord(const uint8_t* /*aKey*/, uint8_t* /*aRecord*/) { return qdeNotSupported; }

int8_t TqdBaseKeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2) {
  return CompareKey(aKey1, aKey2, 0, 0);
}

bool TqdBaseKeyEngine::FilterRefuses(const uint8_t* aRecord) const {
  return bkeFilter != nullptr && !bkeFilter->MatchesBuffer(aRecord);
}

void TqdBaseKeyEngine::BuildForCompare(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr aRefNr) {
  const TqdResult result = BuildKey(aRecord, aKey, aRefNr, true);
  if (result != qdeSuccess) throw EqdBaseKeyEngineException(result);
}

int8_t TqdBaseKeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TqdRefNr aRefNr,
                                            int32_t aFieldCount, int32_t aPartialLen) {
  TqdTempKey built(*this);
  BuildForCompare(aRecord, built.Get(), aRefNr);
  return CompareKey(aKey, built.Get(), aFieldCount, aPartialLen);
}

int8_t TqdBaseKeyEngine::CompareRecord(const uint8_t* aRecord1, TqdRefNr aRefNr1, const uint8_t* aRecord2,
                                       TqdRefNr aRefNr2, int32_t aFieldCount, int32_t aPartialLen) {
  TqdTempKey key1(*this);
  TqdTempKey key2(*this);
  BuildForCompare(aRecord1, key1.Get(), aRefNr1);
  BuildForCompare(aRecord2, key2.Get(), aRefNr2);
  return CompareKey(key1.Get(), key2.Get(), aFieldCount, aPartialLen);
}

bool TqdBaseKeyEngine::KeyContainsNulls(const uint8_t* /*aKey*/) { return false; }

// --- Keys as text ---------------------------------------------------------------------------------------

qdString TqdBaseKeyEngine::KeyAsString(const uint8_t* aKey) {
  try {
    const TqdVariant value = KeyAsVariant(aKey, -1);
    if (!value.IsArray()) return valueText(value);
    qdString result;
    const std::vector<TqdVariant>& elements = value.Elements();
    for (size_t i = 0; i < elements.size(); ++i) {
      if (i > 0) result += u", ";
      result += valueText(elements[i]);
    }
    return result;
  } catch (...) {
    return {};
  }
}

void TqdBaseKeyEngine::KeyAsExceptionData(const uint8_t* aKey, IqdExceptionDataContainer* aContainer) {
  try {
    const TqdVariant value = KeyAsVariant(aKey, -1);
    const int32_t fieldCount = GetMaxFieldCount();
    const auto nameOf = [&](int32_t aIndex) -> qdString {
      if (aIndex < fieldCount) {
        if (IqdFieldDescriptor* field = GetFieldDescriptor(aIndex)) return field->GetName();
      }
      return u"Field" + IntToStr(aIndex);
    };
    if (value.IsArray()) {
      const std::vector<TqdVariant>& elements = value.Elements();
      for (size_t i = 0; i < elements.size(); ++i) aContainer->AddVariant(nameOf(static_cast<int32_t>(i)), elements[i]);
    } else {
      aContainer->AddVariant(nameOf(0), value);
    }
  } catch (...) {
    // Describing a key must never turn into an error of its own.
  }
}

void TqdBaseKeyEngine::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdBaseRegisterableEngine::DescribeTo(aContainer);
  aContainer->AddInt64(u"KeyLength", bkeKeyLength);
  TqdRef<IqdExceptionDataContainer> fields = aContainer->AddContainer(u"Fields");
  const int32_t count = GetMaxFieldCount();
  for (int32_t i = 0; i < count; ++i) {
    if (IqdFieldDescriptor* field = GetFieldDescriptor(i))
      fields->AddString(field->GetName(), qdFieldTypeIdent(field->GetFieldType()));
  }
  aContainer->AddObject(u"Filter", bkeFilter);
}

// --- Unit start and end --------------------------------------------------------------------------------

void qdsdKeyEngineBaseInitialize() {}

void qdsdKeyEngineBaseFinalize() {
  delete keyEngineRegistry;
  keyEngineRegistry = nullptr;
}

}  // namespace qd
