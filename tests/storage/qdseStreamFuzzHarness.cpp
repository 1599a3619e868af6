#include "tests/storage/qdseStreamFuzzHarness.h"

#include <functional>
#include <memory>

#include "foundation/qdllStreams.h"
#include "storage/qdseStreamEngineSimple.h"
#include "storage/qdsrDataDictionary.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {

namespace {

constexpr uint32_t kBlockBytes = 4096;

struct TqdStreamFixture {
  std::vector<uint8_t> sfBytes;
  uint32_t sfNumbered = 0;
  uint16_t sfSection = 0;
};

const TqdStreamFixture& fixture() {
  static const TqdStreamFixture result = [] {
    TqdStreamFixture made;
    TqdFaultFixture fault;
    TqdBufferManager cache(u"/tmp");
    {
      auto table = TqdTestTable::Create(&cache, kStreamFixtureName);
      TqdTestTransaction trans(&cache);
      TqdSimpleStreamEngine engine(nullptr, &table->Access(), &trans);
      made.sfSection = engine.HeaderSection();
      auto content = [](uint32_t aSize, uint8_t aSeed) {
        auto stream = std::make_unique<TqdMemoryStream>(-1);
        for (uint32_t i = 0; i < aSize; ++i) {
          const uint8_t value = uint8_t(aSeed + i);
          stream->WriteBuffer(&value, 1);
        }
        return stream;
      };
      (void)engine.WriteNamedStream(&trans, u"DICT", *content(5000, 1));
      (void)engine.WriteNamedStream(&trans, u"alpha", *content(10, 2));
      (void)engine.WriteNamedStream(&trans, u"beta", *content(0, 3));
      (void)engine.WriteNamedStream(&trans, u"gamma", *content(4100, 4));
      engine.WriteStream(&trans, made.sfNumbered, *content(9000, 5), true, qdSignature("USER"));
      trans.Commit();
    }
    made.sfBytes = fault.Fs().ReadAll(kStreamFixtureName);
    return made;
  }();
  return result;
}

// Runs aStep; an engine error is what damage should produce.
void attempt(const std::function<void()>& aStep) {
  try {
    aStep();
  } catch (const EqdBaseException&) {
  }
}

void exercise(uint32_t aNumbered) {
  TqdBufferManager cache(u"/tmp");
  auto table = TqdTestTable::Open(&cache, kStreamFixtureName);
  std::unique_ptr<TqdSimpleStreamEngine> engine;
  attempt([&] { engine = std::make_unique<TqdSimpleStreamEngine>(nullptr, &table->Access(), nullptr); });
  if (!engine) return;
  TqdMemoryStream stream(-1);
  for (const char16_t* name : {u"DICT", u"alpha", u"beta", u"gamma", u"missing"})
    attempt([&] { (void)engine->ReadNamedStream(nullptr, name, stream); });
  attempt([&] {
    TqdStringList names;
    (void)engine->GetNamedStreamList(nullptr, names);
  });
  attempt([&] {
    uint32_t count = 0;
    (void)engine->GetNamedStreamCount(nullptr, count);
  });
  attempt([&] { engine->ReadStream(nullptr, aNumbered, stream); });
  attempt([&] {
    TqdServerDataDict dictionary;
    dictionary.ReadFromFile(engine.get(), nullptr);
  });
  const std::function<void(TqdBaseTransaction*)> changes[] = {
      [&](TqdBaseTransaction* aTrans) { (void)engine->WriteNamedStream(aTrans, u"delta", stream); },
      [&](TqdBaseTransaction* aTrans) { (void)engine->DeleteNamedStream(aTrans, u"beta"); },
      [&](TqdBaseTransaction* aTrans) { (void)engine->WriteNamedStream(aTrans, u"gamma", stream); },
      [&](TqdBaseTransaction* aTrans) { (void)engine->WriteNamedStream(aTrans, u"DICT", stream); },
      [&](TqdBaseTransaction* aTrans) { engine->DeleteStream(aTrans, aNumbered); },
  };
  for (const auto& change : changes) {
    TqdTestTransaction trans(&cache);
    try {
      change(&trans);
      trans.Commit();
    } catch (const EqdBaseException&) {
      trans.Rollback();
    }
  }
  engine.reset();
  cache.CheckInvariants();
}

}  // namespace

const std::vector<uint8_t>& StreamFixture() { return fixture().sfBytes; }

uint32_t StreamFixtureNumbered() { return fixture().sfNumbered; }

void FuzzStreamInput(const uint8_t* aData, size_t aSize) {
  const TqdStreamFixture& made = fixture();
  std::vector<uint8_t> bytes = made.sfBytes;
  for (size_t position = 0; position + 4 <= aSize; position += 4) {
    const uint32_t offset =
        uint32_t(aData[position]) | uint32_t(aData[position + 1]) << 8 | uint32_t(aData[position + 2]) << 16;
    const size_t target =
        (offset & 0x800000) != 0 ? made.sfSection + (offset & 7) : kBlockBytes + offset % (bytes.size() - kBlockBytes);
    bytes[target] = aData[position + 3];
  }
  TqdFaultFixture fault;
  fault.Fs().WriteAll(kStreamFixtureName, bytes);
  try {
    exercise(made.sfNumbered);
  } catch (const EqdBaseException&) {
    // Opening the table itself may refuse the damage.
  }
}

}  // namespace qd::test
