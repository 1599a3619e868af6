// The engine families: registries by name, creation from descriptors, the
// dictionary check over nested tables, and the "Null" record compression.
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "storage/qdsrSubEngineBase.h"

#include <gtest/gtest.h>

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "foundation/qdllStreams.h"
#include "platform/qdStringList.h"
#include "storage/qdseRecordEngineStatic.h"
#include "storage/qdsrAutoIncEngineBase.h"
#include "storage/qdsrBlobEngineBase.h"
#include "storage/qdsrBlockHeapEngineBase.h"
#include "storage/qdsrHeapEngineBase.h"
#include "storage/qdsrIndexEngineBase.h"
#include "storage/qdsrRecordCompressionEngineBase.h"
#include "storage/qdsrStreamEngineBase.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

// Classes registered by the tests themselves, never instantiated.
const TqdRecordEngineClass kTestRecordClass{
    {u"TqdTestRecordEngine", &TqdBaseRecordEngine::ClassInfo, nullptr}, nullptr, nullptr};
const TqdBlobEngineClass kTestBlobClass{
    {u"TqdTestBlobEngine", &TqdBaseBlobEngine::ClassInfo, nullptr}, nullptr, nullptr};
int gStreamChecks = 0;
const TqdStreamEngineClass kTestStreamClass{{u"TqdTestStreamEngine", &TqdBaseStreamEngine::ClassInfo, nullptr},
                                            nullptr,
                                            [](TqdBaseStreamDescriptor*) { ++gStreamChecks; }};

// A dictionary without streams, one field and a nested table of one field.
std::unique_ptr<TqdDataDictionary> TwoTableDictionary() {
  auto dict = std::make_unique<TqdDataDictionary>();
  dict->RemoveStreamDescriptor();
  dict->FieldsDescriptor()->AddField(u"Id", u"", qdtInt32, 0, 0, true);
  TqdNestedTableDescriptor* lines = dict->TablesDescriptor()->AddTable(u"Lines");
  lines->FieldsDescriptor()->AddField(u"Qty", u"", qdtInt32, 0, 0, true);
  lines->AddRecordDescriptor();
  return dict;
}

TEST(SubEngineRegistry, NamesAreFoundWithoutRegardToCaseAndPerFamily) {
  for (const char16_t* name : {u"STATIC", u"static", u"Static", u"qd1xDefault", u"QD1XDEFAULT"})
    EXPECT_EQ(TqdBaseRecordEngine::FindEngineClass(name), &TqdStaticRecordEngine::ClassInfo);
  EXPECT_EQ(TqdBaseRecordEngine::FindEngineClass(u"Unregistered"), nullptr);
  EXPECT_EQ(TqdBaseRecordEngine::FindEngineClass(u""), nullptr);
  EXPECT_EQ(TqdBaseBlobEngine::FindEngineClass(u"Static"), nullptr);
  EXPECT_EQ(TqdBaseRecordCompressionEngine::FindEngineClass(u"NULL"), &TqdNullRecordCompressionEngine::ClassInfo);
  // The compressor-backed engine has no compressor to run on yet.
  EXPECT_EQ(TqdBaseRecordCompressionEngine::FindEngineClass(u"Compressor"), nullptr);
  EXPECT_THROW((void)TqdBaseSubEngine::FindEngineClass(TqdBaseSubEngine::ClassInfo, u"Static"), EAssertionFailed);
}

TEST(SubEngineRegistry, ADuplicateNameIsRefusedOnlyWithinItsFamily) {
  EXPECT_THROW(TqdBaseSubEngine::Register(kTestRecordClass, u"Static"), EStringListError);
  EXPECT_THROW(TqdBaseSubEngine::Register(kTestRecordClass, u"STATIC"), EStringListError);
  EXPECT_EQ(TqdBaseRecordEngine::FindEngineClass(u"Static"), &TqdStaticRecordEngine::ClassInfo);
  TqdBaseSubEngine::Register(kTestBlobClass, u"Static");
  EXPECT_EQ(TqdBaseBlobEngine::FindEngineClass(u"static"), &kTestBlobClass);
  TqdBaseSubEngine::Unregister(kTestBlobClass);
  EXPECT_EQ(TqdBaseBlobEngine::FindEngineClass(u"static"), nullptr);
}

TEST(SubEngineRegistry, AFamilyRegistryGoesWithItsLastEngine) {
  ASSERT_NE(TqdBaseRecordEngine::ClassInfo.FamilyList(), nullptr);
  qdseRecordEngineStaticFinalize();
  EXPECT_EQ(TqdBaseRecordEngine::ClassInfo.FamilyList(), nullptr);
  EXPECT_EQ(TqdBaseRecordEngine::FindEngineClass(u"Static"), nullptr);
  qdseRecordEngineStaticInitialize();
  EXPECT_EQ(TqdBaseRecordEngine::FindEngineClass(u"Static"), &TqdStaticRecordEngine::ClassInfo);
}

TEST(SubEngineRegistry, FamiliesAreCheckedInStartUpOrder) {
  std::vector<const TqdClassInfo*> order;
  for (const TqdSubEngineFamily* family : TqdBaseSubEngine::Families()) order.push_back(family->sefBase);
  const std::vector<const TqdClassInfo*> expected{&TqdBaseAutoIncEngine::ClassInfo,
                                                  &TqdBaseBlobEngine::ClassInfo,
                                                  &TqdBaseStreamEngine::ClassInfo,
                                                  &TqdBaseRecordEngine::ClassInfo,
                                                  &TqdBaseBlockHeapEngine::ClassInfo,
                                                  &TqdBaseHeapEngine::ClassInfo,
                                                  &TqdBaseRecordCompressionEngine::ClassInfo,
                                                  &TqdBaseIndicesEngine::ClassInfo};
  EXPECT_EQ(order, expected);
}

// --- The dictionary check ------------------------------------------------------------------------

TEST(SubEngineCheck, UnknownEngineNamesAreFoundInNestedTablesAndRootStreams) {
  struct Case {
    const char* name;
    std::function<void(TqdDataDictionary&)> change;
    std::string message;
  };
  const Case cases[] = {
      {"nested record engine",
       [](TqdDataDictionary& d) {
         d.TablesDescriptor()->TableDescriptor(0)->RecordDescriptor()->SetRecordEngine(u"Foo");
       },
       "Unknown Record engine: \"Foo\""},
      {"root record engine", [](TqdDataDictionary& d) { d.RecordDescriptor()->SetRecordEngine(u"Bar"); },
       "Unknown Record engine: \"Bar\""},
      {"root stream engine", [](TqdDataDictionary& d) { d.AddStreamDescriptor()->SetStreamEngine(u"Baz"); },
       "Unknown stream engine: \"Baz\""},
      {"auto-increment engine",
       [](TqdDataDictionary& d) {
         d.TablesDescriptor()->TableDescriptor(0)->AddAutoIncDescriptor()->SetAutoIncEngine(u"Qux");
       },
       "Unknown autoinc engine: \"Qux\""},
      {"BLOB engine", [](TqdDataDictionary& d) { d.AddBlobDescriptor()->SetBlobEngine(u"Quux"); },
       "Unknown BLOB engine: \"Quux\""},
  };
  std::unique_ptr<TqdDataDictionary> valid = TwoTableDictionary();
  TqdBaseSubEngine::CheckValidAll(valid.get());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<TqdDataDictionary> dict = TwoTableDictionary();
    c.change(*dict);
    EXPECT_EQ(CodeOf([&] { TqdBaseSubEngine::CheckValidAll(dict.get()); }), qdeSubEngineNotSupported);
    EXPECT_NE(MessageOf([&] { TqdBaseSubEngine::CheckValidAll(dict.get()); }).find(c.message), std::string::npos);
  }
}

TEST(SubEngineCheck, StreamsAreCheckedOnceAtTheRootWithTheNamedClass) {
  TqdBaseSubEngine::Register(kTestStreamClass, u"TestStream");
  std::unique_ptr<TqdDataDictionary> dict = TwoTableDictionary();
  dict->AddStreamDescriptor()->SetStreamEngine(u"teststream");
  gStreamChecks = 0;
  TqdBaseSubEngine::CheckValidAll(dict.get());
  EXPECT_EQ(gStreamChecks, 1);
  TqdBaseSubEngine::Unregister(kTestStreamClass);
}

// --- Creation ------------------------------------------------------------------------------------

TEST(SubEngineCreate, AbsentDescriptorsGiveNoEngineAndUnknownNamesRaise) {
  std::unique_ptr<TqdDataDictionary> dict = TwoTableDictionary();
  TqdBlockAccessList none;
  EXPECT_EQ(TqdBaseAutoIncEngine::CreateEngine(dict.get(), none, nullptr), nullptr);
  EXPECT_EQ(TqdBaseBlobEngine::CreateEngine(dict.get(), none, nullptr), nullptr);
  EXPECT_EQ(TqdBaseBlockHeapEngine::CreateEngine(nullptr, 4092, 16, 47501), nullptr);
  EXPECT_EQ(TqdBaseHeapEngine::CreateEngine(nullptr, nullptr, nullptr), nullptr);
  dict->RemoveRecordDescriptor();
  EXPECT_EQ(TqdBaseRecordEngine::CreateEngine(dict.get(), none, nullptr), nullptr);
  dict->AddRecordDescriptor()->SetRecordEngine(u"Foo");
  EXPECT_EQ(CodeOf([&] { (void)TqdBaseRecordEngine::CreateEngine(dict.get(), none, nullptr); }),
            qdeSubEngineNotSupported);
}

TEST(SubEngineCreate, AHeapNeedsABlockHeapDescriptor) {
  TqdDataDictionary dict;
  TqdHeapRecordDescriptor* record =
      static_cast<TqdHeapRecordDescriptor*>(dict.AddRecordDescriptor(&TqdHeapRecordDescriptor::ClassInfo));
  TqdBaseHeapDescriptor* heap = record->AddHeapDescriptor();
  heap->RemoveBlockHeapDescriptor();
  EXPECT_EQ(CodeOf([&] { TqdBaseHeapEngine::CheckValidDescriptor(heap); }), qdeInvalidDesc);
  EXPECT_NE(
      MessageOf([&] { TqdBaseHeapEngine::CheckValidDescriptor(heap); }).find("A block heap descriptor is required"),
      std::string::npos);
  heap->AddBlockHeapDescriptor()->SetBlockHeapEngine(u"Nowhere");
  EXPECT_NE(
      MessageOf([&] { TqdBaseHeapEngine::CheckValidDescriptor(heap); }).find("Unknown BlockHeap engine: \"Nowhere\""),
      std::string::npos);
}

TEST(NullRecordCompression, StoresEverythingRawAndRefusesToExpand) {
  std::unique_ptr<TqdBaseRecordCompressionEngine> engine(TqdBaseRecordCompressionEngine::CreateEngine(nullptr, 47501));
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(&engine->ClassType(), &TqdNullRecordCompressionEngine::ClassInfo);
  EXPECT_EQ(engine->ID(), 0);
  EXPECT_EQ(engine->TableVersion(), 47501);
  uint8_t source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t target[8] = {};
  EXPECT_EQ(engine->CompressRecord(source, target), 0u);
  EXPECT_EQ(CodeOf([&] { engine->DecompressRecord(source, 8, target); }), qdeNotSupported);
  EXPECT_NE(MessageOf([&] {
              engine->DecompressRecord(source, 8, target);
            }).find("DecompressRecord is not supported by TqdNullRecordCompressionEngine"),
            std::string::npos);
  EXPECT_THROW(engine->DecompressRecord(source, 8, target), EqdNullRecordCompressionEngineException);

  TqdDataDictionary dict;
  auto* record = static_cast<TqdHeapRecordDescriptor*>(dict.AddRecordDescriptor(&TqdHeapRecordDescriptor::ClassInfo));
  TqdBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
  compression->SetRecordCompressionEngine(u"null");
  engine.reset(TqdBaseRecordCompressionEngine::CreateEngine(compression, 47501));
  EXPECT_EQ(engine->ID(), compression->ID());
  compression->SetRecordCompressionEngine(u"Compressor");
  EXPECT_NE(MessageOf([&] {
              (void)TqdBaseRecordCompressionEngine::CreateEngine(compression, 47501);
            }).find("Unknown RecordCompression engine: \"Compressor\""),
            std::string::npos);
}

// --- File BLOBs ---------------------------------------------------------------------------------

// Only the file BLOB helpers of the base are used.
class FileBlobEngine final : public TqdBaseBlobEngine {
 public:
  using TqdBaseBlobEngine::TqdBaseBlobEngine;
  void AddBlob(TqdBaseTransaction*, TqdBlobNr&) override {}
  void AddBlobLink(TqdBaseTransaction*, const qdString&, TqdBlobNr, TqdBlobNr&) override {}
  void AddFileBlob(TqdBaseTransaction*, const qdString&, TqdBlobNr&) override {}
  void DeleteBlob(TqdBaseTransaction*, TqdBlobNr) override {}
  bool FreeBlob(TqdBaseTransaction*, TqdBlobNr) override { return false; }
  TqdResult GetBlobLength(TqdBaseTransaction*, TqdBlobNr, const TqdBlobLinkGetLength&, uint32_t&) override { return 0; }
  bool IsFileBlob(TqdBaseTransaction*, TqdBlobNr, qdString&) override { return false; }
  bool IsBlobLink(TqdBaseTransaction*, TqdBlobNr, qdString&, TqdBlobNr&) override { return false; }
  TqdResult Read(TqdBaseTransaction*, TqdBlobNr, uint32_t, uint32_t, const TqdBlobLinkRead&, TStream&) override {
    return 0;
  }
  void Truncate(TqdBaseTransaction*, TqdBlobNr, uint32_t) override {}
  void Write(TqdBaseTransaction*, TqdBlobNr, uint32_t, uint32_t, const void*) override {}
};

TEST(FileBlob, FilesNextToTheTableAreReadAndMissingOnesAnswerAnOpenError) {
  TqdFaultFixture fixture;
  TqdBufferManager cache{u"/tmp"};
  fixture.Fs().WriteAll("/db/picture.bin", {'a', 'b', 'c', 'd', 'e', 'f'});
  auto table = TqdTestTable::Create(&cache, "/db/b.qd1");
  TqdDataDictionary dict;
  TqdBaseBlobDescriptor* descriptor = dict.AddBlobDescriptor();
  FileBlobEngine engine(descriptor, {&table->Access()}, nullptr);
  uint32_t length = 0;
  EXPECT_EQ(engine.GetFileBlobLength(u"picture.bin", length), 0u);
  EXPECT_EQ(length, 6u);
  struct Case {
    uint32_t offset;
    uint32_t len;
    std::string expected;
  } cases[] = {{0, 6, "abcdef"}, {2, 3, "cde"}, {4, 0xFFFFFFFF, "ef"}, {9, 4, ""}};
  for (const Case& c : cases) {
    TqdMemoryStream stream(64);
    ASSERT_EQ(engine.ReadFileBlob(u"picture.bin", c.offset, c.len, stream), 0u);
    EXPECT_EQ(std::string(static_cast<const char*>(stream.Memory()), size_t(stream.Size())), c.expected);
  }
  TqdMemoryStream stream(64);
  EXPECT_EQ(engine.ReadFileBlob(u"missing.bin", 0, 4, stream), qdeFileBlobOpenErr);
  EXPECT_EQ(engine.GetFileBlobLength(u"/db/missing.bin", length), qdeFileBlobOpenErr);
}

}  // namespace
}  // namespace qd::test
