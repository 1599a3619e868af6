// The Unicode category table: whether a UTF-16 code unit belongs to at least
// one of a set of character categories (general categories, bidi classes,
// composed, assigned; TqdCharacterCategory in foundation/qdllWideString.h).
// The category separator token filter of the full-text engine asks it which
// units separate words.
//
// The data is a resource compiled into the program
// (qdllWideStringCategories_Data.cpp, written by
// scripts/gen-unicode-categories.sh from ICU's character data). Its layout,
// little-endian, one record per category up to the end of the resource:
//
//   offset  size  content
//   0       1     category ordinal, 0-54
//   1       4     signed count n of ranges, n >= 0
//   5       8n    n ranges: first code point, last code point (inclusive,
//                 both 32-bit)
//
// The generated resource has its records in ascending category order and
// each category's ranges sorted and apart; ccOtherUnassigned and the six
// categories ccNonBreaking to ccSpaceOther have no record and never match.
//
// The first lookup expands the resource into 256 pages of 256 category sets,
// one page per high byte of a unit; a page without data stays unmade and
// answers False. Ranges beyond U+FFFF are read but only their part up to
// U+FFFF enters the table; a range whose last code point is below its first
// adds nothing. The whole resource is checked before anything of it is
// used: a category above 54, a negative count or a record cut short raises
// EReadError and leaves the table unloaded, so that the next lookup tries
// again.
//
// State and threads: the table is process-wide, unloaded until the first
// lookup and then only read. qdCategoriesLoaded is read without the lock,
// then again under qdCategoriesPadlock, and set (release) only once the
// pages are complete, so a lookup that sees it set sees a whole table and
// takes no lock. The padlock lives as long as the process; the module's end
// frees the table (no lookup may run then), after which the next lookup
// loads it again.
#pragma once

#include <cstdint>
#include <span>

#include "dictionary/qdsdTypes.h"
#include "foundation/qdllWideString.h"

namespace qd {

// Category c is bit c. Stored (in filter descriptors) as its low 7 bytes.
using TqdCharacterCategories = TqdSet<TqdCharacterCategory, uint64_t>;

// One range of a category as read from the resource.
struct TqdRange {
  uint32_t rngStart = 0;
  uint32_t rngStop = 0;
};

// The resource compiled into the program.
std::span<const uint8_t> qdWideCharCategoriesResource();

// True when aChar belongs to at least one category of aCategories. Loads the
// compiled resource first when the table is not loaded.
bool qdWideCharInCategories(char16_t aChar, const TqdCharacterCategories& aCategories);

// Loads the table from aResource unless it is loaded already (then nothing
// happens). A resource that fails its check raises EReadError and leaves
// the table unloaded.
void qdLoadWideCharCategories(std::span<const uint8_t> aResource = qdWideCharCategoriesResource());

void qdllWideStringCategoriesInitialize();
void qdllWideStringCategoriesFinalize();

}  // namespace qd
