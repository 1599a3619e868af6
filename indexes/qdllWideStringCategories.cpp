#include "indexes/qdllWideStringCategories.h"

#include <array>
#include <atomic>
#include <memory>
#include <vector>

#include "foundation/qdllSync.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdStream.h"

namespace qd {

namespace {

constexpr int kCategoryCount = 55;
constexpr size_t kRecordHeaderSize = 5;
constexpr size_t kRangeSize = 8;

// The category sets of the 256 units of one high byte, as 64-bit masks.
struct TqdCategoriesArray {
  std::array<uint64_t, 256> Sets{};
};

using TqdCategoryPages = std::array<std::unique_ptr<TqdCategoriesArray>, 256>;
using TqdRangeArray = std::vector<TqdRange>;
using TqdCategoryRanges = std::array<TqdRangeArray, kCategoryCount>;

// Written only under the padlock while the flag is clear; read without it
// once the flag is set.
TqdCategoryPages qdCategoryPages;
TqdCategoryRanges qdCategoryRanges;
std::atomic<bool> qdCategoriesLoaded{false};

// Lives as long as the process, so that a lookup never meets it unmade.
TqdPadlock& qdCategoriesPadlock() {
  static TqdPadlock padlock(false);
  return padlock;
}

[[noreturn]] void resourceError() { throw EReadError(qdString(SReadError)); }

// The ranges of every record, checked whole before any of it is used.
TqdCategoryRanges readResource(std::span<const uint8_t> aResource) {
  TqdCategoryRanges ranges;
  size_t position = 0;
  while (position < aResource.size()) {
    if (aResource.size() - position < kRecordHeaderSize) resourceError();
    const uint8_t category = aResource[position];
    const int32_t count = qdGetI32(&aResource[position + 1]);
    position += kRecordHeaderSize;
    if (category >= kCategoryCount || count < 0) resourceError();
    if (static_cast<size_t>(count) > (aResource.size() - position) / kRangeSize) resourceError();
    TqdRangeArray& list = ranges[category];
    list.resize(static_cast<size_t>(count));
    for (TqdRange& range : list) {
      range.rngStart = qdGetU32(&aResource[position]);
      range.rngStop = qdGetU32(&aResource[position + 4]);
      position += kRangeSize;
    }
  }
  return ranges;
}

void expand(const TqdRangeArray& aRanges, uint64_t aBit, TqdCategoryPages& aPages) {
  for (const TqdRange& range : aRanges) {
    if (range.rngStop < range.rngStart || range.rngStart > 0xFFFF) continue;
    const uint32_t stop = range.rngStop > 0xFFFF ? 0xFFFF : range.rngStop;
    for (uint32_t c = range.rngStart; c <= stop; ++c) {
      std::unique_ptr<TqdCategoriesArray>& page = aPages[c >> 8];
      if (!page) page = std::make_unique<TqdCategoriesArray>();
      page->Sets[c & 0xFF] |= aBit;
    }
  }
}

}  // namespace

void qdLoadWideCharCategories(std::span<const uint8_t> aResource) {
  if (qdCategoriesLoaded.load(std::memory_order_acquire)) return;
  TqdPadlockGuard guard(qdCategoriesPadlock());
  if (qdCategoriesLoaded.load(std::memory_order_relaxed)) return;
  // Built aside: a failure leaves the table as it was, unloaded.
  TqdCategoryRanges ranges = readResource(aResource);
  TqdCategoryPages pages;
  for (int category = 0; category < kCategoryCount; ++category)
    expand(ranges[static_cast<size_t>(category)], uint64_t(1) << category, pages);
  qdCategoryPages = std::move(pages);
  qdCategoryRanges = std::move(ranges);
  qdCategoriesLoaded.store(true, std::memory_order_release);
}

bool qdWideCharInCategories(char16_t aChar, const TqdCharacterCategories& aCategories) {
  if (!qdCategoriesLoaded.load(std::memory_order_acquire)) qdLoadWideCharCategories();
  const TqdCategoriesArray* page = qdCategoryPages[aChar >> 8].get();
  if (page == nullptr) return false;
  return (page->Sets[aChar & 0xFF] & aCategories.Bits()) != 0;
}

// The table loads on the first lookup.
void qdllWideStringCategoriesInitialize() {}

void qdllWideStringCategoriesFinalize() {
  TqdPadlockGuard guard(qdCategoriesPadlock());
  qdCategoriesLoaded.store(false, std::memory_order_release);
  for (auto& page : qdCategoryPages) page.reset();
  for (TqdRangeArray& ranges : qdCategoryRanges) TqdRangeArray().swap(ranges);
}

}  // namespace qd
