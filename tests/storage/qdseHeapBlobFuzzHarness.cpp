#include "tests/storage/qdseHeapBlobFuzzHarness.h"

#include <functional>
#include <memory>

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "foundation/qdllStreams.h"
#include "storage/qdseBlobEngineSegmented.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {

namespace {

constexpr uint32_t kBlockBytes = 4096;

struct TqdHeapBlobFixture {
  std::vector<uint8_t> hbfBytes;
  std::vector<TqdBlobNr> hbfBlobs;
  uint16_t hbfSection = 0;
};

// The descriptor the fixture's engine is made from, kept for the process.
TqdHeapBlobDescriptor* descriptor() {
  static TqdDataDictionary* dictionary = [] {
    auto* made = new TqdDataDictionary();
    auto* blob = static_cast<TqdHeapBlobDescriptor*>(made->AddBlobDescriptor());
    blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
    return made;
  }();
  return static_cast<TqdHeapBlobDescriptor*>(dictionary->BlobDescriptor());
}

std::vector<uint8_t> content(uint32_t aSize, uint8_t aSeed) {
  std::vector<uint8_t> bytes(aSize);
  for (uint32_t i = 0; i < aSize; ++i) bytes[i] = uint8_t(aSeed + i * 13 + i / 7);
  return bytes;
}

const TqdHeapBlobFixture& fixture() {
  static const TqdHeapBlobFixture result = [] {
    TqdHeapBlobFixture made;
    TqdFaultFixture fault;
    TqdBufferManager cache(u"/tmp");
    {
      auto table = TqdTestTable::Create(&cache, kHeapBlobFixtureName);
      TqdTestTransaction trans(&cache);
      std::unique_ptr<TqdBaseBlobEngine> engine(
          TqdBaseBlobEngine::CreateEngine(descriptor(), {&table->Access()}, &trans));
      made.hbfSection = static_cast<TqdSegmentedBlobEngine&>(*engine).HeaderSection();
      for (uint32_t size : {7u, 900u, 30000u, 300000u, 0u}) {
        TqdBlobNr number = 0;
        engine->AddBlob(&trans, number);
        const std::vector<uint8_t> bytes = content(size, uint8_t(size));
        engine->Write(&trans, number, 0, size, bytes.data());
        made.hbfBlobs.push_back(number);
      }
      TqdBlobNr link = 0;
      engine->AddBlobLink(&trans, u"Other", 99, link);
      made.hbfBlobs.push_back(link);
      TqdBlobNr file = 0;
      engine->AddFileBlob(&trans, u"figure.png", file);
      made.hbfBlobs.push_back(file);
      engine.reset();
      trans.Commit();
    }
    made.hbfBytes = fault.Fs().ReadAll(kHeapBlobFixtureName);
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

void exercise(const std::vector<TqdBlobNr>& aBlobs) {
  TqdBufferManager cache(u"/tmp");
  auto table = TqdTestTable::Open(&cache, kHeapBlobFixtureName);
  std::unique_ptr<TqdBaseBlobEngine> engine;
  attempt([&] { engine.reset(TqdBaseBlobEngine::CreateEngine(descriptor(), {&table->Access()}, nullptr)); });
  if (!engine) return;
  const TqdBlobLinkRead reader = [](const qdString&, TqdBlobNr, uint32_t, uint32_t, TStream&) -> TqdResult {
    return 0;
  };
  const TqdBlobLinkGetLength measurer = [](const qdString&, TqdBlobNr, uint32_t& aLength) -> TqdResult {
    aLength = 0;
    return 0;
  };
  for (TqdBlobNr blob : aBlobs) {
    attempt([&] {
      uint32_t length = 0;
      (void)engine->GetBlobLength(nullptr, blob, measurer, length);
      TqdMemoryStream stream(-1);
      (void)engine->Read(nullptr, blob, 0, 0xFFFFFFFF, reader, stream);
      (void)engine->Read(nullptr, blob, length / 2, 5000, reader, stream);
    });
    attempt([&] {
      qdString name;
      TqdBlobNr source = 0;
      (void)engine->IsFileBlob(nullptr, blob, name);
      (void)engine->IsBlobLink(nullptr, blob, name, source);
    });
  }
  const std::vector<uint8_t> bytes = content(20000, 3);
  const std::function<void(TqdBaseTransaction*, TqdBlobNr)> changes[] = {
      [&](TqdBaseTransaction* aTrans, TqdBlobNr aBlob) {
        uint32_t length = 0;
        (void)engine->GetBlobLength(aTrans, aBlob, measurer, length);
        engine->Write(aTrans, aBlob, length, uint32_t(bytes.size()), bytes.data());
      },
      [&](TqdBaseTransaction* aTrans, TqdBlobNr aBlob) { engine->Write(aTrans, aBlob, 0, 100, bytes.data()); },
      [&](TqdBaseTransaction* aTrans, TqdBlobNr aBlob) {
        uint32_t length = 0;
        (void)engine->GetBlobLength(aTrans, aBlob, measurer, length);
        engine->Truncate(aTrans, aBlob, length / 3);
      },
      [&](TqdBaseTransaction* aTrans, TqdBlobNr aBlob) { engine->DeleteBlob(aTrans, aBlob); },
      [&](TqdBaseTransaction* aTrans, TqdBlobNr) {
        TqdBlobNr fresh = 0;
        engine->AddBlob(aTrans, fresh);
        engine->Write(aTrans, fresh, 0, 9000, bytes.data());
      },
  };
  for (TqdBlobNr blob : aBlobs) {
    for (const auto& change : changes) {
      TqdTestTransaction trans(&cache);
      try {
        change(&trans, blob);
        trans.Commit();
      } catch (const EqdBaseException&) {
        trans.Rollback();
        engine->Rollback(&trans);
      }
    }
  }
  engine.reset();
  cache.CheckInvariants();
}

}  // namespace

const std::vector<uint8_t>& HeapBlobFixture() { return fixture().hbfBytes; }

void FuzzHeapBlobInput(const uint8_t* aData, size_t aSize) {
  const TqdHeapBlobFixture& made = fixture();
  std::vector<uint8_t> bytes = made.hbfBytes;
  for (size_t position = 0; position + 4 <= aSize; position += 4) {
    const uint32_t offset =
        uint32_t(aData[position]) | uint32_t(aData[position + 1]) << 8 | uint32_t(aData[position + 2]) << 16;
    const size_t target =
        (offset & 0x800000) != 0 ? made.hbfSection + (offset & 3) : kBlockBytes + offset % (bytes.size() - kBlockBytes);
    bytes[target] = aData[position + 3];
  }
  TqdFaultFixture fault;
  fault.Fs().WriteAll(kHeapBlobFixtureName, bytes);
  try {
    exercise(made.hbfBlobs);
  } catch (const EqdBaseException&) {
    // Opening the table itself may refuse the damage.
  }
}

}  // namespace qd::test
