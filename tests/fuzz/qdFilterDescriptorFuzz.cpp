// libFuzzer target for the filter descriptor stream and the evaluation of
// expression filters: a key's filter block in a table's dictionary and the
// filters clients send are untrusted bytes. Reading may fail with an engine
// exception or a stream read error; a descriptor that reads is evaluated
// against a record of many field types, once with values and once all
// null, and written again to read back. A crash, an overrun (with the
// sanitizers) or a hang is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdFilterEngineSimpleExpression.h"
#include "engine/qdEngine.h"
#include "foundation/qdllStreams.h"

namespace {

qd::TqdDataDictionary* dictionary = nullptr;
std::vector<uint8_t> filledRecord;
std::vector<uint8_t> nullRecord;

void evaluate(const qd::TqdBaseFilterDescriptor* aDescriptor) {
  std::unique_ptr<qd::TqdBaseFilterEngine> engine;
  try {
    engine.reset(qd::TqdBaseFilterEngine::CreateFor(aDescriptor, dictionary->FieldsDescriptor()));
  } catch (const qd::EqdBaseException&) {
    return;  // an SQL filter without an SQL engine
  }
  if (engine->ActivateFilter(0) != 0) std::abort();
  try {
    (void)engine->MatchesBuffer(filledRecord.data());  // any answer will do
    (void)engine->MatchesBuffer(nullRecord.data());
  } catch (const qd::EqdBaseException&) {
    // A text the code page cannot decode.
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  dictionary = new qd::TqdDataDictionary();
  qd::TqdFieldsDescriptor* fields = dictionary->FieldsDescriptor();
  const struct {
    const char16_t* name;
    qd::TqdFieldType type;
    int32_t units;
  } layout[] = {{u"B", qd::qdtBoolean, 0},     {u"C", qd::qdtChar, 4},       {u"W", qd::qdtWideChar, 0},
                {u"I", qd::qdtInt32, 0},       {u"L", qd::qdtInt64, 0},      {u"D", qd::qdtDouble, 0},
                {u"E", qd::qdtExtended, 0},    {u"Y", qd::qdtCurrency, 0},   {u"T", qd::qdtDate, 0},
                {u"M", qd::qdtTime, 0},        {u"S", qd::qdtDateTime, 0},   {u"A", qd::qdtByteArray, 6},
                {u"H", qd::qdtShortString, 8}, {u"N", qd::qdtNullString, 8}, {u"U", qd::qdtWideString, 8},
                {u"G", qd::qdtGuid, 0},        {u"F", qd::qdtFmtBCD, 12},    {u"R", qd::qdtRefNr, 0}};
  for (const auto& field : layout) fields->AddField(field.name, u"", field.type, field.units, 0, false);
  const size_t length = static_cast<size_t>(fields->RecordLength() + 4);
  nullRecord.assign(length, 0);
  fields->InitRecord(nullRecord.data());
  filledRecord.assign(length, 0x41);
  // Every null flag cleared: the bitmap follows the aligned data.
  std::memset(filledRecord.data() + fields->LogicalRecordLength(), 0,
              length - static_cast<size_t>(fields->LogicalRecordLength()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  // An exact-size copy, so that the sanitizer sees any read past its end.
  std::vector<uint8_t> bytes(aData, aData + aSize);
  qd::TqdStaticMemoryStream stream(bytes.data(), static_cast<int32_t>(bytes.size()));
  qd::TqdBaseFilterDescriptor* read = nullptr;
  if (qd::TqdBaseFilterDescriptor::CreateFromStream(&stream, read) != 0) {
    if (read != nullptr) std::abort();
    return 0;
  }
  std::unique_ptr<qd::TqdBaseFilterDescriptor> descriptor(read);
  evaluate(descriptor.get());
  qd::TqdAnsiStringStream again;
  if (descriptor->WriteToStream(&again, qd::qdEngineClientVersion) != 0) std::abort();
  again.SetPosition(0);
  qd::TqdBaseFilterDescriptor* copy = nullptr;
  if (qd::TqdBaseFilterDescriptor::CreateFromStream(&again, copy) != 0) std::abort();
  delete copy;
  return 0;
}
