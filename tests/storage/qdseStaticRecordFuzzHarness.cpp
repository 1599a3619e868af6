#include "tests/storage/qdseStaticRecordFuzzHarness.h"

#include <functional>
#include <memory>

#include "dictionary/qdsdDataDictionary.h"
#include "storage/qdseRecordEngineStatic.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {

namespace {

constexpr uint32_t kBlockBytes = 4096;
constexpr int32_t kRecords = 200;
// Bounds the walks of a damaged chain that the engine failed to stop.
constexpr int32_t kMaxSteps = 4 * kRecords;

TqdDataDictionary& dictionary() {
  static TqdDataDictionary* made = [] {
    auto* result = new TqdDataDictionary();
    result->FieldsDescriptor()->AddField(u"Id", u"", qdtInt32, 0, 0, true);
    result->FieldsDescriptor()->AddField(u"Text", u"", qdtWideString, 40, 0, false);
    result->FieldsDescriptor()->AddField(u"Ref", u"", qdtRefNr, 0, 0, false);
    return result;
  }();
  return *made;
}

std::vector<uint8_t> record(int32_t aId) {
  TqdFieldsDescriptor* fields = dictionary().FieldsDescriptor();
  std::vector<uint8_t> result(size_t(fields->RecordLength()) + 8, 0);
  fields->InitRecord(result.data());
  fields->SetRecordField(0, result.data(), &aId);
  return result;
}

// Runs aStep; an engine error is what damage should produce.
void attempt(const std::function<void()>& aStep) {
  try {
    aStep();
  } catch (const EqdBaseException&) {
  }
}

TqdRecordIteratorResult countVisit(void* aCookie, TqdRefNr, PqdRecordBuffer) {
  return ++*static_cast<int32_t*>(aCookie) > kMaxSteps ? rirStop : rirContinue;
}

void exercise(const TqdStaticRecordFixture& aFixture) {
  TqdBufferManager cache(u"/tmp");
  auto table = TqdTestTable::Open(&cache, kStaticRecordFixtureName);
  TqdBlockAccessList files = {&table->Access()};
  std::unique_ptr<TqdBaseRecordEngine> engine;
  attempt([&] { engine.reset(TqdBaseRecordEngine::CreateEngine(&dictionary(), files, nullptr)); });
  if (!engine) return;
  std::vector<uint8_t> buffer = record(0);
  uint32_t count = 0;
  attempt([&] { engine->GetRecordCount(nullptr, count); });
  for (bool withBuffer : {true, false}) {
    for (bool backward : {false, true}) {
      attempt([&] {
        int32_t visits = 0;
        TqdRefNr refNr = 0;
        PqdRecordBuffer data = withBuffer ? buffer.data() : nullptr;
        if (backward)
          engine->IterateBackward(nullptr, refNr, &data, countVisit, &visits, nullptr, false, false);
        else
          engine->Iterate(nullptr, refNr, &data, countVisit, &visits, nullptr, false, false);
      });
    }
  }
  for (bool backward : {false, true}) {
    attempt([&] {
      TqdRefNr from = 0;
      for (int32_t step = 0; step < kMaxSteps; ++step) {
        TqdRefNr next = 0;
        if (backward)
          engine->ReadPrevRecord(nullptr, from, next, buffer.data());
        else
          engine->ReadNextRecord(nullptr, from, next, buffer.data());
        if (next == 0) break;
        from = next;
      }
    });
  }
  std::vector<TqdRefNr> refs = aFixture.srLive;
  refs.insert(refs.end(), aFixture.srDeleted.begin(), aFixture.srDeleted.end());
  refs.push_back(0);
  refs.push_back(qdMakeStaticRefNr(1, 0));
  refs.push_back(qdMakeStaticRefNr(0, 1));
  refs.push_back(qdMakeStaticRefNr(5000, 1));
  for (TqdRefNr refNr : refs) {
    attempt([&] { engine->ReadRecord(nullptr, refNr, buffer.data()); });
    attempt([&] {
      int32_t visits = 0;
      PqdRecordBuffer data = nullptr;
      (void)engine->ReadRecordForIterate(nullptr, refNr, &data, countVisit, &visits, nullptr);
    });
  }
  for (size_t i = 0; i < aFixture.srLive.size(); i += 37) {
    attempt([&] {
      uint32_t recNo = 0;
      (void)engine->RecNoGet(nullptr, aFixture.srLive[i], nullptr, recNo, (i & 1) != 0);
    });
  }
  for (uint32_t recNo : {0u, 1u, count / 2, count, count + 1}) {
    attempt([&] {
      TqdRefNr refNr = 0;
      (void)engine->RecNoSet(nullptr, recNo, refNr, nullptr, recNo % 2 != 0);
    });
  }
  const TqdBlockNumber blocks = TqdBlockNumber(aFixture.srBytes.size() / kBlockBytes);
  for (TqdBlockNumber n = 1; n < blocks; ++n) {
    attempt([&] {
      int32_t visits = 0;
      PqdRecordBuffer data = buffer.data();
      (void)engine->RecoverIterate(aFixture.srBytes.data() + size_t(n) * kBlockBytes, n, &data, countVisit, &visits);
    });
  }
  const std::function<void(TqdBaseTransaction*)> changes[] = {
      [&](TqdBaseTransaction* aTrans) {
        for (int32_t id = 1000; id < 1024; ++id) {
          std::vector<uint8_t> added = record(id);
          TqdRefNr refNr = 0;
          engine->AddRecord(aTrans, refNr, added.data());
        }
      },
      [&](TqdBaseTransaction* aTrans) {
        for (size_t i = 0; i < aFixture.srLive.size(); i += 6) engine->DeleteRecord(aTrans, aFixture.srLive[i]);
      },
      [&](TqdBaseTransaction* aTrans) {
        std::vector<uint8_t> old = record(0);
        for (size_t i = 1; i < aFixture.srLive.size(); i += 9) {
          std::vector<uint8_t> changed = record(int32_t(i) + 5000);
          engine->UpdateRecord(aTrans, aFixture.srLive[i], changed.data(), old.data());
        }
      },
      [&](TqdBaseTransaction* aTrans) { engine->DeleteRecord(aTrans, aFixture.srDeleted.front()); },
  };
  for (const auto& change : changes) {
    TqdTestTransaction trans(&cache);
    try {
      change(&trans);
      trans.Commit();
    } catch (const EqdBaseException&) {
      engine->Rollback(&trans);
      if (!trans.Finished()) trans.Rollback();
    }
  }
  engine.reset();
  cache.CheckInvariants();
}

}  // namespace

const TqdStaticRecordFixture& StaticRecordFixture() {
  static const TqdStaticRecordFixture result = [] {
    TqdStaticRecordFixture made;
    TqdFaultFixture fault;
    TqdBufferManager cache(u"/tmp");
    {
      auto table = TqdTestTable::Create(&cache, kStaticRecordFixtureName);
      TqdBlockAccessList files = {&table->Access()};
      TqdTestTransaction trans(&cache);
      std::unique_ptr<TqdBaseRecordEngine> engine(TqdBaseRecordEngine::CreateEngine(&dictionary(), files, &trans));
      made.srSection = static_cast<TqdStaticRecordEngine&>(*engine).HeaderSection();
      std::vector<TqdRefNr> all;
      for (int32_t id = 1; id <= kRecords; ++id) {
        std::vector<uint8_t> added = record(id);
        TqdRefNr refNr = 0;
        engine->AddRecord(&trans, refNr, added.data());
        all.push_back(refNr);
      }
      for (size_t i = 0; i < all.size(); ++i) {
        if (i % 7 == 3) {
          engine->DeleteRecord(&trans, all[i]);
          made.srDeleted.push_back(all[i]);
        } else {
          made.srLive.push_back(all[i]);
        }
      }
      trans.Commit();
      engine.reset();
    }
    made.srBytes = fault.Fs().ReadAll(kStaticRecordFixtureName);
    return made;
  }();
  return result;
}

void FuzzStaticRecordInput(const uint8_t* aData, size_t aSize) {
  const TqdStaticRecordFixture& made = StaticRecordFixture();
  std::vector<uint8_t> bytes = made.srBytes;
  for (size_t position = 0; position + 4 <= aSize; position += 4) {
    const uint32_t offset =
        uint32_t(aData[position]) | uint32_t(aData[position + 1]) << 8 | uint32_t(aData[position + 2]) << 16;
    const size_t target = (offset & 0x800000) != 0 ? made.srSection + (offset & 0x7FFFFF) % 20
                                                   : kBlockBytes + offset % (bytes.size() - kBlockBytes);
    bytes[target] = aData[position + 3];
  }
  TqdFaultFixture fault;
  fault.Fs().WriteAll(kStaticRecordFixtureName, bytes);
  try {
    exercise(made);
  } catch (const EqdBaseException&) {
    // Opening the table itself may refuse the damage.
  }
}

}  // namespace qd::test
