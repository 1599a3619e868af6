#include "foundation/qdllException.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qd {
namespace {

std::string u8(const qdString& aText) { return StringToUtf8(aText); }
qdString u16(std::string_view aUtf8) { return Utf8ToString(aUtf8); }

// Sets the calling thread's client version for one scope.
class ClientVersionScope {
 public:
  explicit ClientVersionScope(uint32_t aVersion) { qdSetThreadClientVersion(aVersion); }
  ~ClientVersionScope() { qdSetThreadClientVersion(0); }
};

// Every test starts and ends without a pending converted message.
class ExceptionTest : public ::testing::Test {
 protected:
  void SetUp() override { EqdBaseException::SetLastConvertedException(0, u""); }
  void TearDown() override { EqdBaseException::SetLastConvertedException(0, u""); }

  static std::pair<uint32_t, std::string> Pending() {
    uint32_t code = 0;
    qdString message;
    EqdBaseException::GetLastConvertedException(code, message);
    return {code, u8(message)};
  }
};

// --- Texts -------------------------------------------------------------------

struct CodeText {
  TqdResult code;
  const char* text;
};

// The complete text table, kept here independently of the unit's own table.
const CodeText kCodeTexts[] = {
    {0, "Success"},
    {1, "Key has been filtered"},
    {2, "Cache is valid"},
    {3, "Cache is invalid"},
    {8455, "System has been illegally re-entered."},
    {8705, "At beginning of table."},
    {8706, "At end of table."},
    {8708, "Record/Key deleted."},
    {8709, "No current record."},
    {8710, "Could not find record."},
    {8711, "End of BLOB."},
    {8712, "Could not find object."},
    {8961, "Corrupt table/index header."},
    {8962, "Corrupt file - other than header."},
    {8965, "Corrupt index."},
    {9217, "Read failure."},
    {9218, "Write failure."},
    {9219, "Cannot access directory."},
    {9221, "Cannot access file. File may be in use by another process."},
    {9473, "Insufficient memory for this operation."},
    {9479, "Table is full."},
    {9486, "Too many clients."},
    {9487, "Too many indexes on table."},
    {9492, "Too many fields."},
    {9729, "Key violation."},
    {9730, "Minimum validity check failed."},
    {9731, "Maximum validity check failed."},
    {9732, "Field value required."},
    {9733, "Master record missing."},
    {9734, "Master has detail records. Cannot delete or modify."},
    {9740, "Field is blank."},
    {9751, "Expression validity check failed."},
    {9985, "Number is out of range."},
    {9986, "Invalid parameter."},
    {9990, "Invalid handle to the function."},
    {9992, "Cannot open file."},
    {9996, "Invalid modify request."},
    {9997, "Index does not exist."},
    {9998, "Invalid offset into the BLOB."},
    {9999, "Invalid descriptor number."},
    {10000, "Invalid field type."},
    {10001, "Invalid field descriptor."},
    {10002, "Invalid field transformation."},
    {10003, "Invalid record structure."},
    {10004, "Invalid descriptor."},
    {10005, "Invalid array of index descriptors."},
    {10009, "Name not unique in this context."},
    {10014, "Unknown database."},
    {10015, "Invalid password given."},
    {10018, "The alias references a directory that does not exist."},
    {10019, "Translate Error. Value out of bounds."},
    {10020, "Cannot set cursor of one table to another."},
    {10021, "Bookmarks do not match table."},
    {10022, "Invalid index name."},
    {10023, "Invalid index descriptor."},
    {10024, "Table does not exist."},
    {10027, "Index already exists."},
    {10029, "Invalid BLOB length."},
    {10030, "Invalid BLOB handle in record buffer."},
    {10031, "Table is open."},
    {10036, "Unknown user name or password."},
    {10038, "Invalid field name."},
    {10039, "Invalid table name."},
    {10042, "Invalid file extension."},
    {10043, "Invalid language Driver."},
    {10050, "Filter handle is invalid"},
    {10051, "Invalid Filter"},
    {10067, "Invalid alias name."},
    {10068, "Invalid name."},
    {10241, "Record locked by another user."},
    {10245, "File is locked."},
    {10249, "Lock time out."},
    {10253, "Object cannot be opened for exclusive use."},
    {10254, "Conflicting lock in this session."},
    {10255, "A deadlock was detected. You need to rollback this transaction."},
    {10256, "A user transaction is already in progress."},
    {10257, "No user transaction is currently in progress."},
    {10258, "Record lock failed."},
    {10259, "Couldn't perform the edit because another user changed the record."},
    {10260, "Couldn't perform the edit because another user deleted or moved the record."},
    {10498, "Insufficient table rights for operation."},
    {10501, "Database is read only."},
    {10502, "Trying to modify read-only field."},
    {10503, "Encrypted tables not supported."},
    {10753, "Field is not a BLOB."},
    {10756, "Operation not applicable."},
    {10757, "Table is not indexed."},
    {10760, "Objects are not owned by the same session."},
    {10763, "Table is read only."},
    {10764, "No associated index."},
    {11047, "Unknown internal operating system error."},
    {11114, "No ServerEngine is connected to the CommandHandler."},
    {11276, "Lost communication with network server."},
    {11278, "Cannot locate or connect to network server."},
    {11896, "General BLOB error."},
    {12039, "Server is incompatible version."},
    {12040, "Higher table level required"},
    {12289, "Capability not supported."},
    {13058, "BLOB has been modified."},
    {13060, "Table already exists."},
    {13062, "Update aborted."},
    {15360, "TqdBaseFile contains invalid data"},
    {15363, "File could not be closed"},
    {15392, "Error when copying a file"},
    {15393, "Error when deleting a file"},
    {15394, "Error when renaming a file"},
    {15409, "Block number is either < 0, or >= number of blocks in file"},
    {15412, "Record reference number is invalid"},
    {15413, "Block read from file is not a data block"},
    {15414,
     "A TqdServerEngine without file header access factories has been detected. Please add \"qdseAllEngines\" to your "
     "program's USES clause, and recompile."},
    {15415, "The table cannot be opened because it was created with a newer version of QendoDB."},
    {15416, "Block read from file is not a heap block"},
    {15421, "Block read from file is not a stream block"},
    {15424, "Block read from file is not an index block"},
    {15425, "Index number passed to routine is out of range"},
    {15440, "An error occurred when opening the external file for a file BLOB"},
    {15441, "An error occurred when reading the external file for a file BLOB"},
    {15442, "An error occurred when closing the external file for a file BLOB"},
    {15443,
     "The transaction was corrupt due to an earlier failure. No commit took place. You need to rollback this "
     "transaction."},
    {15444, "The filter timed out."},
    {15461, "The operation could not be completed in the allotted time."},
    {15465, "The session is not connected to a server engine."},
    {15488,
     "The cursor dictionaries are incompatible. Verify the correct field types, lengths, units, and decimal places "
     "have been specified."},
    {15489, "The cursors may not reference the same table for this operation."},
    {15490, "BLOB size exceeds maximum size."},
    {15491, "Sub-Engine is incompatible with the selected file header structure."},
    {15492, "Invalid segment number"},
    {15493, "Segment has been deleted"},
    {15494, "Maximum key size has been exceeded"},
    {15495, "Maximum record size has been exceeded"},
    {15496, "Temporary Storage: Invalid block number"},
    {15497, "Temporary Storage: Full"},
    {15498, "Incompatible stream"},
    {15499, "Unsupported dictionary descriptor"},
    {15500, "The data dictionary is read only"},
    {15501, "Duplicated autoinc field"},
    {15502, "Object is currently in use"},
    {15503, "Specified sub-engine is not supported"},
    {15504, "Specified file header access is not supported"},
    {15505, "Servername of the transport is not set"},
    {15506, "Duplicated RecRev field"},
    {15507, "A SIGNAL has been raised"},
    {15508, "The databases may not reference the same folder for this operation."},
    {15509, "Recovery failed."},
    {15511, "Index is not empty."},
    {15512, "Duplicated RefNr field"},
    {15513, "Duplicated LSN field"},
    {15521, "Unknown (unexpected exception object raised)"},
    {15522, "Message is unrecognized."},
    {15536, "No message is queued"},
};

TEST(ErrorTextTest, EveryCodeOfTheTableHasItsText) {
  for (const CodeText& entry : kCodeTexts) {
    EXPECT_EQ(u8(qdGetErrorText(entry.code)), entry.text) << "code " << entry.code;
  }
}

TEST(ErrorTextTest, NoCodeBeyondTheTableHasAText) {
  std::set<TqdResult> expected;
  for (const CodeText& entry : kCodeTexts) expected.insert(entry.code);
  const std::vector<TqdResult> codes = qdErrorCodesWithText();
  EXPECT_EQ(std::set<TqdResult>(codes.begin(), codes.end()), expected);
  EXPECT_EQ(codes.size(), expected.size());
}

TEST(ErrorTextTest, ComposedAndUnknownCodes) {
  const std::string unknown = "Unknown (server exception object has unknown error code)";
  const CodeText cases[] = {
      {8944, "Cache is invalid: Unknown (server exception object has unknown error code)"},
      {8945, "Cache is invalid: At beginning of table."},
      {8946, "Cache is invalid: At end of table."},
      {8950, "Cache is invalid: Could not find record."},
      {8952, "Cache is invalid: Could not find object."},
      {8959, "Cache is invalid: Unknown (server exception object has unknown error code)"},
      {4, unknown.c_str()},
      {8704, unknown.c_str()},
      {8943, unknown.c_str()},
      {8960, unknown.c_str()},
      {15520, unknown.c_str()},
      // The high half of a code is not ignored.
      {0x10000 + 9729, unknown.c_str()},
      {0xFFFFFFFF, unknown.c_str()},
  };
  for (const CodeText& entry : cases) {
    qdString text;
    qdGetErrorText(entry.code, text);
    EXPECT_EQ(u8(text), entry.text) << "code " << entry.code;
  }
}

// --- Message forms -----------------------------------------------------------

TEST_F(ExceptionTest, CodeAloneGivesTheCodeText) {
  EqdBaseException e(qdeKeyViol);
  EXPECT_EQ(u8(e.Message()), "QendoDB: Key violation. [$2601/9729]");
  EXPECT_STREQ(e.what(), "QendoDB: Key violation. [$2601/9729]");
  EXPECT_EQ(e.ErrorCode(), 9729u);
  EXPECT_TRUE(e.ErrorString().empty());
  EXPECT_FALSE(e.ExtendedMsg());
  EXPECT_EQ(u8(e.ProcessedErrorString()), "Key violation.");
  EXPECT_EQ(e.OSError(), 0u);
  EXPECT_TRUE(e.CustomInfos().Empty());
}

TEST_F(ExceptionTest, MessageForms) {
  struct Case {
    const char* name;
    EqdBaseException exception;
    const char* message;
    TqdResult code;
  };
  const Case cases[] = {
      {"code with text", EqdBaseException(qdeRecLocked, u"row held"), "QendoDB: row held [$2801/10241]", 10241},
      {"unknown code", EqdBaseException(4), "QendoDB: Unknown (server exception object has unknown error code) [$4/4]",
       4},
      {"composed code", EqdBaseException(8945), "QendoDB: Cache is invalid: At beginning of table. [$22F1/8945]", 8945},
      {"formatted text", EqdBaseException(qdeUnsupportedDescriptor, u"%s class is not supported: %s", {u"TFoo", "x"}),
       "QendoDB: TFoo class is not supported: x [$3C8B/15499]", 15499},
      {"no code", EqdBaseException(u"plain"), "QendoDB: plain [no error code]", 0},
      {"no code, formatted", EqdBaseException(u"n=%d", {42}), "QendoDB: n=42 [no error code]", 0},
      {"empty text without code", EqdBaseException(u""), "QendoDB: Success [no error code]", 0},
      {"empty text with code", EqdBaseException(qdeKeyViol, u""), "QendoDB: Key violation. [$2601/9729]", 9729},
      {"blank text", EqdBaseException(qdeKeyViol, u"  \t "), "QendoDB: Key violation. [$2601/9729]", 9729},
      // Only the low 32 bits of the code are kept.
      {"64-bit code", EqdBaseException(int64_t{0x100002601}), "QendoDB: Key violation. [$2601/9729]", 9729},
      {"largest code", EqdBaseException(int64_t{0xFFFFFFFF}),
       "QendoDB: Unknown (server exception object has unknown error code) [$FFFFFFFF/4294967295]", 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(u8(c.exception.Message()), c.message) << c.name;
    EXPECT_EQ(c.exception.ErrorCode(), c.code) << c.name;
  }
}

TEST_F(ExceptionTest, CallerTextIsExtended) {
  EqdBaseException e(qdeKeyViol, u"  Duplicate  ");
  EXPECT_TRUE(e.ExtendedMsg());
  EXPECT_EQ(u8(e.ErrorString()), "  Duplicate  ");
  EXPECT_EQ(u8(e.ProcessedErrorString()), "Duplicate");
  EXPECT_EQ(u8(e.Message()), "QendoDB: Duplicate [$2601/9729]");
}

TEST_F(ExceptionTest, OriginalMessageMarker) {
  struct Case {
    const char* text;
    const char* processed;
  };
  const Case cases[] = {
      {"Duplicate in <[!Org!]> index \"X\"", "Duplicate in Key violation. index \"X\""},
      {"Duplicate: <[!Org!]>", "Duplicate: Key violation."},
      {"<[!Org!]> in T1", "Key violation. in T1"},
      {"<[!Org!]>", "Key violation."},
      {"  <[!Org!]>  ", "Key violation."},
      // Only the first marker is replaced.
      {"<[!Org!]>/<[!Org!]>", "Key violation./<[!Org!]>"},
      // The older marker is not the current client's.
      {"a <[!\u00FEOrg\u00FE!> b", "a <[!\u00FEOrg\u00FE!> b"},
  };
  for (const Case& c : cases) {
    EqdBaseException e(qdeKeyViol, u16(c.text));
    EXPECT_EQ(u8(e.ProcessedErrorString()), c.processed) << c.text;
  }
}

TEST_F(ExceptionTest, MarkerAppendsAPointOnlyWhenMissing) {
  // The code's own text of 10050 has no closing point.
  EqdBaseException e(qdeInvalidFilterHandle, u"<[!Org!]> (filter 3)");
  EXPECT_EQ(u8(e.ProcessedErrorString()), "Filter handle is invalid. (filter 3)");
}

TEST_F(ExceptionTest, OlderClientsUseTheOlderMarker) {
  ClientVersionScope version(41199);
  EqdBaseException e(qdeKeyViol, u16("Duplicate in <[!\u00FEOrg\u00FE!> index"));
  EXPECT_EQ(u8(e.ProcessedErrorString()), "Duplicate in Key violation. index");
  EXPECT_EQ(u8(qdOriginalMessageMarker()), "<[!\u00FEOrg\u00FE!>");
  EXPECT_EQ(u8(qdEncodeCustomInfo(u"a", u"b")), "<[--!\u00FEa=b\u00FE!--]>");
}

TEST_F(ExceptionTest, MarkupFormsFollowTheClientVersion) {
  struct Case {
    int32_t version;
    const char* info;
    const char* marker;
  };
  const Case cases[] = {
      {47501, "<[--!Table=T1!--]>", "<[!Org!]>"},
      {41200, "<[--!Table=T1!--]>", "<[!Org!]>"},
      {41199, "<[--!\u00FETable=T1\u00FE!--]>", "<[!\u00FEOrg\u00FE!>"},
      {20000, "<[--!\u00FETable=T1\u00FE!--]>", "<[!\u00FEOrg\u00FE!>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(u8(qdEncodeCustomInfo(u"Table", u"T1", c.version)), c.info) << c.version;
    EXPECT_EQ(u8(qdOriginalMessageMarker(c.version)), c.marker) << c.version;
  }
  // 0 is the thread's version; a version above the newest counts as the newest.
  ClientVersionScope version(99999);
  EXPECT_EQ(u8(qdEncodeCustomInfo(u"a", u"b")), "<[--!a=b!--]>");
}

// --- Details markup ------------------------------------------------------------

TEST_F(ExceptionTest, DetailsAreParsedOutOfTheText) {
  struct Case {
    const char* name;
    const char* text;
    const char* errorString;
    std::vector<std::string> infos;
  };
  const Case cases[] = {
      {"one pair", "abc<[--!Table=T1!--]>def", "abcdef", {"Table=T1"}},
      {"older form", "abc<[--!\u00FETable=T1\u00FE!--]>def", "abcdef", {"Table=T1"}},
      {"both forms", "<[--!A=1!--]>x<[--!\u00FEB=2\u00FE!--]>", "x", {"B=2", "A=1"}},
      {"value with equals sign", "<[--!Filter=a=b!--]>", "", {"Filter=a=b"}},
      {"no equals sign", "a<[--!Lonely!--]>b", "ab", {}},
      {"empty value", "a<[--!Name=!--]>b", "ab", {}},
      {"empty name", "a<[--!=v!--]>b", "ab", {}},
      {"later pair replaces", "<[--!T=1!--]><[--!t=2!--]>", "", {"t=2"}},
      {"unclosed pair takes the rest", "abc<[--!Table=T1 and more", "abc", {"Table=T1 and more"}},
      {"stray closing marker first", "x!--]>y<[--!A=1!--]>z", "x!--]>yz", {"A=1"}},
      {"stray closing marker only", "x!--]>y", "x!--]>y", {}},
      {"stray older closing marker first", "x\u00FE!--]>y<[--!\u00FEA=1\u00FE!--]>z", "x\u00FE!--]>yz", {"A=1"}},
      {"stray closing then unclosed", "!--]>a<[--!B=2", "!--]>a", {"B=2"}},
      {"opening marker alone", "<[--!", "", {}},
      {"nested opening marker", "<[--!A=<[--!B=2!--]>!--]>", "!--]>", {"A=<[--!B=2"}},
  };
  for (const Case& c : cases) {
    EqdBaseException e(qdeKeyViol, u16(c.text));
    EXPECT_EQ(u8(e.ErrorString()), c.errorString) << c.name;
    std::vector<std::string> infos;
    for (int32_t i = 0; i < e.CustomInfos().Count(); ++i) infos.push_back(u8(e.CustomInfos().Strings(i)));
    EXPECT_EQ(infos, c.infos) << c.name;
  }
}

TEST_F(ExceptionTest, DetailsAreParsedWhateverTheClientVersion) {
  ClientVersionScope version(20000);
  EqdBaseException e(qdeKeyViol, u"abc<[--!Table=T1!--]>def");
  EXPECT_EQ(u8(e.ErrorString()), "abcdef");
  EXPECT_EQ(u8(e.CustomInfos().Values(u"Table")), "T1");
}

TEST_F(ExceptionTest, OSErrorDetailSetsOSError) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"<[--!OSError=13!--]>", 13}, {"<[--!OSError=4294967295!--]>", 4294967295u},
      {"<[--!OSError=abc!--]>", 0}, {"<[--!OSError=4294967296!--]>", 0},
      {"<[--!OSError=-1!--]>", 0},  {"<[--!Other=1!--]>", 0},
  };
  for (const auto& [text, osError] : cases) {
    EqdBaseException e(qdeOSError, u16(text));
    EXPECT_EQ(e.OSError(), osError) << text;
  }
}

TEST_F(ExceptionTest, CustomInfoNamesIgnoreCase) {
  EqdBaseException e(qdeKeyViol, u"<[--!Table=T1!--]>");
  EXPECT_EQ(u8(e.CustomInfos().Values(u"TABLE")), "T1");
  EXPECT_EQ(e.CustomInfos().IndexOfName(u"table"), 0);
  EXPECT_EQ(e.CustomInfos().IndexOfName(u"Tabl"), -1);
  EXPECT_THROW((void)e.CustomInfos().Strings(1), ERangeError);
  EXPECT_THROW((void)e.CustomInfos().Strings(-1), ERangeError);
}

// --- Trailing blank lines --------------------------------------------------------

TEST(TrimTrailingBlankLinesTest, Cases) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"one", "one"},
      {"one  \t", "one"},
      {"  one", "  one"},
      {"one\r\n", "one"},
      {"one\r\n  \r\n\r\n", "one"},
      {" \r\n \n", ""},
      {"a\r\nb", "a\r\nb\r\n\r\n"},
      {"a\nb\n\n \n", "a\r\nb\r\n\r\n"},
      {"a\rb", "a\r\nb\r\n\r\n"},
      {"a \r\n\r\nb  \r\n", "a \r\n\r\nb  \r\n\r\n"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(u8(qdTrimTrailingBlankLines(u16(text))), expected) << text;
  }
}

TEST_F(ExceptionTest, MultiLineTextEndsInAnEmptyLineBeforeTheCode) {
  EqdBaseException e(qdeKeyViol, u"first\r\nsecond\r\n\r\n   \r\n");
  EXPECT_EQ(u8(e.Message()), "QendoDB: first\r\nsecond\r\n\r\n [$2601/9729]");
  EqdBaseException single(qdeKeyViol, u"only\r\n\r\n");
  EXPECT_EQ(u8(single.Message()), "QendoDB: only [$2601/9729]");
}

// --- The thread's pending message ----------------------------------------------------

TEST_F(ExceptionTest, PendingMessageReachesTheNextExceptionOfItsCode) {
  EXPECT_EQ(EqdBaseException::qdSetMessage(qdeRecLocked, u"row held elsewhere"), qdeRecLocked);
  EqdBaseException first(qdeRecLocked);
  EXPECT_EQ(u8(first.ErrorString()), "row held elsewhere");
  EXPECT_TRUE(first.ExtendedMsg());
  EXPECT_EQ(u8(first.Message()), "QendoDB: row held elsewhere [$2801/10241]");
  EqdBaseException second(qdeRecLocked);
  EXPECT_EQ(u8(second.Message()), "QendoDB: Record locked by another user. [$2801/10241]");
  EXPECT_FALSE(second.ExtendedMsg());
  // The code stays; only the message is cleared.
  EXPECT_EQ(Pending(), std::make_pair(uint32_t{qdeRecLocked}, std::string()));
}

TEST_F(ExceptionTest, PendingMessageCarriesDetails) {
  (void)EqdBaseException::qdSetMessage(qdeKeyViol, u"Duplicate %s in <[!Org!]><[--!Table=%s!--]>", {u"key", u"T1"});
  EqdBaseException e(qdeKeyViol);
  EXPECT_EQ(u8(e.ProcessedErrorString()), "Duplicate key in Key violation.");
  EXPECT_EQ(u8(e.CustomInfos().Values(u"Table")), "T1");
}

TEST_F(ExceptionTest, EveryConstructorClearsThePendingMessage) {
  struct Case {
    const char* name;
    void (*make)();
  };
  const Case cases[] = {
      {"other code", [] { EqdBaseException e(qdeKeyViol); }},
      {"code and text", [] { EqdBaseException e(qdeRecLocked, u"x"); }},
      {"code and format", [] { EqdBaseException e(qdeRecLocked, u"%d", {1}); }},
      {"no code", [] { EqdBaseException e(u"x"); }},
      {"no code, format", [] { EqdBaseException e(u"%d", {1}); }},
      {"OS error", [] { (void)qdCreateOSErrorText(0, u"x"); }},
  };
  for (const Case& c : cases) {
    (void)EqdBaseException::qdSetMessage(qdeRecLocked, u"row held elsewhere");
    c.make();
    EXPECT_EQ(u8(EqdBaseException(qdeRecLocked).ErrorString()), "") << c.name;
  }
}

TEST_F(ExceptionTest, PendingMessageBelongsToItsThread) {
  (void)EqdBaseException::qdSetMessage(qdeRecLocked, u"row held elsewhere");
  std::string otherThread;
  std::thread([&] { otherThread = u8(EqdBaseException(qdeRecLocked).ProcessedErrorString()); }).join();
  EXPECT_EQ(otherThread, "Record locked by another user.");
  EXPECT_EQ(u8(EqdBaseException(qdeRecLocked).ProcessedErrorString()), "row held elsewhere");
}

TEST_F(ExceptionTest, RaiseIfError) {
  EXPECT_NO_THROW(qdRaiseIfError(0));
  try {
    qdRaiseIfError(qdeTableFull);
    FAIL() << "no exception";
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), qdeTableFull);
  }
}

QD_DECLARE_EXCEPTION_CLASS(EqdTestException, EqdBaseException);
QD_DECLARE_EXCEPTION_CLASS(EqdTestChildException, EqdTestException);

TEST_F(ExceptionTest, DescendantsShareTheConstructors) {
  try {
    throw EqdTestChildException(qdeKeyViol, u"in %s", {u"T1"});
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(u8(e.Message()), "QendoDB: in T1 [$2601/9729]");
    EXPECT_NE(dynamic_cast<const EqdTestException*>(&e), nullptr);
  }
}

// --- Corruption errors --------------------------------------------------------------

TEST_F(ExceptionTest, CorruptionErrorsRecordWhereTheyWereRaised) {
  const int line = __LINE__ + 2;
  try {
    qdRaiseCorrupt<EqdTestException>(qdeFileCorrupt, u"block 7");
  } catch (const EqdTestException& e) {
    EXPECT_EQ(u8(e.Message()), "QendoDB: block 7 [$2302/8962]");
    ASSERT_NE(e.SourceFile(), nullptr);
    EXPECT_NE(std::string(e.SourceFile()).find("qdllExceptionTest.cpp"), std::string::npos);
    EXPECT_EQ(e.SourceLine(), line);
    const std::string what = e.what();
    EXPECT_EQ(what.rfind("QendoDB: block 7 [$2302/8962] (raised at ", 0), 0u) << what;
    EXPECT_NE(what.find(":" + std::to_string(line) + ")"), std::string::npos) << what;
    // A copy, as the run-time makes when it keeps an exception, says the same.
    const EqdTestException copy = e;
    EXPECT_STREQ(copy.what(), e.what());
  }
  try {
    qdRaiseCorrupt(qdeIndexCorrupt);
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(u8(e.Message()), "QendoDB: Corrupt index. [$2305/8965]");
    EXPECT_NE(e.SourceFile(), nullptr);
  }
}

// --- Operating-system errors ----------------------------------------------------------

TEST_F(ExceptionTest, OSErrorTexts) {
  struct Case {
    const char* name;
    int osError;
    const char* module;
    const char* action;
    TqdResult code;
    const char* message;
  };
  const Case cases[] = {
      {"action", ENOENT, "", "open t.dat", 0,
       "QendoDB: Operating system error in open t.dat: No such file or directory ($2/2) [$2B27/11047]"},
      {"no action", EACCES, "", "", 0, "QendoDB: Operating system error: Permission denied ($D/13) [$2B27/11047]"},
      {"own code", ENOSPC, "", "write", qdeWriteErr,
       "QendoDB: Operating system error in write: No space left on device ($1C/28) [$2402/9218]"},
      {"no OS error, action", 0, "", "close", 0, "QendoDB: A call to an OS function failed in close [$2B27/11047]"},
      {"no OS error, no action", 0, "", "", 0, "QendoDB: A call to an OS function failed. [$2B27/11047]"},
      {"details in the action", ENOENT, "", "open<[--!File=t.dat!--]>", 0,
       "QendoDB: Operating system error in open: No such file or directory ($2/2) [$2B27/11047]"},
      {"module", ENOENT, "libfoo.so", "load", 0,
       "QendoDB: Operating system error in load: No such file or directory ($2/2) [$2B27/11047]"},
  };
  for (const Case& c : cases) {
    errno = c.osError;
    const EqdBaseException e = qdCreateOSError(c.code, u16(c.module), u16(c.action));
    EXPECT_EQ(u8(e.Message()), c.message) << c.name;
    EXPECT_EQ(e.OSError(), static_cast<uint32_t>(c.osError)) << c.name;
    EXPECT_EQ(u8(e.CustomInfos().Values(u"OSError")), std::to_string(c.osError)) << c.name;
    EXPECT_EQ(u8(e.CustomInfos().Values(u"Action")), c.action) << c.name;
    EXPECT_EQ(u8(e.CustomInfos().Values(u"Module")), c.osError != 0 ? c.module : "") << c.name;
  }
  errno = ENOENT;
  EXPECT_EQ(u8(qdCreateOSError(0, u"", u"open<[--!File=t.dat!--]>").CustomInfos().Values(u"File")), "t.dat");
}

TEST_F(ExceptionTest, OSErrorVariants) {
  errno = ENOENT;
  const EqdTestException formatted = qdCreateOSErrorFmt<EqdTestException>(0, u"m", u"open %s", {u"a.dat"});
  EXPECT_EQ(u8(formatted.CustomInfos().Values(u"Action")), "open a.dat");
  EXPECT_EQ(u8(formatted.CustomInfos().Values(u"Module")), "m");
  errno = ENOENT;
  // Without arguments the format text is the action as it stands.
  EXPECT_EQ(u8(qdCreateOSErrorResFmt(0, u"100%", {}).CustomInfos().Values(u"Action")), "100%");
  errno = ENOENT;
  EXPECT_EQ(u8(qdCreateOSErrorRes(qdeReadErr, u"read").Message()),
            "QendoDB: Operating system error in read: No such file or directory ($2/2) [$2401/9217]");

  errno = EBADF;
  try {
    qdRaiseLastOSError(u"fsync");
    FAIL() << "no exception";
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), qdeOSError);
    EXPECT_EQ(e.OSError(), static_cast<uint32_t>(EBADF));
  }
  errno = EIO;
  try {
    qdRaiseLastOSErrorUnknown();
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(u8(e.CustomInfos().Values(u"Action")), "[unknown]");
    EXPECT_EQ(e.ErrorCode(), qdeOSError);
  }
  EXPECT_TRUE(qdCheckOSCallText(true, u"x"));
  EXPECT_TRUE(qdCheckOSCallRes(true, u"x"));
  errno = EIO;
  EXPECT_THROW((void)qdCheckOSCallText(false, u"x"), EqdBaseException);
  errno = EIO;
  EXPECT_THROW((void)qdCheckOSCallRes(false, u"x"), EqdBaseException);
}

// --- Conversion ---------------------------------------------------------------------

struct EFoo : std::exception {
  const char* what() const noexcept override { return "boom"; }
};

TEST_F(ExceptionTest, ForeignExceptionConvertsToUnexpectedException) {
  EXPECT_EQ(qdConvertException(EFoo()), qdeUnexpectedException);
  EXPECT_EQ(Pending(), std::make_pair(uint32_t{15521},
                                      std::string("Unexpected exception object raised: [EFoo] boom"
                                                  "<[--!Exception.Class=EFoo!--]><[--!Exception.Message=boom!--]>")));
  EqdBaseException raised(qdeUnexpectedException);
  EXPECT_EQ(u8(raised.ErrorString()), "Unexpected exception object raised: [EFoo] boom");
  EXPECT_EQ(u8(raised.CustomInfos().Values(u"Exception.Class")), "EFoo");
  EXPECT_EQ(u8(raised.CustomInfos().Values(u"Exception.Message")), "boom");
}

TEST_F(ExceptionTest, ConversionOfOtherExceptions) {
  struct Case {
    const char* name;
    std::exception_ptr exception;
    TqdResult code;
    const char* message;
  };
  const Case cases[] = {
      {"engine exception, code 0", std::make_exception_ptr(EqdBaseException(u"no code")), qdeUnknownErrorCode,
       "QendoDB: no code [no error code]"},
      {"engine exception, code alone", std::make_exception_ptr(EqdBaseException(qdeKeyViol)), qdeKeyViol, ""},
      {"engine exception with details",
       std::make_exception_ptr(EqdBaseException(qdeKeyViol, u"dup<[--!Table=T1!--]><[--!Index=I!--]>")), qdeKeyViol,
       "dup<[--!Table=T1!--]><[--!Index=I!--]>"},
      {"look-alike class", std::make_exception_ptr(EConvertError(u"'x' is not a number")), qdeUnexpectedException,
       "Unexpected exception object raised: [EConvertError] 'x' is not a number"
       "<[--!Exception.Class=EConvertError!--]><[--!Exception.Message='x' is not a number!--]>"},
      {"OS error", std::make_exception_ptr(EOSError(5, u"I/O error")), qdeOSError,
       "I/O error<[--!OSError=5!--]><[--!Exception.Class=EOSError!--]><[--!Exception.Message=I/O error!--]>"},
      {"out of memory", std::make_exception_ptr(std::bad_alloc()), qdeNoMemory, ""},
      {"standard library class", std::make_exception_ptr(std::runtime_error("bad")), qdeUnexpectedException,
       "Unexpected exception object raised: [std::runtime_error] bad"
       "<[--!Exception.Class=std::runtime_error!--]><[--!Exception.Message=bad!--]>"},
      {"not an exception class", std::make_exception_ptr(42), qdeUnexpectedException,
       "Unexpected exception object raised: [int] <[--!Exception.Class=int!--]><[--!Exception.Message=!--]>"},
  };
  for (const Case& c : cases) {
    EqdBaseException::SetLastConvertedException(0, u"stale");
    EXPECT_EQ(qdConvertException(c.exception), c.code) << c.name;
    EXPECT_EQ(Pending(), std::make_pair(uint32_t{c.code}, std::string(c.message))) << c.name;
  }
}

TEST_F(ExceptionTest, ConvertedEngineExceptionIsRebuiltFromItsCode) {
  try {
    throw EqdBaseException(qdeKeyViol, u"Duplicate in <[!Org!]> T1<[--!Table=T1!--]>");
  } catch (const std::exception& e) {
    const TqdResult code = qdConvertException(e);
    EqdBaseException rebuilt(code);
    EXPECT_EQ(u8(rebuilt.Message()), "QendoDB: Duplicate in Key violation. T1 [$2601/9729]");
    EXPECT_EQ(u8(rebuilt.CustomInfos().Values(u"Table")), "T1");
  }
}

TEST_F(ExceptionTest, ConversionForAnOlderClientUsesTheOlderMarkup) {
  const TqdResult code =
      qdConvertException(EqdBaseException(qdeLockConflict, u"held<[--!Table=T1!--]>"), nullptr, nullptr, 41199);
  EXPECT_EQ(code, qdeLockConflict);
  EXPECT_EQ(Pending().second, "held<[--!\u00FETable=T1\u00FE!--]>");
  (void)qdConvertException(EFoo(), nullptr, nullptr, 41199);
  EXPECT_EQ(Pending().second,
            "Unexpected exception object raised: [EFoo] boom"
            "<[--!\u00FEException.Class=EFoo\u00FE!--]><[--!\u00FEException.Message=boom\u00FE!--]>");
  // The thread's own version decides when none is given.
  ClientVersionScope version(41199);
  (void)qdConvertException(EqdBaseException(qdeLockConflict, u"held<[--!Table=T1!--]>"));
  EXPECT_EQ(Pending().second, "held<[--!\u00FETable=T1\u00FE!--]>");
}

TEST(ConvertedExceptionLogPriorityTest, ByCategory) {
  const std::pair<TqdResult, TqdLogPriority> cases[] = {
      {qdeOSError, lpFatal},
      {qdeNoServerEngine, lpFatal},
      {qdeFileCorrupt, lpError},
      {qdeIncompatibleServer, lpError},
      {qdeRecLocked, lpInfo},
      {qdeDeadlock, lpInfo},
      {qdeTimeout, lpInfo},
      {qdeSignal, lpInfo},
      {qdeUnknownErrorCode, lpError},
      {qdeUnexpectedException, lpError},
      {qdeMessageUnrecognized, lpError},
      {qdeNoMessageQueued, lpWarn},
      {qdeIncompatibleStream, lpWarn},
      {qdeKeyViol, lpWarn},
      {qdeNoMemory, lpWarn},
      {0, lpWarn},
  };
  for (const auto& [code, priority] : cases) {
    EXPECT_EQ(qdConvertedExceptionLogPriority(code), priority) << code;
  }
}

// --- Seams to the log and to typed exception data -----------------------------------

struct LoggedEntry {
  TqdBaseLog* log;
  std::string text;
  TqdResult code;
  TqdLogPriority priority;
};
std::vector<LoggedEntry> loggedEntries;

void recordLogEntry(TqdBaseLog* aLog, const qdString& aText, TqdResult aErrorCode, TqdLogPriority aPriority) {
  loggedEntries.push_back({aLog, u8(aText), aErrorCode, aPriority});
}

// A stand-in for the typed exception data: a named list of name=value pairs
// whose encoded form is "C:" followed by the pairs.
struct FakeContainer {
  int references = 1;
  std::string name;
  std::vector<std::string> values;
};
int liveContainers = 0;

FakeContainer* fake(IqdExceptionDataContainer* aContainer) { return reinterpret_cast<FakeContainer*>(aContainer); }
IqdExceptionDataContainer* opaque(FakeContainer* aContainer) {
  return reinterpret_cast<IqdExceptionDataContainer*>(aContainer);
}

struct FakeSource {
  std::vector<std::string> values;
};

const TqdExceptionDataServices kFakeServices = {
    [](const qdString& aName) {
      ++liveContainers;
      return opaque(new FakeContainer{1, u8(aName), {}});
    },
    [](const qdString& aText) -> IqdExceptionDataContainer* {
      const std::string text = u8(aText);
      if (text == "broken") throw EqdBaseException(qdeIncompatibleStream);
      if (text.rfind("C:", 0) != 0) return nullptr;
      ++liveContainers;
      return opaque(new FakeContainer{1, "ExceptionData", {text.substr(2)}});
    },
    [](IqdExceptionDataContainer* aContainer) { ++fake(aContainer)->references; },
    [](IqdExceptionDataContainer* aContainer) {
      if (--fake(aContainer)->references == 0) {
        --liveContainers;
        delete fake(aContainer);
      }
    },
    [](IqdExceptionData* aSource, IqdExceptionDataContainer* aContainer) {
      for (const std::string& value : reinterpret_cast<FakeSource*>(aSource)->values) {
        fake(aContainer)->values.push_back(value);
      }
    },
    [](IqdExceptionDataContainer* aContainer) { return static_cast<int32_t>(fake(aContainer)->values.size()); },
    [](IqdExceptionDataContainer* aContainer, int32_t) {
      std::string text = "C:";
      for (const std::string& value : fake(aContainer)->values) text += value;
      return u16(text);
    },
    [](IqdExceptionDataContainer* aContainer) {
      std::string text = fake(aContainer)->name + ":\r\n";
      for (const std::string& value : fake(aContainer)->values) text += "  " + value + "\r\n";
      return u16(text);
    },
};

class ExceptionSeamTest : public ExceptionTest {
 protected:
  void SetUp() override {
    ExceptionTest::SetUp();
    loggedEntries.clear();
    qdSetExceptionDataServices(&kFakeServices);
    qdSetConvertedExceptionLogWriter(&recordLogEntry);
  }
  void TearDown() override {
    qdSetExceptionDataServices(nullptr);
    qdSetConvertedExceptionLogWriter(nullptr);
    EXPECT_EQ(liveContainers, 0) << "exception data leaked";
    ExceptionTest::TearDown();
  }

  int logObject = 0;
  TqdBaseLog* Log() { return reinterpret_cast<TqdBaseLog*>(&logObject); }
};

TEST_F(ExceptionSeamTest, ConversionIsLoggedWithItsPriority) {
  EXPECT_EQ(qdConvertException(EqdBaseException(qdeRecLocked, u"held"), Log()), qdeRecLocked);
  EXPECT_EQ(qdConvertException(EFoo(), Log()), qdeUnexpectedException);
  EXPECT_EQ(qdConvertException(EFoo()), qdeUnexpectedException);  // no log given
  ASSERT_EQ(loggedEntries.size(), 2u);
  EXPECT_EQ(loggedEntries[0].log, Log());
  EXPECT_EQ(loggedEntries[0].text, "Exception Cvt: QendoDB: held [$2801/10241]");
  EXPECT_EQ(loggedEntries[0].code, qdeRecLocked);
  EXPECT_EQ(loggedEntries[0].priority, lpInfo);
  EXPECT_EQ(loggedEntries[1].text, "Exception Cvt: boom");
  EXPECT_EQ(loggedEntries[1].priority, lpError);
}

TEST_F(ExceptionSeamTest, LogOfACorruptionErrorNamesWhereItWasRaised) {
  try {
    qdRaiseCorrupt(qdeHeaderCorrupt);
  } catch (const std::exception& e) {
    (void)qdConvertException(e, Log());
  }
  ASSERT_EQ(loggedEntries.size(), 1u);
  EXPECT_EQ(
      loggedEntries[0].text.rfind("Exception Cvt: QendoDB: Corrupt table/index header. [$2301/8961] (raised at ", 0),
      0u)
      << loggedEntries[0].text;
  EXPECT_EQ(loggedEntries[0].priority, lpError);
}

TEST_F(ExceptionSeamTest, DataSourceDescribesItselfIntoTheMessage) {
  FakeSource source{{"Table=T1"}};
  IqdExceptionData* dataSource = reinterpret_cast<IqdExceptionData*>(&source);
  // A code-only exception has no message of its own: the marker stands in.
  EXPECT_EQ(qdConvertException(EqdBaseException(qdeRecLocked), Log(), dataSource), qdeRecLocked);
  EXPECT_EQ(Pending().second, "<[!Org!]><[--!$ExceptionData$=C:Table=T1!--]>");
  ASSERT_EQ(loggedEntries.size(), 1u);
  EXPECT_EQ(loggedEntries[0].text,
            "Exception Cvt: QendoDB: Record locked by another user. [$2801/10241]\r\nExceptionData:\r\n  Table=T1\r\n");

  // The exception rebuilt from the code has the data back and no detail left.
  EqdBaseException rebuilt(qdeRecLocked);
  EXPECT_EQ(u8(rebuilt.ProcessedErrorString()), "Record locked by another user.");
  EXPECT_TRUE(rebuilt.CustomInfos().Empty());
  ASSERT_NE(rebuilt.GetExceptionData(), nullptr);
  EXPECT_EQ(fake(rebuilt.GetExceptionData())->values, std::vector<std::string>{"Table=T1"});

  // A source with nothing to say adds nothing.
  FakeSource silent;
  (void)qdConvertException(EqdBaseException(qdeRecLocked), nullptr, reinterpret_cast<IqdExceptionData*>(&silent));
  EXPECT_EQ(Pending().second, "");
  // Older clients get the older marker.
  (void)qdConvertException(EqdBaseException(qdeRecLocked), nullptr, dataSource, 41199);
  EXPECT_EQ(Pending().second, "<[!\u00FEOrg\u00FE!><[--!\u00FE$ExceptionData$=C:Table=T1\u00FE!--]>");
}

TEST_F(ExceptionSeamTest, ExceptionDataDetail) {
  struct Case {
    const char* name;
    const char* text;
    bool hasData;
    const char* remainingDetail;
  };
  const Case cases[] = {
      {"container", "x<[--!$ExceptionData$=C:Lock=1!--]>", true, ""},
      {"not a container", "x<[--!$ExceptionData$=S:1!--]>", false, ""},
  };
  for (const Case& c : cases) {
    EqdBaseException e(qdeRecLocked, u16(c.text));
    EXPECT_EQ(u8(e.ErrorString()), "x") << c.name;
    EXPECT_EQ(u8(e.CustomInfos().Values(u"$ExceptionData$")), c.remainingDetail) << c.name;
    if (c.hasData) {
      ASSERT_NE(e.GetExceptionData(), nullptr) << c.name;
      EXPECT_EQ(fake(e.GetExceptionData())->values, std::vector<std::string>{"Lock=1"}) << c.name;
      // Copies share the data; the fixture checks that it is freed.
      const EqdBaseException copy = e;
      EXPECT_EQ(const_cast<EqdBaseException&>(copy).GetExceptionData(), e.GetExceptionData());
    } else {
      // Made empty on first request.
      ASSERT_NE(e.GetExceptionData(), nullptr) << c.name;
      EXPECT_EQ(fake(e.GetExceptionData())->name, "ExceptionData");
      EXPECT_TRUE(fake(e.GetExceptionData())->values.empty());
    }
  }
  // An undecodable detail fails the construction.
  EXPECT_THROW(EqdBaseException(qdeRecLocked, u"<[--!$ExceptionData$=broken!--]>"), EqdBaseException);
}

TEST_F(ExceptionTest, WithoutDataServicesTheDetailStaysText) {
  // The exception data unit installs its services at start-up.
  const TqdExceptionDataServices* installed = qdGetExceptionDataServices();
  qdSetExceptionDataServices(nullptr);
  EqdBaseException e(qdeRecLocked, u"x<[--!$ExceptionData$=C:Lock=1!--]>");
  EXPECT_EQ(u8(e.CustomInfos().Values(u"$ExceptionData$")), "C:Lock=1");
  EXPECT_EQ(e.GetExceptionData(), nullptr);
  qdSetExceptionDataServices(installed);
}

// --- Per-thread state -------------------------------------------------------------

TEST(ThreadStateTest, ErrorContextIsKeptOnlyWhileTheSwitchIsOn) {
  int contextObject = 0;
  auto* context = reinterpret_cast<TqdExceptionHookInfo*>(&contextObject);
  qdSetThreadErrorContext(context);
  EXPECT_EQ(qdGetThreadErrorContext(), nullptr);
  qdSetThreadErrorContextSwitch(true);
  qdSetThreadErrorContext(context);
  EXPECT_EQ(qdGetThreadErrorContext(), context);
  TqdExceptionHookInfo* otherThread = context;
  std::thread([&] { otherThread = qdGetThreadErrorContext(); }).join();
  EXPECT_EQ(otherThread, nullptr);
  qdSetThreadErrorContext(nullptr);
  qdSetThreadErrorContextSwitch(false);
  EXPECT_EQ(qdGetThreadErrorContext(), nullptr);
}

TEST(ThreadStateTest, MainThreadFlag) {
  // The test binaries start the engine on the process's main thread.
  EXPECT_TRUE(qdIsMainThread());
  bool otherThread = true;
  std::thread([&] { otherThread = qdIsMainThread(); }).join();
  EXPECT_FALSE(otherThread);
}

}  // namespace
}  // namespace qd
