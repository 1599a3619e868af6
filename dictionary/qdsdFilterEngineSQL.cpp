#include "dictionary/qdsdFilterEngineSQL.h"

#include <string>

#include "dictionary/qdsdDataDictionary_Tables.h"
#include "foundation/qdllWideString.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdProcessProfile.h"

namespace qd {

namespace {

constexpr uint8_t kSqlFilterStreamVersion = 2;

[[noreturn]] void raiseIncompatibleStream() { throw EqdSqlFilterDescriptorException(qdeIncompatibleStream); }

// Reads exactly aCount bytes, or raises 15498; the count is checked against
// what the stream still holds before anything is allocated.
std::string readBlock(TStream* aStream, int64_t aCount) {
  const int64_t left = aStream->Size() - aStream->Position();
  if (aCount < 0 || aCount > left) raiseIncompatibleStream();
  std::string bytes(static_cast<size_t>(aCount), '\0');
  if (aStream->Read(bytes.data(), static_cast<int32_t>(aCount)) != aCount) raiseIncompatibleStream();
  return bytes;
}

}  // namespace

const TqdSqlFilterStatementClass* SqlFilterStatementClass = nullptr;

// --- Descriptors ------------------------------------------------------------------

const TqdFilterDescriptorClass TqdBaseSqlFilterDescriptor::ClassInfo{
    {u"TqdBaseSqlFilterDescriptor", &TqdBaseFilterDescriptor::ClassInfo, nullptr}, nullptr};
const TqdFilterDescriptorClass TqdSqlFilterDescriptor::ClassInfo{
    {u"TqdSqlFilterDescriptor", &TqdBaseSqlFilterDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseFilterDescriptor, TqdSqlFilterDescriptor, TStream*>};

TqdSqlFilterDescriptor::TqdSqlFilterDescriptor(TStream* aStream) {
  uint8_t version = 0;
  uint8_t lengthBytes[4];
  if (aStream->Read(&version, 1) != 1 || aStream->Read(lengthBytes, 4) != 4) raiseIncompatibleStream();
  if (version != 1 && version != 2) raiseIncompatibleStream();
  const int32_t length = qdGetLE<int32_t>(lengthBytes);
  if (version == 2) {
    const std::string bytes = readBlock(aStream, int64_t{length} * 2);
    bsfdExpression.resize(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; ++i) bsfdExpression[i] = qdGetLE<uint16_t>(bytes.data() + 2 * i);
  } else {
    qdStringToWideString(readBlock(aStream, length), bsfdExpression, qdSystemAnsiCodePage());
  }
}

TqdResult TqdSqlFilterDescriptor::WriteToStream(TStream* aStream, int32_t /*aVersion*/) const {
  WriteClassName(aStream);
  aStream->WriteBuffer(&kSqlFilterStreamVersion, 1);
  uint8_t lengthBytes[4];
  qdPutLE<int32_t>(lengthBytes, static_cast<int32_t>(bsfdExpression.size()));
  aStream->WriteBuffer(lengthBytes, 4);
  std::string bytes(bsfdExpression.size() * 2, '\0');
  for (size_t i = 0; i < bsfdExpression.size(); ++i) qdPutLE<uint16_t>(bytes.data() + 2 * i, bsfdExpression[i]);
  aStream->WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
  return 0;
}

// --- Statement hook ---------------------------------------------------------------

TqdBaseSqlFilterStatement::TqdBaseSqlFilterStatement(IqdFieldsSource* aFieldsSource, qdStringView /*aSqlText*/)
    : bsfsFieldsSource(aFieldsSource), bsfsCursor(aFieldsSource != nullptr ? aFieldsSource->GetCursor() : nullptr) {
  if (bsfsCursor == nullptr) {
    if (auto* item = dynamic_cast<TqdDictionaryItem*>(aFieldsSource); item != nullptr) {
      if (TqdDataDictionary* dictionary = item->Dictionary(); dictionary != nullptr)
        bsfsLiteralLocale = dictionary->UsedLocaleDescriptor();
    }
  }
}

TqdBaseSqlFilterStatement::~TqdBaseSqlFilterStatement() = default;

bool TqdBaseSqlFilterStatement::MatchesBuffer(const uint8_t* aBuffer) {
  try {
    return Evaluate(aBuffer);
  } catch (...) {
    // A condition that fails on a record (a division by zero, a bad
    // conversion) refuses the record rather than the scan.
    return false;
  }
}

int32_t TqdBaseSqlFilterStatement::ResolveColumn(qdStringView aName, TqdFieldType& aType, TqdLocaleDescriptor*& aLocale,
                                                 int32_t& aDecimals, int32_t& aUnits) {
  const int32_t index = bsfsFieldsSource->GetFieldFromName(aName);
  if (index < 0) return index;
  IqdFieldDescriptor* field = bsfsFieldsSource->GetFieldDescriptor(index);
  aType = field->GetFieldType();
  aUnits = field->GetUnits();
  aDecimals = field->GetDecPl();
  aLocale = field->GetUsedLocaleDescriptor();
  if (qdBlobFieldTypes.Contains(aType) && !bsfsFieldsSource->BlobsSupported()) return -1;
  return index;
}

void TqdBaseSqlFilterStatement::GetColumnValue(const uint8_t* aBuffer, int32_t aIndex, TqdVariant& aValue) {
  aValue = aBuffer != nullptr ? bsfsFieldsSource->GetFieldAsVariant(aBuffer, aIndex) : TqdVariant::Null();
}

// --- Engines --------------------------------------------------------------------------

const TqdFilterEngineClass TqdBaseSqlFilterEngine::ClassInfo{
    {u"TqdBaseSqlFilterEngine", &TqdBaseFilterEngine::ClassInfo, nullptr}, nullptr};
const TqdFilterEngineClass TqdSqlFilterEngine::ClassInfo{
    {u"TqdSqlFilterEngine", &TqdBaseSqlFilterEngine::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseFilterEngine, TqdSqlFilterEngine, const TqdBaseFilterDescriptor*, IqdFieldsSource*>};

TqdSqlFilterEngine::TqdSqlFilterEngine(const TqdBaseFilterDescriptor* aDescriptor, IqdFieldsSource* aFieldsSource)
    : TqdBaseSqlFilterEngine(aDescriptor, aFieldsSource) {
  auto* descriptor = dynamic_cast<const TqdSqlFilterDescriptor*>(aDescriptor);
  if (descriptor == nullptr) throw EInvalidCast();
  sfeExpression = descriptor->Expression();
  const TqdSqlFilterStatementClass* statementClass = SqlFilterStatementClass;
  if (statementClass == nullptr || statementClass->CreateInstance == nullptr)
    throw EqdSqlFilterEngineException(qdeNotSupported, u"SQL Filters require SqlFilterStatementClass to be assigned");
  sfeStatement = statementClass->CreateInstance(aFieldsSource, sfeExpression);
}

TqdSqlFilterEngine::~TqdSqlFilterEngine() { qdFreeAndNil(sfeStatement); }

TqdBaseFilterDescriptor* TqdSqlFilterEngine::CreateDescriptor() { return new TqdSqlFilterDescriptor(sfeExpression); }

bool TqdSqlFilterEngine::MatchesBuffer(const uint8_t* aBuffer) {
  if (!GetActive() || aBuffer == nullptr) return true;
  if (sfeStatement == nullptr)
    throw EqdSqlFilterEngineException(qdeNotSupported,
                                      u"TqdSqlFilterEngine.MatchesBuffer requires sfeStatement to be assigned");
  TqdPadlockGuard guard(seSync);
  return sfeStatement->MatchesBuffer(aBuffer);
}

void TqdSqlFilterEngine::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdBaseSqlFilterEngine::DescribeTo(aContainer);
  aContainer->AddString(u"Expression", sfeExpression);
}

void qdsdFilterEngineSQLInitialize() {
  TqdBaseRegisterableDescriptor::RegisterDescriptor(TqdSqlFilterDescriptor::ClassInfo);
  TqdBaseRegisterableEngine::RegisterEngine(TqdSqlFilterEngine::ClassInfo);
}

void qdsdFilterEngineSQLFinalize() {
  TqdBaseRegisterableEngine::UnregisterEngine(TqdSqlFilterEngine::ClassInfo);
  TqdBaseRegisterableDescriptor::UnregisterDescriptor(TqdSqlFilterDescriptor::ClassInfo);
}

}  // namespace qd
