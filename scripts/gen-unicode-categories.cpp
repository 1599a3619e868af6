// Writes indexes/qdllWideStringCategories_Data.cpp: the Unicode category
// table's resource, built from the Unicode character data of the ICU this
// program is linked with. Run it through scripts/gen-unicode-categories.sh.
//
// Record format (little-endian), one record per category that has ranges,
// in ascending category order:
//   offset 0  size 1   category ordinal (0-54)
//   offset 1  size 4   signed count n of ranges
//   offset 5  size 8n  n ranges: first code point, last code point (inclusive)
//
// Category numbers (the order of TqdCharacterCategory):
//   0-29   the general category (Cn, 16, gets no record), and 11
//          (paragraph separator) also for bidi class B;
//   30-46  the bidi classes L, LRE, LRO, R, AL, RLE, RLO, PDF, EN, ES, ET,
//          AN, CS, BN, S, WS, ON;
//   47     has a decomposition mapping in the character data; Hangul
//          syllables, whose decomposition is arithmetic and not listed
//          there, do not count;
//   54     assigned (any general category but Cn).
// 48-53 get no record. Bidi classes and decompositions are taken for
// assigned code points only: unassigned ones carry just the defaults of the
// derived data, no character data of their own.
#include <unicode/uchar.h>
#include <unicode/uversion.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kCategoryCount = 55;
constexpr int kNone = -1;

int generalCategory(UChar32 c) {
  switch (u_charType(c)) {
    case U_UPPERCASE_LETTER:
      return 0;
    case U_LOWERCASE_LETTER:
      return 1;
    case U_TITLECASE_LETTER:
      return 2;
    case U_NON_SPACING_MARK:
      return 3;
    case U_COMBINING_SPACING_MARK:
      return 4;
    case U_ENCLOSING_MARK:
      return 5;
    case U_DECIMAL_DIGIT_NUMBER:
      return 6;
    case U_LETTER_NUMBER:
      return 7;
    case U_OTHER_NUMBER:
      return 8;
    case U_SPACE_SEPARATOR:
      return 9;
    case U_LINE_SEPARATOR:
      return 10;
    case U_PARAGRAPH_SEPARATOR:
      return 11;
    case U_CONTROL_CHAR:
      return 12;
    case U_FORMAT_CHAR:
      return 13;
    case U_SURROGATE:
      return 14;
    case U_PRIVATE_USE_CHAR:
      return 15;
    case U_MODIFIER_LETTER:
      return 17;
    case U_OTHER_LETTER:
      return 18;
    case U_CONNECTOR_PUNCTUATION:
      return 19;
    case U_DASH_PUNCTUATION:
      return 20;
    case U_START_PUNCTUATION:
      return 21;
    case U_END_PUNCTUATION:
      return 22;
    case U_INITIAL_PUNCTUATION:
      return 23;
    case U_FINAL_PUNCTUATION:
      return 24;
    case U_OTHER_PUNCTUATION:
      return 25;
    case U_MATH_SYMBOL:
      return 26;
    case U_CURRENCY_SYMBOL:
      return 27;
    case U_MODIFIER_SYMBOL:
      return 28;
    case U_OTHER_SYMBOL:
      return 29;
    default:
      return kNone;  // unassigned
  }
}

int bidiClass(UChar32 c) {
  switch (u_charDirection(c)) {
    case U_LEFT_TO_RIGHT:
      return 30;
    case U_LEFT_TO_RIGHT_EMBEDDING:
      return 31;
    case U_LEFT_TO_RIGHT_OVERRIDE:
      return 32;
    case U_RIGHT_TO_LEFT:
      return 33;
    case U_RIGHT_TO_LEFT_ARABIC:
      return 34;
    case U_RIGHT_TO_LEFT_EMBEDDING:
      return 35;
    case U_RIGHT_TO_LEFT_OVERRIDE:
      return 36;
    case U_POP_DIRECTIONAL_FORMAT:
      return 37;
    case U_EUROPEAN_NUMBER:
      return 38;
    case U_EUROPEAN_NUMBER_SEPARATOR:
      return 39;
    case U_EUROPEAN_NUMBER_TERMINATOR:
      return 40;
    case U_ARABIC_NUMBER:
      return 41;
    case U_COMMON_NUMBER_SEPARATOR:
      return 42;
    case U_BOUNDARY_NEUTRAL:
      return 43;
    case U_SEGMENT_SEPARATOR:
      return 44;
    case U_WHITE_SPACE_NEUTRAL:
      return 45;
    case U_OTHER_NEUTRAL:
      return 46;
    case U_BLOCK_SEPARATOR:
      return 11;  // paragraph separator
    default:
      return kNone;  // NSM and the isolates have no category
  }
}

bool isHangulSyllable(UChar32 c) { return c >= 0xAC00 && c <= 0xD7A3; }

struct Range {
  uint32_t first, last;
};

void put32(std::vector<uint8_t>& aOut, uint32_t aValue) {
  for (int i = 0; i < 4; ++i) aOut.push_back(static_cast<uint8_t>(aValue >> (8 * i)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.cpp\n", argv[0]);
    return 2;
  }
  std::vector<Range> ranges[kCategoryCount];
  auto include = [&](int aCategory, UChar32 c) {
    std::vector<Range>& list = ranges[aCategory];
    if (!list.empty() && list.back().last + 1 == static_cast<uint32_t>(c))
      list.back().last = static_cast<uint32_t>(c);
    else
      list.push_back({static_cast<uint32_t>(c), static_cast<uint32_t>(c)});
  };
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    const int general = generalCategory(c);
    if (general == kNone) continue;
    include(general, c);
    const int bidi = bidiClass(c);
    if (bidi != kNone && bidi != general) include(bidi, c);
    if (u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE) != U_DT_NONE && !isHangulSyllable(c)) include(47, c);
    include(54, c);
  }

  std::vector<uint8_t> bytes;
  int records = 0;
  for (int category = 0; category < kCategoryCount; ++category) {
    if (ranges[category].empty()) continue;
    ++records;
    bytes.push_back(static_cast<uint8_t>(category));
    put32(bytes, static_cast<uint32_t>(ranges[category].size()));
    for (const Range& range : ranges[category]) {
      put32(bytes, range.first);
      put32(bytes, range.last);
    }
  }

  FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  char unicodeVersion[U_MAX_VERSION_STRING_LENGTH];
  UVersionInfo version;
  u_getUnicodeVersion(version);
  u_versionToString(version, unicodeVersion);
  std::fprintf(out,
               "// Generated by scripts/gen-unicode-categories.sh from the character data of\n"
               "// ICU %s (Unicode %s): %d records, %zu bytes. Do not edit; run the script.\n"
               "#include \"indexes/qdllWideStringCategories.h\"\n\n"
               "namespace qd {\n\n"
               "namespace {\n\n"
               "constexpr uint8_t kCategoriesResource[%zu] = {\n",
               U_ICU_VERSION, unicodeVersion, records, bytes.size(), bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::fprintf(out, "%s0x%02X,%s", i % 16 == 0 ? "    " : " ", bytes[i],
                 i % 16 == 15 || i + 1 == bytes.size() ? "\n" : "");
  }
  std::fprintf(out,
               "};\n\n"
               "}  // namespace\n\n"
               "std::span<const uint8_t> qdWideCharCategoriesResource() { return kCategoriesResource; }\n\n"
               "}  // namespace qd\n");
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
