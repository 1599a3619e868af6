#include "tests/indexes/qdseBstarTreeFuzzHarness.h"

#include <functional>
#include <memory>
#include <stdexcept>

#include "storage/qdsrFaultFileSystem.h"
#include "tests/indexes/qdseIndexTestFixture.h"

namespace qd::test {

namespace {

constexpr uint32_t kBlockBytes = 4096;
constexpr int32_t kRecords = 400;
// Bounds walks over a damaged leaf chain that the engine failed to stop.
constexpr int32_t kMaxSteps = 3 * kRecords;
const char* const kName = "/db/index.qd1";

TqdTestIndexShapes shapes() { return {{9, idNone}, {33, idAll}}; }

std::vector<TqdKeyValue> valuesOf(const TqdBstarFuzzRecord& aRecord) { return {aRecord.Unique, aRecord.Grouped}; }

TqdBstarFuzzRecord fixtureRecord(int32_t aId) {
  const std::optional<uint64_t> grouped =
      aId % 50 == 0 ? std::nullopt : std::optional<uint64_t>(uint64_t(aId % 37) * 1000);
  return {aId, 0, uint64_t(aId) * 3, grouped};
}

// Runs aStep; an engine error is what damage should produce.
void attempt(const std::function<void()>& aStep) {
  try {
    aStep();
  } catch (const EqdBaseException&) {
  }
}

TqdFaultFileSystem& fileSystem() { return dynamic_cast<TqdFaultFileSystem&>(qdFileSystem()); }

struct TqdWalk {
  int32_t keys = 0;
  int32_t records = 0;
};

TqdKeyIteratorResult countKey(void* aCookie, TqdRefNr, PqdKeyBuffer) {
  return ++static_cast<TqdWalk*>(aCookie)->keys > kMaxSteps ? kirStop : kirContinue;
}

TqdRecordIteratorResult countRecord(void* aCookie, TqdRefNr, PqdRecordBuffer) {
  return ++static_cast<TqdWalk*>(aCookie)->records > kMaxSteps ? rirStop : rirContinue;
}

void readIndex(TqdIndexTestTable& aTable, int32_t aIndex) {
  TqdStaticKeyBstarTreeIndexEngine& tree = aTable.Tree(aIndex);
  uint32_t count = 0;
  attempt([&] { tree.GetKeyCount(nullptr, count); });
  std::unique_ptr<TqdBaseIndexPath> path(tree.CreateIndexPath());
  attempt([&] {
    path->Clear();
    for (int32_t step = 0; step < kMaxSteps && tree.NextKey(nullptr, path.get(), nullptr); ++step) {
    }
  });
  attempt([&] {
    path->Clear();
    for (int32_t step = 0; step < kMaxSteps && tree.PrevKey(nullptr, path.get(), nullptr); ++step) {
    }
  });
  std::vector<uint8_t> record = aTable.Record(0, {});
  PqdRecordBuffer data = record.data();
  // Keys below, inside and above the stored values, between them and null.
  const TqdKeyValue values[] = {0, 3, 150, 601, 1200, 36000, 5000000, std::nullopt};
  std::vector<std::vector<uint8_t>> keys;
  for (TqdKeyValue value : values) attempt([&] { keys.push_back(aTable.Key(aIndex, value)); });
  for (auto& key : keys) {
    for (int action = skaEqualFirst; action <= skaAnySmaller; ++action) {
      attempt([&] {
        (void)tree.FindKey(nullptr, key.data(), 0, 0, 0, path.get(), TqdSearchKeyAction(action), nullptr);
        (void)tree.NextKey(nullptr, path.get(), nullptr);
        (void)tree.PrevKey(nullptr, path.get(), nullptr);
        (void)tree.PrevKey(nullptr, path.get(), nullptr);
        tree.ValidateIndexPath(nullptr, path.get());
      });
    }
    attempt([&] {
      (void)tree.FindKey(nullptr, key.data(), 0, 0, 0, path.get(), skaGreaterEqual, nullptr);
      uint32_t recNo = 0;
      (void)tree.RecNoGet(nullptr, path.get(), {}, {}, nullptr, nullptr, recNo, false);
      (void)tree.RecNoGet(nullptr, path.get(), {}, {}, nullptr, nullptr, recNo, true);
    });
  }
  for (uint32_t recNo : {0u, 1u, count / 2, count, count + 1}) {
    attempt([&] { (void)tree.RecNoSet(nullptr, recNo, path.get(), {}, {}, nullptr, nullptr, recNo % 2 != 0); });
  }
  // Ranges: the whole index, and between two of the keys.
  std::vector<std::pair<TqdRangeInfo, TqdRangeInfo>> ranges;
  ranges.emplace_back(TqdRangeInfo{}, TqdRangeInfo{});
  if (keys.size() >= 5) {
    TqdRangeInfo start;
    start.riKey = keys[1].data();
    start.riValid = true;
    TqdRangeInfo end;
    end.riKey = keys[4].data();
    end.riValid = true;
    end.riExclusive = true;
    ranges.emplace_back(start, end);
    ranges.emplace_back(end, start);
  }
  for (const auto& range : ranges) {
    // Clang 14 cannot capture structured bindings.
    const TqdRangeInfo& start = range.first;
    const TqdRangeInfo& end = range.second;
    for (bool backward : {false, true}) {
      attempt([&] {
        TqdWalk walk;
        if (backward)
          tree.IterateBackward(nullptr, path.get(), &data, countKey, countRecord, &walk, start, end, nullptr, nullptr,
                               false);
        else
          tree.Iterate(nullptr, path.get(), &data, countKey, countRecord, &walk, start, end, nullptr, nullptr, false);
      });
      attempt([&] {
        uint32_t estimate = 0;
        (void)tree.EstimateRecordCount(nullptr, start, end, estimate, backward);
      });
      attempt([&] {
        uint32_t recNo = 0;
        (void)tree.RecNoSet(nullptr, 3, path.get(), start, end, nullptr, nullptr, backward);
        (void)tree.RecNoGet(nullptr, path.get(), start, end, nullptr, nullptr, recNo, backward);
      });
    }
  }
}

void change(TqdIndexTestTable& aTable, const std::function<void(TqdBaseTransaction*)>& aChange) {
  auto trans = aTable.Begin();
  try {
    aChange(trans.get());
    trans->Commit();
  } catch (const EqdBaseException&) {
    if (!trans->Finished()) trans->Rollback();
  }
}

void exercise(const TqdBstarFuzzFixture& aFixture, const std::vector<uint8_t>& aBytes) {
  TqdIndexTestTable table(shapes());
  table.Create();
  table.Close();
  fileSystem().WriteAll(kName, aBytes);
  try {
    table.Reopen();
  } catch (const EqdBaseException&) {
    return;
  }
  for (int32_t index = 0; index < table.IndexCount(); ++index) readIndex(table, index);
  const std::vector<TqdBstarFuzzRecord>& records = aFixture.bfRecords;
  change(table, [&](TqdBaseTransaction* aTrans) {
    for (int32_t id = kRecords + 1; id <= kRecords + 24; ++id) {
      TqdRefNr refNr = 0;
      (void)table.AddRecord(aTrans, id, valuesOf(fixtureRecord(id)), refNr);
    }
  });
  change(table, [&](TqdBaseTransaction* aTrans) {
    for (size_t i = 0; i < records.size(); i += 8) {
      std::vector<uint8_t> record = table.Record(records[i].Id, valuesOf(records[i]));
      (void)table.Indices().DeleteKeys(aTrans, records[i].RefNr, record.data(), nullptr);
      table.Records().DeleteRecord(aTrans, records[i].RefNr);
    }
  });
  change(table, [&](TqdBaseTransaction* aTrans) {
    for (size_t i = 1; i < records.size(); i += 12) {
      std::vector<uint8_t> before = table.Record(records[i].Id, valuesOf(records[i]));
      std::vector<uint8_t> after = table.Record(records[i].Id, {uint64_t(records[i].Id) * 3 + 1, 77});
      table.Records().UpdateRecord(aTrans, records[i].RefNr, after.data(), nullptr);
      (void)table.Indices().UpdateKeys(aTrans, records[i].RefNr, before.data(), records[i].RefNr, after.data(),
                                       nullptr);
    }
  });
  for (int32_t index = 0; index < table.IndexCount(); ++index) {
    attempt([&] {
      uint32_t count = 0;
      table.Tree(index).GetKeyCount(nullptr, count);
    });
  }
  for (int32_t index = 0; index < table.IndexCount(); ++index)
    change(table, [&](TqdBaseTransaction* aTrans) { table.Tree(index).DeleteAllKeys(aTrans); });
  table.Close();
  table.Cache().CheckInvariants();
}

}  // namespace

const TqdBstarFuzzFixture& BstarTreeFixture() {
  static const TqdBstarFuzzFixture result = [] {
    TqdBstarFuzzFixture made;
    TqdIndexTestTable table(shapes());
    table.Create();
    auto trans = table.Begin();
    for (int32_t id = 1; id <= kRecords; ++id) {
      TqdBstarFuzzRecord record = fixtureRecord(id);
      if (table.AddRecord(trans.get(), id, valuesOf(record), record.RefNr) != 0)
        throw std::logic_error("the fuzz fixture's keys do not insert");
      made.bfRecords.push_back(record);
    }
    trans->Commit();
    table.Close();
    made.bfBytes = fileSystem().ReadAll(kName);
    return made;
  }();
  return result;
}

void FuzzBstarTreeInput(const uint8_t* aData, size_t aSize) {
  const TqdBstarFuzzFixture& made = BstarTreeFixture();
  std::vector<uint8_t> bytes = made.bfBytes;
  for (size_t position = 0; position + 4 <= aSize; position += 4) {
    const size_t offset =
        size_t(aData[position]) | size_t(aData[position + 1]) << 8 | size_t(aData[position + 2]) << 16;
    bytes[kBlockBytes + offset % (bytes.size() - kBlockBytes)] = aData[position + 3];
  }
  try {
    exercise(made, bytes);
  } catch (const EqdBaseException&) {
    // Opening or closing the table itself may refuse the damage.
  }
}

}  // namespace qd::test
