// Table encryption: the engine registry, the password logic of the
// "qd1xDefault" engine on a bare header area, and encrypted table files on
// the in-memory file system: block 0's layout, enciphered blocks with their
// trailers, no plaintext in the file or the journal, reopening with and
// without the password, damage, and password changes.
#include "storage/qdseEncryptionEngineBlowfishRC4.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "foundation/qdllRandom.h"
#include "platform/qdLittleEndian.h"
#include "storage/qdsrDataDictionary.h"
#include "tests/storage/qdsrTestServer.h"

namespace qd::test {
namespace {

const qdString kEngine = u"qd1xDefault";
const qdString kSystemPassword = u"{7E1A9F02-B6D8-4C3E-A51B-29F6C08D4E17}";
// Not in the process's code page: it would turn into a substitution byte.
const qdString kUnrepresentable = u"pass\u0E01word";

// The text a pending message left for aCode.
std::string pendingText(TqdResult aCode) { return StringToUtf8(EqdBaseException(aCode).ProcessedErrorString()); }

TEST(EncryptionRegistryTest, NamesSpacesAndUnknownEngines) {
  for (bool forServer : {false, true}) {
    TqdStringList names;
    TqdBaseEncryptionEngine::GetRegisteredEngines(names, forServer);
    ASSERT_EQ(names.Count(), 2);
    EXPECT_EQ(names.Strings(0), u"");
    EXPECT_EQ(names.Strings(1), u"qd1xDefault");
    EXPECT_TRUE(TqdBaseEncryptionEngine::HasEngine(u"QD1XDEFAULT", forServer));
    EXPECT_FALSE(TqdBaseEncryptionEngine::HasEngine(u"Foo", forServer));
    EXPECT_EQ(TqdBaseEncryptionEngine::ReservedHeaderSpace(u"", forServer), 0u);
    EXPECT_EQ(TqdBaseEncryptionEngine::ReservedHeaderSpace(kEngine, forServer), 48u);
    for (TqdBlockSize size : {qdbs4k, qdbs8k, qdbs16k, qdbs32k, qdbs64k})
      EXPECT_EQ(TqdBaseEncryptionEngine::ReservedSpacePerBlock(u"qd1xdefault", forServer, size), 16u);
  }
  TqdBaseEncryptionEngine* engine = reinterpret_cast<TqdBaseEncryptionEngine*>(1);
  EXPECT_EQ(TqdBaseEncryptionEngine::CreateEngine(u"Foo", {}, nullptr, true, false, engine), qdeSubEngineNotSupported);
  EXPECT_EQ(engine, nullptr);
  EXPECT_EQ(pendingText(qdeSubEngineNotSupported), "Unknown encryption engine: \"Foo\"");
  EXPECT_EQ(TextOf([] { (void)TqdBaseEncryptionEngine::ReservedHeaderSpace(u"Foo", false); }),
            "Unknown encryption engine: \"Foo\"");
  EXPECT_EQ(CodeOf([] { (void)TqdBaseEncryptionEngine::ReservedSpacePerBlock(u"Foo", true, qdbs4k); }),
            qdeSubEngineNotSupported);
}

// One engine over a bare 48-byte header area.
struct TqdArea {
  uint8_t bytes[48] = {};
  TqdResult Create(const TqdUnicodeStrings& aPasswords, std::unique_ptr<TqdBaseEncryptionEngine>& aEngine) {
    return Make(aPasswords, true, aEngine);
  }
  TqdResult Open(const TqdUnicodeStrings& aPasswords, std::unique_ptr<TqdBaseEncryptionEngine>& aEngine) {
    return Make(aPasswords, false, aEngine);
  }
  TqdResult Make(const TqdUnicodeStrings& aPasswords, bool aCreating,
                 std::unique_ptr<TqdBaseEncryptionEngine>& aEngine) {
    TqdBaseEncryptionEngine* engine = nullptr;
    const TqdResult result =
        TqdBaseEncryptionEngine::CreateEngine(kEngine, aPasswords, bytes, aCreating, false, engine);
    aEngine.reset(engine);
    return result;
  }
};

TEST(EncryptionPasswordTest, PasswordsOpenWhatTheyCreated) {
  struct TqdCase {
    const char* name;
    TqdUnicodeStrings create;
    TqdUnicodeStrings open;
    TqdResult expected;
    qdString extracted;
  };
  const TqdCase cases[] = {
      {"no password, none given", {}, {}, 0, u""},
      {"no password, wrong ones given", {}, {u"a", u"b"}, 0, u""},
      {"password found later in the list", {kSystemPassword}, {u"x", kSystemPassword, u"y"}, 0, kSystemPassword},
      {"password missing", {kSystemPassword}, {}, qdeInvalidPassword, u""},
      {"wrong password", {kSystemPassword}, {u"{7E1A9F02}"}, qdeInvalidPassword, u""},
      {"passwords are case-sensitive", {u"Secret"}, {u"secret"}, qdeInvalidPassword, u""},
      {"an empty password counts as none", {u""}, {}, 0, u""},
      {"an empty password next to none", {u""}, {u"", u"other"}, 0, u""},
      {"an unrepresentable password matches nothing", {u"pass?word"}, {kUnrepresentable}, qdeInvalidPassword, u""},
  };
  for (const TqdCase& c : cases) {
    SCOPED_TRACE(c.name);
    TqdArea area;
    std::unique_ptr<TqdBaseEncryptionEngine> created;
    ASSERT_EQ(area.Create(c.create, created), 0u);
    std::unique_ptr<TqdBaseEncryptionEngine> opened;
    EXPECT_EQ(area.Open(c.open, opened), c.expected);
    if (c.expected != 0) {
      EXPECT_EQ(opened, nullptr);
      EXPECT_EQ(pendingText(c.expected), "Invalid password given.");
      continue;
    }
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->ExtractPassword(), c.extracted);
    // Both engines hold the same data key: one decodes what the other codes.
    uint8_t block[4096];
    for (size_t i = 0; i < sizeof block; ++i) block[i] = uint8_t(i);
    uint8_t coded[4096];
    created->CodeBlock(block, coded, sizeof block, 0);
    opened->DecodeBlock(coded, sizeof coded, 0);
    EXPECT_EQ(std::memcmp(coded, block, sizeof block - 16), 0);
  }
}

TEST(EncryptionPasswordTest, CreateRefusesTwoPasswordsAndUnrepresentableOnes) {
  TqdArea area;
  std::unique_ptr<TqdBaseEncryptionEngine> engine;
  EXPECT_EQ(area.Create({u"a", u"b"}, engine), qdeInvalidParam);
  EXPECT_EQ(engine, nullptr);
  EXPECT_EQ(pendingText(qdeInvalidParam), "More than one key specified when creating new table");
  EXPECT_EQ(CodeOf([&] { (void)area.Create({kUnrepresentable}, engine); }), qdeInvalidParam);
  EXPECT_EQ(engine, nullptr);
}

TEST(EncryptionPasswordTest, SecondOpenersAreAuthenticated) {
  TqdArea area;
  std::unique_ptr<TqdBaseEncryptionEngine> engine;
  ASSERT_EQ(area.Create({u"Secret"}, engine), 0u);
  EXPECT_EQ(engine->AuthenticatePassword({}), qdeInvalidPassword);
  EXPECT_EQ(engine->AuthenticatePassword({u"secret"}), qdeInvalidPassword);
  EXPECT_EQ(engine->AuthenticatePassword({u"x", u"Secret"}), 0u);
  TqdArea open;
  ASSERT_EQ(open.Create({}, engine), 0u);
  EXPECT_EQ(engine->AuthenticatePassword({}), 0u);
}

TEST(EncryptionPasswordTest, ChangePasswordRewrapsTheSameDataKey) {
  TqdArea area;
  std::unique_ptr<TqdBaseEncryptionEngine> engine;
  ASSERT_EQ(area.Create({u"old"}, engine), 0u);
  uint8_t block[4096] = {1, 2, 3};
  uint8_t coded[4096];
  engine->CodeBlock(block, coded, sizeof block, 0);
  EXPECT_EQ(CodeOf([&] { engine->ChangePassword(area.bytes, kUnrepresentable); }), qdeInvalidParam);
  engine->ChangePassword(area.bytes, u"new");
  EXPECT_EQ(engine->ExtractPassword(), u"new");
  std::unique_ptr<TqdBaseEncryptionEngine> opened;
  EXPECT_EQ(area.Open({u"old"}, opened), qdeInvalidPassword);
  ASSERT_EQ(area.Open({u"new"}, opened), 0u);
  engine->ChangePassword(area.bytes, u"");
  ASSERT_EQ(area.Open({}, opened), 0u);
  EXPECT_EQ(opened->AuthenticatePassword({}), 0u);
  // Blocks written under the first password still decode.
  opened->DecodeBlock(coded, sizeof coded, 0);
  EXPECT_EQ(std::memcmp(coded, block, sizeof block - 16), 0);
}

TEST(EncryptionBlockTest, EveryWriteTakesAFreshVectorAndDamageIsFound) {
  TqdArea area;
  std::unique_ptr<TqdBaseEncryptionEngine> engine;
  ASSERT_EQ(area.Create({}, engine), 0u);
  for (uint32_t size : {4096u, 8192u, 16384u}) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> block(size);
    for (uint32_t i = 0; i < size; ++i) block[i] = uint8_t(i * 31);
    const std::vector<uint8_t> original = block;
    std::vector<uint8_t> first(size), second(size);
    engine->CodeBlock(block.data(), first.data(), size, 0);
    engine->CodeBlock(block.data(), second.data(), size, 0);
    EXPECT_EQ(block, original);
    EXPECT_NE(first, second);
    EXPECT_NE(std::memcmp(first.data() + size - 16, second.data() + size - 16, 8), 0) << "same vector twice";
    for (std::vector<uint8_t>* coded : {&first, &second}) {
      engine->DecodeBlock(coded->data(), size, 0);
      EXPECT_TRUE(std::equal(original.begin(), original.end() - 16, coded->begin()));
    }
    for (uint32_t at : {0u, size / 2, size - 17, size - 9, size - 1}) {
      SCOPED_TRACE(at);
      std::vector<uint8_t> damaged(size);
      engine->CodeBlock(block.data(), damaged.data(), size, 0);
      damaged[at] ^= 0x04;
      EXPECT_EQ(CodeOf([&] { engine->DecodeBlock(damaged.data(), size, 0); }), qdeFileCorrupt);
    }
  }
}

TEST(EncryptionBlockTest, TheDictionaryReservesTheTrailer) {
  TqdServerDataDict dictionary;
  dictionary.SetEncryptionEngine(kEngine);
  EXPECT_EQ(dictionary.UsableBlockSize(4096), 4076u);
  EXPECT_EQ(dictionary.UsableBlockSize(8192), 8172u);
  EXPECT_EQ(dictionary.FilesDescriptor()->FileDescriptor(0)->UsableBlockSize(), 4076u);
}

// --- Encrypted table files ----------------------------------------------------------------

constexpr char kTable[] = "/db/secret.qd1";
const uint8_t kMarker[16] = {'P', 'L', 'A', 'I', 'N', 'T', 'E', 'X', 'T', '-', 'M', 'A', 'R', 'K', '!', '!'};

bool containsMarker(const std::vector<uint8_t>& aBytes) {
  return std::search(aBytes.begin(), aBytes.end(), std::begin(kMarker), std::end(kMarker)) != aBytes.end();
}

class EncryptedTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qdClearTableUnrecovered(u"/db/");
    StartProcess();
  }
  void StartProcess() {
    fCache = std::make_unique<TqdBufferManager>(u"/tmp");
    fMgr = std::make_unique<TqdTestTransactionMgr>(fCache.get(), "/db");
  }
  void EndProcess() {
    fTable.reset();
    fMgr.reset();
    fCache.reset();
  }
  TqdTestTableOptions Options(TqdUnicodeStrings aPasswords) {
    TqdTestTableOptions options;
    options.toEncryptionEngine = kEngine;
    options.toPasswords = std::move(aPasswords);
    return options;
  }
  // Creates the table with blocks 1..4, the marker in each, and returns the
  // journal's bytes as the commit left them before the flush.
  std::vector<uint8_t> CreateFilled(const TqdUnicodeStrings& aPasswords) {
    fTable = TqdTestTable::Create(fCache.get(), kTable, Options(aPasswords));
    TqdTestServerTransaction trans(fMgr.get());
    AddBlocks(*fTable, &trans, 4, 0x5C);
    for (TqdBlockNumber n = 1; n <= 4; ++n) {
      TqdBlockRef block = fTable->Access().GetBlock(&trans, n, kTestOwner, true);
      std::memcpy(block.WritableData() + 100, kMarker, sizeof kMarker);
    }
    std::vector<uint8_t> journal;
    trans.fPostCommit = [&] {
      for (const std::string& name : NonEmptyJournalFiles(fFixture.Fs())) {
        const std::vector<uint8_t> bytes = fFixture.Fs().ReadAll(name);
        journal.insert(journal.end(), bytes.begin(), bytes.end());
      }
    };
    trans.Commit();
    return journal;
  }

  TqdFaultFixture fFixture;
  std::unique_ptr<TqdBufferManager> fCache;
  std::unique_ptr<TqdTestTransactionMgr> fMgr;
  std::unique_ptr<TqdTestTable> fTable;
};

TEST_F(EncryptedTableTest, BlockZeroStaysPlainAndHoldsTheArea) {
  (void)CreateFilled({kSystemPassword});
  EXPECT_EQ(fTable->File()->fiBlockSizeBytes, 4076u);
  const std::vector<uint8_t> header = FileBlock(fFixture.Fs(), kTable, 0);
  ASSERT_EQ(header.size(), 4096u);
  EXPECT_EQ(std::memcmp(header.data(), "QD!2", 4), 0);
  EXPECT_EQ(qdGetU32(header.data() + 20), 4076u);
  EXPECT_EQ(qdGetU16(header.data() + 17), 48u);
  EXPECT_EQ(qdGetU16(header.data() + 256), 4027u);
  EXPECT_EQ(header[40], 11);
  EXPECT_EQ(std::memcmp(header.data() + 41, "qd1xDefault", 11), 0);
  EXPECT_EQ(fTable->File()->HeaderAccessFactory()->GetEncryptionEngineHeader(const_cast<uint8_t*>(header.data())),
            header.data() + 4027);
  // The area is not all zeros: salt, vector, wrapped key and check value.
  EXPECT_NE(std::count(header.begin() + 4027, header.begin() + 4075, 0), 48);
}

TEST_F(EncryptedTableTest, NoPlaintextReachesTheFileOrTheJournal) {
  for (int kind : {0, 1, 2}) {
    SCOPED_TRACE(kind);
    const TqdJournalEngineClass* previous = qdJournalEngineClass.exchange(qdJournalEngineClassOfKind(kind));
    (void)fFixture.Fs().Delete(kTable);  // a table of the previous kind, if any
    const std::vector<uint8_t> journal = CreateFilled({});
    qdJournalEngineClass.store(previous);
    if (kind != 2) {
      EXPECT_FALSE(journal.empty());
    }
    EXPECT_FALSE(containsMarker(journal));
    const std::vector<uint8_t> file = fFixture.Fs().ReadAll(kTable);
    EXPECT_FALSE(containsMarker(file));
    // Each block other than 0 decodes under the file's engine, its trailer
    // being the vector and the check value.
    for (TqdBlockNumber n = 1; n <= 4; ++n) {
      std::vector<uint8_t> block = FileBlock(fFixture.Fs(), kTable, n);
      std::vector<uint8_t> cookie;
      fTable->File()->fiEncryptionEngine->DecodeBlockEx(block.data(), 4096, n, cookie);
      EXPECT_EQ(std::memcmp(block.data() + 100, kMarker, sizeof kMarker), 0);
      EXPECT_EQ(qdBlockThisBlock(block.data()), n);
    }
    fTable.reset();
  }
}

TEST_F(EncryptedTableTest, WritingABlockTwiceGivesNewBytesWithTheSameImage) {
  (void)CreateFilled({});
  const std::vector<uint8_t> before = FileBlock(fFixture.Fs(), kTable, 2);
  {
    TqdTestServerTransaction trans(fMgr.get());
    SetBlockByte(*fTable, &trans, 2, 0x5C);  // the byte it already holds
    trans.Commit();
  }
  std::vector<uint8_t> after = FileBlock(fFixture.Fs(), kTable, 2);
  EXPECT_NE(before, after);
  std::vector<uint8_t> first = before;
  std::vector<uint8_t> cookie;
  fTable->File()->fiEncryptionEngine->DecodeBlockEx(first.data(), 4096, 2, cookie);
  fTable->File()->fiEncryptionEngine->DecodeBlockEx(after.data(), 4096, 2, cookie);
  EXPECT_TRUE(std::equal(first.begin() + 24, first.end() - 16, after.begin() + 24));
}

TEST_F(EncryptedTableTest, AFreshProcessNeedsThePassword) {
  (void)CreateFilled({kSystemPassword});
  EndProcess();
  StartProcess();
  EXPECT_EQ(CodeOf([&] { TqdTestTable::Open(fCache.get(), kTable, Options({})); }), qdeInvalidPassword);
  EXPECT_EQ(TextOf([&] { TqdTestTable::Open(fCache.get(), kTable, Options({u"wrong"})); }), "Invalid password given.");
  fTable = TqdTestTable::Open(fCache.get(), kTable, Options({u"other", kSystemPassword}));
  EXPECT_EQ(fTable->File()->fiEncryptionEngine->ExtractPassword(), kSystemPassword);
  TqdTestTransaction trans(fCache.get());
  for (TqdBlockNumber n = 1; n <= 4; ++n) {
    TqdBlockRef block = fTable->Access().GetBlock(&trans, n, kTestOwner, false);
    EXPECT_EQ(std::memcmp(block.Data() + 100, kMarker, sizeof kMarker), 0);
    EXPECT_EQ(block.Data()[200], 0x5C);
  }
  trans.Rollback();
  // A second opener of the open file must know the password too.
  TqdBlockRef header;
  bool readOnly = false;
  EXPECT_EQ(fCache->AddFile(fTable->File(), nullptr, {u"wrong"}, false, header, readOnly), qdeInvalidPassword);
  EXPECT_EQ(fCache->AddFile(fTable->File(), nullptr, {kSystemPassword}, false, header, readOnly), 0u);
}

TEST_F(EncryptedTableTest, ADamagedBlockFailsWhenItIsRead) {
  (void)CreateFilled({});
  EndProcess();
  std::vector<uint8_t> file = fFixture.Fs().ReadAll(kTable);
  file[3 * 4096 + 1000] ^= 0x10;
  fFixture.Fs().WriteAll(kTable, file);
  StartProcess();
  fTable = TqdTestTable::Open(fCache.get(), kTable, Options({}));
  TqdTestTransaction trans(fCache.get());
  EXPECT_EQ(BlockByte(*fTable, &trans, 2), 0x5C);
  EXPECT_EQ(CodeOf([&] { (void)BlockByte(*fTable, &trans, 3); }), qdeFileCorrupt);
  trans.Rollback();
}

TEST_F(EncryptedTableTest, AfterChangePasswordToEmptyTheTableOpensWithoutOne) {
  (void)CreateFilled({u"first"});
  {
    TqdTestServerTransaction trans(fMgr.get());
    fTable->Access().ChangePassword(&trans, u"");
    trans.Commit();
  }
  EndProcess();
  StartProcess();
  fTable = TqdTestTable::Open(fCache.get(), kTable, Options({}));
  TqdTestTransaction trans(fCache.get());
  for (TqdBlockNumber n = 1; n <= 4; ++n) EXPECT_EQ(BlockByte(*fTable, &trans, n), 0x5C);
  trans.Rollback();
}

}  // namespace
}  // namespace qd::test
