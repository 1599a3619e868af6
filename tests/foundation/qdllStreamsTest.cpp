#include "foundation/qdllStreams.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "support/qdTestFolder.h"

namespace qd {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes contents(TqdCustomMemoryStream& aStream) {
  return Bytes(aStream.ByteArray(), aStream.ByteArray() + aStream.Size());
}

// What a writer puts into a fresh stream.
Bytes written(const std::function<void(TqdWriter&)>& aWrite) {
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    aWrite(writer);
  }
  return contents(stream);
}

Bytes concat(Bytes aHead, const Bytes& aTail) {
  aHead.insert(aHead.end(), aTail.begin(), aTail.end());
  return aHead;
}

Bytes repeated(uint8_t aByte, size_t aCount) { return Bytes(aCount, aByte); }

// --- Writer encodings, byte for byte -------------------------------------------

struct EncodingCase {
  const char* name;
  std::function<void(TqdWriter&)> write;
  Bytes expected;
};

void PrintTo(const EncodingCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

class FilerEncodingTest : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(FilerEncodingTest, WritesTheStatedBytes) { EXPECT_EQ(written(GetParam().write), GetParam().expected); }

const EncodingCase kEncodings[] = {
    {"Int127", [](TqdWriter& w) { w.WriteInteger(127); }, {2, 0x7F}},
    {"IntMinus128", [](TqdWriter& w) { w.WriteInteger(-128); }, {2, 0x80}},
    {"IntMinus1", [](TqdWriter& w) { w.WriteInteger(-1); }, {2, 0xFF}},
    {"Int128", [](TqdWriter& w) { w.WriteInteger(128); }, {3, 0x80, 0x00}},
    {"IntMinus129", [](TqdWriter& w) { w.WriteInteger(-129); }, {3, 0x7F, 0xFF}},
    {"Int32767", [](TqdWriter& w) { w.WriteInteger(32767); }, {3, 0xFF, 0x7F}},
    {"Int32768", [](TqdWriter& w) { w.WriteInteger(32768); }, {4, 0x00, 0x80, 0x00, 0x00}},
    {"IntMinus32769", [](TqdWriter& w) { w.WriteInteger(-32769); }, {4, 0xFF, 0x7F, 0xFF, 0xFF}},
    {"Int64Small", [](TqdWriter& w) { w.WriteInteger(int64_t{-1}); }, {2, 0xFF}},
    {"Int64Of32Bit", [](TqdWriter& w) { w.WriteInteger(int64_t{2147483647}); }, {4, 0xFF, 0xFF, 0xFF, 0x7F}},
    {"Int64Big",
     [](TqdWriter& w) { w.WriteInteger(int64_t{2147483648}); },
     {19, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00}},
    {"Int64BigNegative",
     [](TqdWriter& w) { w.WriteInteger(int64_t{-2147483649}); },
     {19, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"True", [](TqdWriter& w) { w.WriteBoolean(true); }, {9}},
    {"False", [](TqdWriter& w) { w.WriteBoolean(false); }, {8}},
    {"EmptyString", [](TqdWriter& w) { w.WriteString(u""); }, {18, 0, 0, 0, 0}},
    {"Ascii", [](TqdWriter& w) { w.WriteString(u"abc"); }, {6, 3, 'a', 'b', 'c'}},
    {"Ascii255", [](TqdWriter& w) { w.WriteString(qdString(255, u'a')); }, concat({6, 255}, repeated('a', 255))},
    {"Ascii300", [](TqdWriter& w) { w.WriteString(qdString(300, u'a')); },
     concat({12, 0x2C, 1, 0, 0}, repeated('a', 300))},
    // One 'é': two bytes of UTF-8 are not shorter than one UTF-16 unit.
    {"EAcute", [](TqdWriter& w) { w.WriteString(u"é"); }, {18, 1, 0, 0, 0, 0xE9, 0x00}},
    {"Cafe", [](TqdWriter& w) { w.WriteString(u"café"); }, {20, 5, 0, 0, 0, 'c', 'a', 'f', 0xC3, 0xA9}},
    {"Kanji", [](TqdWriter& w) { w.WriteString(u"日本語"); }, {18, 3, 0, 0, 0, 0xE5, 0x65, 0x2C, 0x67, 0x9E, 0x8A}},
    // UTF-8 cannot carry a lone surrogate, so such text stays UTF-16.
    {"LoneSurrogate",
     [](TqdWriter& w) { w.WriteString(u"abcd\xD800"); },
     {18, 5, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0, 'd', 0, 0x00, 0xD8}},
    {"WideString", [](TqdWriter& w) { w.WriteWideString(u"ab"); }, {6, 2, 'a', 'b'}},
    {"WideStringUnderscore", [](TqdWriter& w) { w.WriteWideString_(u"ab"); }, {18, 2, 0, 0, 0, 'a', 0, 'b', 0}},
    {"AnsiEmpty", [](TqdWriter& w) { w.WriteAnsiString(""); }, {6, 0}},
    {"AnsiBytes", [](TqdWriter& w) { w.WriteAnsiString("\x82\xA0"); }, {6, 2, 0x82, 0xA0}},
    {"AnsiLong", [](TqdWriter& w) { w.WriteAnsiString(std::string(256, 'x')); },
     concat({12, 0, 1, 0, 0}, repeated('x', 256))},
    {"AnsiChar", [](TqdWriter& w) { w.WriteAnsiChar('x'); }, {6, 1, 'x'}},
    {"IdentTrue", [](TqdWriter& w) { w.WriteIdent(u"true"); }, {9}},
    {"IdentFalse", [](TqdWriter& w) { w.WriteIdent(u"FALSE"); }, {8}},
    {"IdentNull", [](TqdWriter& w) { w.WriteIdent(u"null"); }, {0}},
    {"IdentNil", [](TqdWriter& w) { w.WriteIdent(u"NIL"); }, {13}},
    {"IdentName", [](TqdWriter& w) { w.WriteIdent(u"EDV"); }, {7, 3, 'E', 'D', 'V'}},
    {"IdentUtf8", [](TqdWriter& w) { w.WriteIdent(u"名"); }, {7, 3, 0xE5, 0x90, 0x8D}},
    {"List",
     [](TqdWriter& w) {
       w.WriteListBegin();
       w.WriteInteger(1);
       w.WriteListEnd();
     },
     {1, 2, 1, 0}},
    {"Binary", [](TqdWriter& w) { w.WriteBinary("\x01\x02\x03", 3); }, {10, 3, 0, 0, 0, 1, 2, 3}},
    {"BytesEmpty", [](TqdWriter& w) { w.WriteBytes({}); }, {10, 0, 0, 0, 0}},
    {"Raw", [](TqdWriter& w) { w.Write("\xAA\xBB", 2); }, {0xAA, 0xBB}},
    {"Value", [](TqdWriter& w) { w.WriteValue(vaCollection); }, {14}},
    {"FloatOne", [](TqdWriter& w) { w.WriteFloat(1.0); }, {5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}},
    {"FloatMinusTwo", [](TqdWriter& w) { w.WriteFloat(-2.0); }, {5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0xC0}},
    {"Guid",
     [](TqdWriter& w) {
       w.WriteGuid(TGUID{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}});
     },
     {10, 16, 0, 0, 0, 4, 3, 2, 1, 6, 5, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16}},
    {"Strings",
     [](TqdWriter& w) {
       TqdStringList list;
       list.Add(u"a");
       list.Add(u"あ");
       w.WriteStrings(list);
     },
     {1, 6, 1, 'a', 18, 1, 0, 0, 0, 0x42, 0x30, 0}},
    {"WideStrings",
     [](TqdWriter& w) {
       TqdStringList list;
       list.Add(u"a");
       w.WriteWideStrings(list);
     },
     {1, 18, 1, 0, 0, 0, 'a', 0, 0}},
    {"AnsiStrings",
     [](TqdWriter& w) {
       TqdStringList list;
       list.Add(u"a");
       list.Add(u"あ");
       w.WriteAnsiStrings(list);
     },
     {1, 6, 1, 'a', 6, 2, 0x82, 0xA0, 0}},
    {"VariantEmpty", [](TqdWriter& w) { w.WriteVariant(TqdVariant()); }, {13}},
    {"VariantNull", [](TqdWriter& w) { w.WriteVariant(TqdVariant::Null()); }, {0}},
    {"VariantShortInt", [](TqdWriter& w) { w.WriteVariant(TqdVariant(int8_t{-1})); }, {2, 0xFF}},
    {"VariantWord", [](TqdWriter& w) { w.WriteVariant(TqdVariant(uint16_t{40000})); }, {4, 0x40, 0x9C, 0, 0}},
    {"VariantLongWord",
     [](TqdWriter& w) { w.WriteVariant(TqdVariant(uint32_t{0xFFFFFFFF})); },
     {19, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}},
    {"VariantInt64Small", [](TqdWriter& w) { w.WriteVariant(TqdVariant(int64_t{300})); }, {3, 0x2C, 1}},
    {"VariantSingle", [](TqdWriter& w) { w.WriteVariant(TqdVariant(1.5f)); }, {15, 0, 0, 0xC0, 0x3F}},
    {"VariantDouble",
     [](TqdWriter& w) { w.WriteVariant(TqdVariant(1.0)); },
     {5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}},
    {"VariantCurrency",
     [](TqdWriter& w) { w.WriteVariant(TqdVariant(TqdCurrency::FromRaw(123457))); },
     {16, 0x41, 0xE2, 0x01, 0, 0, 0, 0, 0}},
    {"VariantDate",
     [](TqdWriter& w) { w.WriteVariant(TqdVariant::FromDate(1.5)); },
     {17, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},
    {"VariantBoolean", [](TqdWriter& w) { w.WriteVariant(TqdVariant(true)); }, {9}},
    {"VariantString", [](TqdWriter& w) { w.WriteVariant(TqdVariant(u"abc")); }, {6, 3, 'a', 'b', 'c'}},
    // Single-byte text is decoded from the process code page first.
    {"VariantAnsi",
     [](TqdWriter& w) { w.WriteVariant(TqdVariant::FromAnsi("\x82\xA0")); },
     {18, 1, 0, 0, 0, 0x42, 0x30}},
    {"VariantUInt64AsText", [](TqdWriter& w) { w.WriteVariant(TqdVariant(uint64_t{18446744073709551615u})); },
     concat({6, 20},
            Bytes{'1', '8', '4', '4', '6', '7', '4', '4', '0', '7', '3', '7', '0', '9', '5', '5', '1', '6', '1', '5'})},
};

INSTANTIATE_TEST_SUITE_P(Values, FilerEncodingTest, ::testing::ValuesIn(kEncodings),
                         [](const ::testing::TestParamInfo<EncodingCase>& aInfo) { return aInfo.param.name; });

TEST(FilerWriterTest, RefusesAnIdentifierBeyond255Bytes) {
  TqdMemoryStream stream(-1);
  TqdWriter writer(&stream);
  writer.WriteIdent(qdString(85, u'名'));  // 255 bytes
  EXPECT_THROW(writer.WriteIdent(qdString(86, u'名')), EWriteError);
}

TEST(FilerWriterTest, RefusesVariantArrays) {
  TqdMemoryStream stream(-1);
  TqdWriter writer(&stream);
  EXPECT_THROW(writer.WriteVariant(TqdVariant::FromBytes({1, 2})), EWriteError);
  EXPECT_THROW(writer.WriteVariant(TqdVariant::FromArray({TqdVariant(1)})), EWriteError);
}

TEST(FilerWriterTest, LargeValuesCrossTheBuffer) {
  const qdString text(10000, u'q');
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream, 64);
    for (int i = 0; i < 100; ++i) writer.WriteInteger(i * 1000);
    writer.WriteString(text);
    writer.WriteInteger(7);
  }
  TqdReader reader(&stream, 64);
  stream.SetPosition(0);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(reader.ReadInteger(), i * 1000);
  EXPECT_EQ(reader.ReadString(), text);
  EXPECT_EQ(reader.ReadInteger(), 7);
}

TEST(FilerWriterTest, PositionMovedBackInsideTheBufferKeepsLaterBytes) {
  // Reserve a length slot, write the body, patch the slot, go on at the end.
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    writer.WriteInteger(1);
    const int64_t slot = writer.Position();
    writer.Write("\0\0\0\0", 4);
    writer.WriteString(u"body");
    const int64_t end = writer.Position();
    writer.SetPosition(slot);
    const uint8_t length[4] = {6, 0, 0, 0};
    writer.Write(length, 4);
    EXPECT_EQ(writer.Position(), slot + 4);
    writer.SetPosition(end);
    writer.WriteBoolean(true);
  }
  EXPECT_EQ(contents(stream), (Bytes{2, 1, 6, 0, 0, 0, 6, 4, 'b', 'o', 'd', 'y', 9}));
}

TEST(FilerWriterTest, FlushLeavesTheStreamAtTheWritersPosition) {
  TqdMemoryStream stream(-1);
  TqdWriter writer(&stream);
  writer.Write("abcdef", 6);
  writer.SetPosition(2);
  writer.FlushBuffer();
  EXPECT_EQ(stream.Position(), 2);
  EXPECT_EQ(stream.Size(), 6);
  writer.Write("X", 1);
  writer.SetPosition(100);
  EXPECT_EQ(stream.Position(), 100);
  EXPECT_EQ(contents(stream), (Bytes{'a', 'b', 'X', 'd', 'e', 'f'}));
}

// --- Reader ------------------------------------------------------------------------

// A reader over a copy of aBytes.
class FilerReaderTest : public ::testing::Test {
 protected:
  TqdReader& Over(const Bytes& aBytes) {
    fReader.reset();
    fStream = std::make_unique<TqdMemoryStream>(-1);
    if (!aBytes.empty()) fStream->Write(aBytes.data(), static_cast<int32_t>(aBytes.size()));
    fStream->SetPosition(0);
    fReader = std::make_unique<TqdReader>(fStream.get());
    return *fReader;
  }
  std::unique_ptr<TqdMemoryStream> fStream;
  std::unique_ptr<TqdReader> fReader;
};

TEST_F(FilerReaderTest, IntegersOfEveryWidth) {
  const Bytes all = written([](TqdWriter& w) {
    for (int64_t v : {int64_t{-1}, int64_t{300}, int64_t{-70000}, int64_t{1} << 40}) w.WriteInteger(v);
  });
  TqdReader& reader = Over(all);
  EXPECT_EQ(reader.ReadInt64(), -1);
  EXPECT_EQ(reader.ReadInt64(), 300);
  EXPECT_EQ(reader.ReadInteger(), -70000);
  EXPECT_THROW(reader.ReadInteger(), EReadError);
}

TEST_F(FilerReaderTest, StringsOfEveryTag) {
  const qdString values[] = {u"", u"abc", qdString(300, u'z'), u"é", u"café", u"日本語", u"abcd\xD800"};
  const Bytes all = written([&](TqdWriter& w) {
    for (const qdString& v : values) w.WriteString(v);
    w.WriteAnsiString("plain");
  });
  TqdReader& reader = Over(all);
  for (const qdString& v : values) EXPECT_EQ(reader.ReadString(), v);
  EXPECT_EQ(reader.ReadWideString(), u"plain");
}

TEST_F(FilerReaderTest, SingleByteStringsUseTheAnsiCodePage) {
  // 0x82 0xA0 is HIRAGANA LETTER A in the process code page 932.
  EXPECT_EQ(Over({6, 2, 0x82, 0xA0}).ReadString(), u"あ");
  EXPECT_EQ(Over({12, 2, 0, 0, 0, 0x82, 0xA0}).ReadString(), u"あ");
}

TEST_F(FilerReaderTest, CharsAndIdents) {
  EXPECT_EQ(Over({6, 1, 'q'}).ReadChar(), u'q');
  EXPECT_EQ(Over({6, 0}).ReadChar(), u'\0');
  EXPECT_EQ(Over({18, 1, 0, 0, 0, 0x42, 0x30}).ReadAnsiChar(), '\x42');
  EXPECT_THROW(Over({6, 2, 'a', 'b'}).ReadChar(), EReadError);
  struct Case {
    Bytes bytes;
    qdString ident;
  } const cases[] = {{{9}, u"True"}, {{8}, u"False"}, {{0}, u"Null"}, {{13}, u"nil"}, {{7, 2, 'i', 'd'}, u"id"}};
  for (const Case& c : cases) EXPECT_EQ(Over(c.bytes).ReadIdent(), c.ident);
  EXPECT_THROW(Over({6, 2, 'i', 'd'}).ReadIdent(), EReadError);
}

TEST_F(FilerReaderTest, BooleansAcceptOnlyTheirTags) {
  TqdReader& reader = Over({9, 8, 2, 1});
  EXPECT_TRUE(reader.ReadBoolean());
  EXPECT_FALSE(reader.ReadBoolean());
  EXPECT_THROW(reader.ReadBoolean(), EReadError);
}

TEST_F(FilerReaderTest, ListsAndTheirErrors) {
  TqdReader& reader = Over({1, 2, 5, 0, 6, 3, 'a', 'b', 'c', 2, 7});
  reader.ReadListBegin();
  EXPECT_FALSE(reader.EndOfList());
  EXPECT_EQ(reader.ReadInteger(), 5);
  EXPECT_TRUE(reader.EndOfList());
  reader.ReadListEnd();
  // The string is skipped whole before the error, so the next value reads.
  try {
    reader.ReadListBegin();
    ADD_FAILURE() << "no error";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), SInvalidPropertyValue);
  }
  EXPECT_EQ(reader.ReadInteger(), 7);

  TqdReader& nested = Over({1, 1, 2, 1, 0, 0, 9});
  EXPECT_THROW(nested.ReadListEnd(), EReadError);
  EXPECT_TRUE(nested.ReadBoolean());
}

TEST_F(FilerReaderTest, BinaryValues) {
  const Bytes guid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const Bytes all = written([&](TqdWriter& w) {
    w.WriteBytes(guid);
    w.WriteBinary(guid.data(), 16);
    w.WriteBinary(guid.data(), 4);
    w.WriteBytes({});
  });
  TqdReader& reader = Over(all);
  EXPECT_EQ(reader.ReadBytes(), guid);
  uint8_t block[16];
  reader.ReadBinary(block, 16);
  EXPECT_EQ(Bytes(block, block + 16), guid);
  try {
    reader.ReadBinary(block, 16);
    ADD_FAILURE() << "no error";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), SInvalidPropertyValue);
  }
  TqdReader& empty = Over({10, 0, 0, 0, 0, 10, 0xFF, 0xFF, 0xFF, 0xFF, 2, 3});
  EXPECT_TRUE(empty.ReadBytes().empty());
  EXPECT_TRUE(empty.ReadBytes().empty());
  EXPECT_EQ(empty.ReadInteger(), 3);
}

TEST_F(FilerReaderTest, FloatsFromEveryNumericTag) {
  struct Case {
    Bytes bytes;
    TqdExtended value;
  };
  const TqdExtended big = TqdExtended::Make(false, 16383 + 62, uint64_t{0xFFFFFFFFFFFFFFFE});  // 2^63 - 1
  const TqdExtended smallest = TqdExtended::Make(true, 16383 + 63, uint64_t{1} << 63);         // -2^63
  const Case cases[] = {
      {{5, 1, 2, 3, 4, 5, 6, 7, 0x88, 9, 0x40}, TqdExtended::FromBytes("\x01\x02\x03\x04\x05\x06\x07\x88\x09\x40")},
      {{21, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, qdDoubleToExtended(1.5)},
      {{2, 0xFB}, qdDoubleToExtended(-5.0)},
      {{3, 0x2C, 1}, qdDoubleToExtended(300.0)},
      {{2, 0}, qdDoubleToExtended(0.0)},
      {{19, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, big},
      {{19, 0, 0, 0, 0, 0, 0, 0, 0x80}, smallest},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Over(c.bytes).ReadFloat().Bytes, c.value.Bytes) << static_cast<int>(c.bytes[0]);
  }
  EXPECT_THROW(Over({6, 1, '1'}).ReadFloat(), EReadError);
}

TEST_F(FilerReaderTest, GuidsAndStringLists) {
  const TGUID guid{0xA1B2C3D4, 0x1122, 0x3344, {1, 2, 3, 4, 5, 6, 7, 8}};
  TqdStringList lines;
  lines.Add(u"one");
  lines.Add(u"日本語");
  const Bytes all = written([&](TqdWriter& w) {
    w.WriteGuid(guid);
    w.WriteStrings(lines);
    w.WriteWideStrings(lines);
    w.WriteAnsiStrings(lines);
    w.WriteBinary("abc", 3);
  });
  TqdReader& reader = Over(all);
  EXPECT_EQ(reader.ReadGuid(), guid);
  TqdStringList read;
  read.Add(u"stale");
  for (int i = 0; i < 3; ++i) {
    reader.ReadStrings(read);
    EXPECT_EQ(read.Count(), 2);
    EXPECT_EQ(read.Strings(0), u"one");
    EXPECT_EQ(read.Strings(1), u"日本語");
  }
  EXPECT_THROW(reader.ReadGuid(), EReadError);
}

TEST_F(FilerReaderTest, VariantsKeepTheirKind) {
  const TqdVariant values[] = {
      TqdVariant(),
      TqdVariant::Null(),
      TqdVariant(int8_t{-5}),
      TqdVariant(int16_t{-300}),
      TqdVariant(int32_t{70000}),
      TqdVariant(int64_t{1} << 40),
      TqdVariant(0.1),
      TqdVariant(2.5f),
      TqdVariant(TqdCurrency::FromRaw(-123457)),
      TqdVariant::FromDate(45000.25),
      TqdVariant(false),
      TqdVariant(u"日本語"),
  };
  const Bytes all = written([&](TqdWriter& w) {
    for (const TqdVariant& v : values) w.WriteVariant(v);
  });
  TqdReader& reader = Over(all);
  for (const TqdVariant& v : values) {
    const TqdVariant read = reader.ReadVariant();
    EXPECT_TRUE(read.IsIdentical(v)) << v.VarType();
  }
  // Small integers come back by the width they were written with.
  EXPECT_EQ(Over({2, 7}).ReadVariant().VarType(), varShortInt);
  EXPECT_EQ(Over({4, 7, 0, 0, 0}).ReadVariant().VarType(), varInteger);
  EXPECT_EQ(Over({21, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}).ReadVariant().AsDouble(), 1.5);
  EXPECT_THROW(Over({1, 0}).ReadVariant(), EReadError);
  EXPECT_THROW(Over({10, 0, 0, 0, 0}).ReadVariant(), EReadError);
}

TEST_F(FilerReaderTest, FreedReaderLeavesTheStreamAfterTheLastValue) {
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    writer.WriteInteger(1000);
    const Bytes filler(10000 - 3, 0x55);
    writer.Write(filler.data(), static_cast<int32_t>(filler.size()));
  }
  ASSERT_EQ(stream.Size(), 10000);
  stream.SetPosition(0);
  {
    TqdReader reader(&stream);
    EXPECT_EQ(reader.ReadInteger(), 1000);
    EXPECT_EQ(stream.Position(), 4096);
    EXPECT_EQ(reader.Position(), 3);
  }
  EXPECT_EQ(stream.Position(), 3);
}

TEST_F(FilerReaderTest, SettingThePositionEmptiesTheBuffer) {
  TqdReader& reader = Over({2, 1, 2, 2, 2, 3});
  EXPECT_EQ(reader.ReadInteger(), 1);
  reader.SetPosition(4);
  EXPECT_EQ(reader.ReadInteger(), 3);
  reader.SetPosition(0);
  EXPECT_EQ(reader.ReadInteger(), 1);
  EXPECT_EQ(reader.NextValue(), vaInt8);
  EXPECT_EQ(reader.Position(), 2);
}

TEST_F(FilerReaderTest, SkipsEveryKindOfValue) {
  // Each value is followed by the integer 42, which must read after a skip.
  const Bytes values[] = {{0},
                          {1, 2, 1, 1, 6, 1, 'x', 0, 0},
                          {2, 1},
                          {3, 1, 2},
                          {4, 1, 2, 3, 4},
                          {5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                          {6, 2, 'a', 'b'},
                          {7, 1, 'n'},
                          {8},
                          {9},
                          {10, 2, 0, 0, 0, 1, 2},
                          {10, 0xFF, 0xFF, 0xFF, 0xFF},
                          {11, 1, 'a', 2, 'b', 'c', 0},
                          {12, 1, 0, 0, 0, 'a'},
                          {13},
                          // A collection of two items, the first with an order number and one
                          // property (a short name, then a value), the second empty.
                          {14, 2, 5, 1, 4, 'N', 'a', 'm', 'e', 6, 1, 'x', 0, 1, 0, 0},
                          {15, 0, 0, 0, 0},
                          {16, 0, 0, 0, 0, 0, 0, 0, 0},
                          {17, 0, 0, 0, 0, 0, 0, 0, 0},
                          {18, 2, 0, 0, 0, 'a', 0, 'b', 0},
                          {19, 0, 0, 0, 0, 0, 0, 0, 0},
                          {20, 2, 0, 0, 0, 0xC3, 0xA9},
                          {21, 0, 0, 0, 0, 0, 0, 0, 0}};
  for (const Bytes& v : values) {
    SCOPED_TRACE(static_cast<int>(v[0]));
    TqdReader& reader = Over(concat(v, {2, 42}));
    reader.SkipValue();
    EXPECT_EQ(reader.ReadInteger(), 42);
  }
}

// --- Damaged streams ------------------------------------------------------------------

// Reads back what `sampleValues` writes, in the same order.
void writeSample(TqdWriter& w) {
  w.WriteInteger(5);
  w.WriteInteger(int64_t{1} << 40);
  w.WriteBoolean(true);
  w.WriteString(u"abc");
  w.WriteString(qdString(300, u'a'));
  w.WriteString(u"café");
  w.WriteString(u"日本語");
  w.WriteAnsiString("\x82\xA0");
  w.WriteIdent(u"Name");
  w.WriteListBegin();
  w.WriteInteger(300);
  w.WriteListEnd();
  const uint8_t block[5] = {1, 2, 3, 4, 5};
  w.WriteBinary(block, 5);
  w.WriteBytes(block);
  w.Write(block, 5);
}

void readSample(TqdReader& r) {
  EXPECT_EQ(r.ReadInteger(), 5);
  EXPECT_EQ(r.ReadInt64(), int64_t{1} << 40);
  EXPECT_TRUE(r.ReadBoolean());
  EXPECT_EQ(r.ReadString(), u"abc");
  EXPECT_EQ(r.ReadString(), qdString(300, u'a'));
  EXPECT_EQ(r.ReadString(), u"café");
  EXPECT_EQ(r.ReadString(), u"日本語");
  EXPECT_EQ(r.ReadString(), u"あ");
  EXPECT_EQ(r.ReadIdent(), u"Name");
  r.ReadListBegin();
  EXPECT_EQ(r.ReadInteger(), 300);
  r.ReadListEnd();
  uint8_t block[5];
  r.ReadBinary(block, 5);
  EXPECT_EQ(r.ReadBytes().size(), 5u);
  r.Read(block, 5);
}

TEST(FilerDamageTest, EveryTruncationRaisesTheReadError) {
  const Bytes whole = written(writeSample);
  {
    TqdStaticMemoryStream stream(const_cast<uint8_t*>(whole.data()), static_cast<int32_t>(whole.size()));
    TqdReader reader(&stream);
    readSample(reader);
  }
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    // An exact-size heap copy, so that a read past the end is seen by ASan.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[cut + 1]);
    std::memcpy(copy.get(), whole.data(), cut);
    TqdStaticMemoryStream stream(copy.get(), static_cast<int32_t>(cut));
    TqdReader reader(&stream, 16);
    EXPECT_THROW(readSample(reader), EReadError);
  }
}

TEST(FilerDamageTest, EveryTruncationRaisesTheReadErrorWhenSkipping) {
  const Bytes whole = written([](TqdWriter& w) {
    w.WriteListBegin();
    writeSample(w);
    w.WriteListEnd();
  });
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    std::unique_ptr<uint8_t[]> copy(new uint8_t[cut + 1]);
    std::memcpy(copy.get(), whole.data(), cut);
    TqdStaticMemoryStream stream(copy.get(), static_cast<int32_t>(cut));
    TqdReader reader(&stream, 16);
    EXPECT_THROW(reader.SkipValue(), EReadError);
  }
}

struct DamageCase {
  const char* name;
  Bytes bytes;
  std::function<void(TqdReader&)> read;
};

void PrintTo(const DamageCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

class FilerCorruptLengthTest : public ::testing::TestWithParam<DamageCase> {};

// Lengths that ask for more than the stream holds, or for a negative size,
// are refused before anything is allocated.
TEST_P(FilerCorruptLengthTest, RaisesTheReadError) {
  Bytes bytes = GetParam().bytes;
  bytes.insert(bytes.end(), 64, 'x');
  TqdStaticMemoryStream stream(bytes.data(), static_cast<int32_t>(bytes.size()));
  TqdReader reader(&stream);
  EXPECT_THROW(GetParam().read(reader), EReadError);
}

const auto kReadString = [](TqdReader& r) { r.ReadString(); };
const auto kReadBytes = [](TqdReader& r) { r.ReadBytes(); };
const auto kSkip = [](TqdReader& r) { r.SkipValue(); };

const DamageCase kCorruptLengths[] = {
    {"LStringHuge", {12, 0xFF, 0xFF, 0xFF, 0x7F}, kReadString},
    {"LStringNegative", {12, 0xFF, 0xFF, 0xFF, 0xFF}, kReadString},
    {"LStringJustTooLong", {12, 65, 0, 0, 0}, kReadString},
    {"Utf8Huge", {20, 0x00, 0x00, 0x00, 0x40}, kReadString},
    {"Utf8Negative", {20, 0x00, 0x00, 0x00, 0x80}, kReadString},
    {"WStringHuge", {18, 0xFF, 0xFF, 0xFF, 0x7F}, kReadString},
    {"WStringWraps", {18, 0x00, 0x00, 0x00, 0x40}, kReadString},
    {"WStringNegative", {18, 0xFE, 0xFF, 0xFF, 0xFF}, kReadString},
    {"WStringJustTooLong", {18, 33, 0, 0, 0}, kReadString},
    {"BinaryHuge", {10, 0xFF, 0xFF, 0xFF, 0x7F}, kReadBytes},
    {"SkipLString", {12, 0xFF, 0xFF, 0xFF, 0x7F}, kSkip},
    {"SkipWString", {18, 0x00, 0x00, 0x00, 0x40}, kSkip},
    {"SkipUtf8Negative", {20, 0xFF, 0xFF, 0xFF, 0xFF}, kSkip},
    {"SkipBinaryHuge", {10, 0x00, 0x00, 0x00, 0x10}, kSkip},
    {"SkipUnknownTag", {22}, kSkip},
    {"SkipTag255", {1, 255}, kSkip},
    {"SkipCollectionWithoutItemList", {14, 2}, kSkip},
    {"ReadBinaryHugeMatchingSize",
     {10, 0x00, 0x00, 0x00, 0x10},
     [](TqdReader& r) {
       std::vector<uint8_t> target(16);
       r.ReadBinary(target.data(), 0x10000000);
     }},
};

INSTANTIATE_TEST_SUITE_P(Lengths, FilerCorruptLengthTest, ::testing::ValuesIn(kCorruptLengths),
                         [](const ::testing::TestParamInfo<DamageCase>& aInfo) { return aInfo.param.name; });

TEST(FilerDamageTest, DeepNestingEndsWithTheReadErrorNotAStackOverflow) {
  Bytes nested(1 << 20, vaList);
  TqdStaticMemoryStream stream(nested.data(), static_cast<int32_t>(nested.size()));
  TqdReader reader(&stream);
  EXPECT_THROW(reader.SkipValue(), EReadError);
}

// --- Memory stream ----------------------------------------------------------------------

TEST(MemoryStreamTest, ReservationFromTheInitialValue) {
  struct Case {
    int32_t initial;
    int32_t reserve;
  } const cases[] = {{-1, 65536},    {0, 524288},     {100, 524288},     {65535, 524288},
                     {65536, 65536}, {65537, 131072}, {1000000, 1048576}};
  for (const Case& c : cases) {
    TqdMemoryStream stream(c.initial);
    EXPECT_EQ(stream.ReserveInitial(), c.reserve) << c.initial;
    EXPECT_EQ(stream.Memory(), nullptr);
    EXPECT_EQ(stream.Reserved(), 0);
  }
}

TEST(MemoryStreamTest, GrowsInPlaceByDoublingTheReservation) {
  TqdMemoryStream stream(100);
  const uint8_t one = 1;
  EXPECT_EQ(stream.Write(&one, 1), 1);
  EXPECT_EQ(stream.Reserved(), 524288);
  EXPECT_EQ(stream.Capacity(), 4096);
  stream.CheckInvariants();

  Bytes block(524288 - 1, 0x5A);
  stream.Write(block.data(), static_cast<int32_t>(block.size()));
  EXPECT_EQ(stream.Reserved(), 524288);
  EXPECT_EQ(stream.Capacity(), 524288);
  void* const memory = stream.Memory();

  EXPECT_EQ(stream.Write(&one, 1), 1);
  EXPECT_EQ(stream.Reserved(), 1048576);
  EXPECT_EQ(stream.Capacity(), 524288 + 4096);
  EXPECT_EQ(stream.Memory(), memory);
  EXPECT_EQ(stream.Size(), 524289);
  EXPECT_EQ(stream.ByteArray()[524288], 1);
  EXPECT_EQ(stream.ByteArray()[1000], 0x5A);
  stream.CheckInvariants();
  stream.Clear();
  stream.CheckInvariants();
}

TEST(MemoryStreamTest, MovesWhenTheAddressSpaceAfterItIsTaken) {
  // Fill the whole window, so that the next byte needs address space
  // beyond it, and take that space away first.
  TqdMemoryStream stream(-1);
  Bytes block(65536);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + i / 251);
  constexpr int kBlocks = qdMemoryStreamAddressWindow / 65536;
  for (int i = 0; i < kBlocks; ++i) {
    block[0] = static_cast<uint8_t>(i);
    stream.Write(block.data(), 65536);
  }
  EXPECT_EQ(stream.Reserved(), qdMemoryStreamAddressWindow);
  void* const memory = stream.Memory();
  auto* after = static_cast<uint8_t*>(memory) + qdMemoryStreamAddressWindow;
  // Usually the space is taken already (mappings are placed top-down).
  void* blocker = mmap(after, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (blocker != after && blocker != MAP_FAILED) {
    munmap(blocker, 4096);
    GTEST_SKIP() << "this kernel cannot map at a fixed address without replacing";
  }
  stream.Write(block.data(), 100);
  if (blocker == after) munmap(blocker, 4096);
  EXPECT_NE(stream.Memory(), memory);
  EXPECT_EQ(stream.Reserved(), 2 * qdMemoryStreamAddressWindow);
  EXPECT_EQ(stream.Size(), qdMemoryStreamAddressWindow + 100);
  for (int i = 0; i < kBlocks; ++i) {
    const uint8_t* moved = stream.ByteArray() + static_cast<size_t>(i) * 65536;
    ASSERT_EQ(moved[0], static_cast<uint8_t>(i));
    ASSERT_EQ(std::memcmp(moved + 1, block.data() + 1, 65535), 0) << i;
  }
  EXPECT_EQ(std::memcmp(stream.ByteArray() + qdMemoryStreamAddressWindow, block.data(), 100), 0);
  stream.CheckInvariants();
}

TEST(MemoryStreamTest, ExtendedRegionsAreAllReleased) {
  TqdMemoryStream stream(-1);
  Bytes block(300000, 3);
  for (int i = 0; i < 10; ++i) stream.Write(block.data(), static_cast<int32_t>(block.size()));
  EXPECT_EQ(stream.Size(), 3000000);
  EXPECT_GE(stream.Reserved(), 3000000);
  stream.CheckInvariants();
  const uintptr_t base = reinterpret_cast<uintptr_t>(stream.Memory());
  const int32_t reserved = stream.Reserved();
  stream.Clear();
  EXPECT_EQ(stream.Memory(), nullptr);
  EXPECT_EQ(stream.Capacity(), 0);
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(stream.Position(), 0);
  // The whole span is free again.
  const auto span = static_cast<size_t>(std::max<int64_t>(reserved, qdMemoryStreamAddressWindow));
  void* probe =
      mmap(reinterpret_cast<void*>(base), span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  EXPECT_EQ(probe, reinterpret_cast<void*>(base));
  if (probe != MAP_FAILED) munmap(probe, span);
}

TEST(MemoryStreamTest, SizePositionAndCapacity) {
  TqdMemoryStream stream(-1);
  stream.SetSize(10000);
  EXPECT_EQ(stream.Capacity(), 12288);
  stream.SetPosition(9000);
  stream.SetSize(100);
  EXPECT_EQ(stream.Capacity(), 12288);
  EXPECT_EQ(stream.Position(), 100);
  stream.SetCapacity(5000);
  EXPECT_EQ(stream.Capacity(), 12288);
  stream.SetCapacity(12289);
  EXPECT_EQ(stream.Capacity(), 16384);
  stream.CheckInvariants();

  // Seeking has no bounds; reading and writing outside give 0.
  uint8_t byte = 0;
  EXPECT_EQ(stream.Seek(-5, soFromBeginning), -5);
  EXPECT_EQ(stream.Read(&byte, 1), 0);
  EXPECT_EQ(stream.Write(&byte, 1), 0);
  EXPECT_EQ(stream.Seek(10, soFromEnd), 110);
  EXPECT_EQ(stream.Read(&byte, 1), 0);
  EXPECT_EQ(stream.Write(&byte, -1), 0);
  EXPECT_EQ(stream.Write(&byte, 1), 1);
  EXPECT_EQ(stream.Size(), 111);
  EXPECT_EQ(stream.Seek(-11, soFromCurrent), 100);
  stream.SetPosition(0);
  EXPECT_EQ(stream.Write(&byte, 0), 0);
  stream.SetCapacity(0);
  EXPECT_EQ(stream.Size(), 0);
  stream.CheckInvariants();
}

TEST(MemoryStreamTest, AGigabyteIsOutOfMemory) {
  TqdMemoryStream stream(-1);
  EXPECT_THROW(stream.SetSize(int64_t{1} << 30), std::bad_alloc);
  EXPECT_THROW(stream.SetCapacity(0x3FFFFFFF), std::bad_alloc);
  EXPECT_EQ(stream.Capacity(), 0);
  TqdMemoryStream huge(0x7FFFFFFF);
  const uint8_t byte = 0;
  EXPECT_THROW(huge.Write(&byte, 1), std::bad_alloc);
  huge.CheckInvariants();
}

TEST(MemoryStreamTest, SavesAndLoads) {
  test::TempFolder folder;
  const qdString file = Utf8ToString(folder.File("保存.bin").string());
  TqdMemoryStream source(-1);
  Bytes data(10000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  source.Write(data.data(), 10000);
  source.SaveToFile(file);
  source.SaveToFile(file);  // replaces

  TqdMemoryStream loaded(-1);
  loaded.LoadFromFile(file);
  EXPECT_EQ(contents(loaded), data);

  TqdAnsiStringStream text("xyz");
  text.Seek(0, soFromEnd);
  loaded.LoadFromStream(&text);
  EXPECT_EQ(contents(loaded), (Bytes{'x', 'y', 'z'}));

  TqdAnsiStringStream copy;
  source.SaveToStream(&copy);
  EXPECT_EQ(copy.DataString().size(), 10000u);
  TqdMemoryStream empty(-1);
  empty.SaveToStream(&copy);
  EXPECT_EQ(copy.DataString().size(), 10000u);

  EXPECT_THROW(loaded.LoadFromFile(Utf8ToString(folder.File("missing").string())), EFOpenError);
  EXPECT_THROW(source.SaveToFile(Utf8ToString(folder.File("no/such/dir").string())), EFCreateError);
}

TEST(MemoryStreamTest, CopyFromCopiesAWholeStreamOrAPart) {
  TqdAnsiStringStream source("0123456789");
  TqdMemoryStream target(-1);
  EXPECT_EQ(target.CopyFrom(&source, 0), 10);
  source.SetPosition(2);
  EXPECT_EQ(target.CopyFrom(&source, 3), 3);
  EXPECT_EQ(contents(target), (Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '2', '3', '4'}));
  EXPECT_THROW(target.CopyFrom(&source, 100), EReadError);
}

TEST(StaticMemoryStreamTest, WritesNoFurtherThanTheBuffer) {
  uint8_t buffer[12] = {};
  TqdStaticMemoryStream stream(buffer, 12);
  const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  stream.SetPosition(8);
  EXPECT_EQ(stream.Write(data, 10), 4);
  EXPECT_EQ(stream.Position(), 12);
  EXPECT_EQ(stream.Write(data, 10), 0);
  EXPECT_EQ(stream.Position(), 12);
  EXPECT_EQ(Bytes(buffer + 8, buffer + 12), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(stream.Size(), 12);
  EXPECT_THROW(stream.SetSize(20), EStreamError);
  stream.SetPosition(7);
  uint8_t read[4];
  EXPECT_EQ(stream.Read(read, 4), 4);
  EXPECT_EQ(Bytes(read, read + 4), (Bytes{0, 1, 2, 3}));
}

TEST(AnsiStringStreamTest, SeekCountsFromTheEndAndClamps) {
  struct Case {
    int32_t start;
    int64_t offset;
    uint16_t origin;
    int64_t position;
  } const cases[] = {
      {0, -2, soFromEnd, 8},     {0, 2, soFromEnd, 10},    {0, -20, soFromEnd, 0},      {0, 20, soFromBeginning, 10},
      {3, -5, soFromCurrent, 0}, {3, 4, soFromCurrent, 7}, {5, -1, soFromBeginning, 0},
  };
  for (const Case& c : cases) {
    TqdAnsiStringStream stream("0123456789");
    stream.SetPosition(c.start);
    EXPECT_EQ(stream.Seek(c.offset, c.origin), c.position) << c.start << " " << c.offset << " " << c.origin;
  }
}

TEST(AnsiStringStreamTest, ReadsWritesAndResizes) {
  TqdAnsiStringStream stream("hello");
  stream.SetPosition(3);
  stream.WriteString("p");
  EXPECT_EQ(stream.DataString(), "helpo");
  stream.WriteString("ful!");
  EXPECT_EQ(stream.DataString(), "helpful!");
  stream.SetPosition(3);
  EXPECT_EQ(stream.ReadString(4), "pful");
  EXPECT_EQ(stream.ReadString(10), "!");
  EXPECT_EQ(stream.ReadString(10), "");
  char buffer[4];
  EXPECT_EQ(stream.Read(buffer, 4), 0);
  stream.SetSize(2);
  EXPECT_EQ(stream.Position(), 2);
  EXPECT_EQ(stream.DataString(), "he");
  EXPECT_EQ(stream.Size(), 2);
}

TEST(AnsiStringStreamTest, CarriesFilerValues) {
  TqdAnsiStringStream stream;
  {
    TqdWriter writer(&stream);
    writer.WriteIdent(u"EDV");
    writer.WriteInteger(1);
  }
  stream.SetPosition(0);
  TqdReader reader(&stream);
  EXPECT_EQ(reader.ReadIdent(), u"EDV");
  EXPECT_EQ(reader.ReadInteger(), 1);
}

}  // namespace
}  // namespace qd
