#include "tests/dictionary/qdsdFilterDescriptorFuzzHarness.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "dictionary/qdsdFilterEngineSimpleExpression.h"
#include "engine/qdEngine.h"
#include "foundation/qdllStreams.h"

namespace qd::test {

namespace {

struct TqdFilterFuzzRecords {
  std::vector<uint8_t> filled;
  std::vector<uint8_t> null;
};

const TqdFilterFuzzRecords& records() {
  static const TqdFilterFuzzRecords made = [] {
    TqdFilterFuzzRecords result;
    TqdFieldsDescriptor* fields = FilterFuzzDictionary().FieldsDescriptor();
    const size_t length = static_cast<size_t>(fields->RecordLength() + 4);
    result.null.assign(length, 0);
    fields->InitRecord(result.null.data());
    result.filled.assign(length, 0x41);
    // Every null flag cleared: the bitmap follows the aligned data.
    std::memset(result.filled.data() + fields->LogicalRecordLength(), 0,
                length - static_cast<size_t>(fields->LogicalRecordLength()));
    return result;
  }();
  return made;
}

void evaluate(const TqdBaseFilterDescriptor* aDescriptor) {
  std::unique_ptr<TqdBaseFilterEngine> engine;
  try {
    engine.reset(TqdBaseFilterEngine::CreateFor(aDescriptor, FilterFuzzDictionary().FieldsDescriptor()));
  } catch (const EqdBaseException&) {
    return;  // an SQL filter without an SQL engine
  }
  if (engine->ActivateFilter(0) != 0) throw std::logic_error("a filter that read does not activate");
  try {
    (void)engine->MatchesBuffer(records().filled.data());  // any answer will do
    (void)engine->MatchesBuffer(records().null.data());
  } catch (const EqdBaseException&) {
    // A text the code page cannot decode.
  }
}

}  // namespace

TqdDataDictionary& FilterFuzzDictionary() {
  static TqdDataDictionary* dictionary = [] {
    auto* made = new TqdDataDictionary();
    TqdFieldsDescriptor* fields = made->FieldsDescriptor();
    const struct {
      const char16_t* name;
      TqdFieldType type;
      int32_t units;
    } layout[] = {{u"B", qdtBoolean, 0},     {u"C", qdtChar, 4},       {u"W", qdtWideChar, 0},
                  {u"I", qdtInt32, 0},       {u"L", qdtInt64, 0},      {u"D", qdtDouble, 0},
                  {u"E", qdtExtended, 0},    {u"Y", qdtCurrency, 0},   {u"T", qdtDate, 0},
                  {u"M", qdtTime, 0},        {u"S", qdtDateTime, 0},   {u"A", qdtByteArray, 6},
                  {u"H", qdtShortString, 8}, {u"N", qdtNullString, 8}, {u"U", qdtWideString, 8},
                  {u"G", qdtGuid, 0},        {u"F", qdtFmtBCD, 12},    {u"R", qdtRefNr, 0}};
    for (const auto& field : layout) fields->AddField(field.name, u"", field.type, field.units, 0, false);
    return made;
  }();
  return *dictionary;
}

void FuzzFilterDescriptorInput(const uint8_t* aData, size_t aSize) {
  // An exact-size copy, so that the sanitizer sees any read past its end.
  std::vector<uint8_t> bytes(aData, aData + aSize);
  TqdStaticMemoryStream stream(bytes.data(), static_cast<int32_t>(bytes.size()));
  TqdBaseFilterDescriptor* read = nullptr;
  if (TqdBaseFilterDescriptor::CreateFromStream(&stream, read) != 0) {
    if (read != nullptr) throw std::logic_error("a refused descriptor was handed out");
    return;
  }
  std::unique_ptr<TqdBaseFilterDescriptor> descriptor(read);
  evaluate(descriptor.get());
  TqdAnsiStringStream again;
  if (descriptor->WriteToStream(&again, qdEngineClientVersion) != 0)
    throw std::logic_error("a descriptor that read cannot be written");
  again.SetPosition(0);
  TqdBaseFilterDescriptor* copy = nullptr;
  if (TqdBaseFilterDescriptor::CreateFromStream(&again, copy) != 0)
    throw std::logic_error("a descriptor written again does not read back");
  delete copy;
}

}  // namespace qd::test
