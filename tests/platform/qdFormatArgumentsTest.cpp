#include "platform/qdFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/qdSysUtils.h"

namespace qd {
namespace {

std::string u8(const qdString& aText) { return StringToUtf8(aText); }

TEST(FormatArgumentsTest, Conversions) {
  struct Case {
    const char16_t* format;
    std::vector<TqdVarRec> args;
    const char* expected;
  };
  const Case cases[] = {
      {u"plain", {}, "plain"},
      {u"100%%", {}, "100%"},
      {u"%d", {-5}, "-5"},
      {u"%d", {int64_t{-9223372036854775807 - 1}}, "-9223372036854775808"},
      {u"%d", {uint32_t{4294967295u}}, "4294967295"},
      {u"%.3d", {7}, "007"},
      {u"%.3d", {-7}, "-007"},
      {u"%5d|%-5d|", {42, 42}, "   42|42   |"},
      {u"%u", {-1}, "4294967295"},
      {u"%u", {int64_t{-1}}, "18446744073709551615"},
      {u"%x", {255}, "FF"},
      {u"%X", {0xabc}, "ABC"},
      {u"%x", {-1}, "FFFFFFFF"},
      {u"%x", {int64_t{-1}}, "FFFFFFFFFFFFFFFF"},
      {u"%.4x", {0x2b}, "002B"},
      {u"[$%x/%d]", {uint32_t{9729}, uint32_t{9729}}, "[$2601/9729]"},
      {u"%s", {u"ab"}, "ab"},
      {u"%s", {"caf\xc3\xa9"}, "caf\xc3\xa9"},
      {u"%s", {std::string("narrow")}, "narrow"},
      {u"%s", {qdString(u"\u65e5\u672c")}, "\xe6\x97\xa5\xe6\x9c\xac"},
      {u"%s", {u'c'}, "c"},
      {u"%5s|%-5s|", {u"ab", u"ab"}, "   ab|ab   |"},
      {u"%.2s", {u"abcd"}, "ab"},
      {u"%1:s %0:s %s", {u"a", u"b"}, "b a b"},
      {u"%*d|%-*d|", {4, 7, 3, 1}, "   7|1  |"},
      {u"%.*d", {3, 5}, "005"},
      {u"%f", {1.0}, "1.00"},
      {u"%.3f", {3.14159}, "3.142"},
      {u"%.0f", {2.5}, "3"},  // the decimal cut rounds ties away from zero
      {u"%e", {1234.5}, "1.23450000000000E+003"},
      {u"%.3e", {-0.000123}, "-1.23E-004"},
      {u"%g", {0.5}, "0.5"},
      {u"%g", {100.0}, "100"},
      {u"%g", {1e20}, "1E020"},  // general format with at least three exponent digits
      {u"%g", {1.5e-7}, "1.5E-007"},
      {u"%n", {1234567.891}, "1,234,567.89"},
      {u"%n", {-1234.5}, "-1,234.50"},
      {u"%.0n", {999.0}, "999"},
      {u"%p", {static_cast<const void*>(nullptr)}, "0000000000000000"},
  };
  for (const Case& c : cases) {
    // A braced list cannot be made from a vector at run time.
    qdString result;
    switch (c.args.size()) {
      case 0:
        result = Format(c.format, {});
        break;
      case 1:
        result = Format(c.format, {c.args[0]});
        break;
      case 2:
        result = Format(c.format, {c.args[0], c.args[1]});
        break;
      case 4:
        result = Format(c.format, {c.args[0], c.args[1], c.args[2], c.args[3]});
        break;
      default:
        FAIL() << "unexpected argument count";
    }
    EXPECT_EQ(u8(result), c.expected) << u8(c.format);
  }
}

TEST(FormatArgumentsTest, MismatchesRaise) {
  const std::pair<const char16_t*, const char*> cases[] = {
      {u"%d", "Format '%d' invalid or incompatible with argument"},
      {u"%s %s", "No argument for format '%s %s'"},
      {u"%q", "Format '%q' invalid or incompatible with argument"},
      {u"abc%", "Format 'abc%' invalid or incompatible with argument"},
  };
  for (const auto& [format, message] : cases) {
    try {
      (void)Format(format, {u"text"});
      ADD_FAILURE() << "no exception for " << u8(format);
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
  EXPECT_THROW((void)Format(u"%f", {1}), EConvertError);
  EXPECT_THROW((void)Format(u"%x", {1.5}), EConvertError);
  EXPECT_THROW((void)Format(u"%s", {1}), EConvertError);
  EXPECT_THROW((void)Format(u"%d", {}), EConvertError);
  EXPECT_THROW((void)Format(u"%5:d", {1}), EConvertError);
}

}  // namespace
}  // namespace qd
