#include "tests/server/qdsrSettingsStreamFuzzHarness.h"

#include <algorithm>
#include <stdexcept>

#include "foundation/qdllStreams.h"
#include "foundation/qdllTypes.h"
#include "server/qdsrServerEngine.h"
#include "storage/qdsrBufferManager.h"

namespace qd::test {

namespace {

constexpr char16_t kEngineName[] = u"ServerEngine";
constexpr char16_t kAliasesName[] = u"Aliases";

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(TqdCustomMemoryStream& aStream) {
  return Bytes(aStream.ByteArray(), aStream.ByteArray() + aStream.Size());
}

// What every component writes first: the version and its name.
Bytes prefixOf(const qdString& aName) {
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    writer.WriteInteger(1);
    writer.WriteString(aName);
  }
  return bytesOf(stream);
}

Bytes saved(TqdComponent& aComponent) {
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    aComponent.SaveSettingsToStream(writer);
  }
  return bytesOf(stream);
}

void load(TqdComponent& aComponent, Bytes& aBytes) {
  TqdStaticMemoryStream stream(aBytes.data(), static_cast<int32_t>(aBytes.size()));
  TqdReader reader(&stream);
  aComponent.LoadSettingsFromStream(reader);
}

template <class T>
T* created(const char16_t* aName) {
  T* component = qdCreate<T>(nullptr);
  component->SetName(aName);
  return component;
}

// Frees the harness's components however an input ends.
template <class T>
struct Owned {
  T* Component;
  explicit Owned(T* aComponent) : Component(aComponent) {}
  ~Owned() { qdFreeAndNil(Component); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
};

// Puts the process-wide journal engine class back, which the engine's
// settings replace.
struct JournalClassGuard {
  const TqdJournalEngineClass* Saved = qdJournalEngineClass.load();
  ~JournalClassGuard() { qdJournalEngineClass.store(Saved); }
};

template <class T>
void fuzzComponent(const char16_t* aName, const uint8_t* aData, size_t aSize) {
  // An exact-size copy behind the prefix, so that the sanitizer sees any
  // read past its end.
  Bytes bytes = prefixOf(aName);
  bytes.insert(bytes.end(), aData, aData + aSize);
  Owned<T> first(created<T>(aName));
  try {
    load(*first.Component, bytes);
  } catch (const EqdBaseException&) {
    return;
  } catch (const EReadError&) {
    return;
  }
  Bytes again = saved(*first.Component);
  Owned<T> copy(created<T>(aName));
  load(*copy.Component, again);
  if (saved(*copy.Component) != again) throw std::logic_error("settings written again read back different");
}

template <class T>
Bytes inputOf(T& aComponent, const char16_t* aName, uint8_t aSelector) {
  aComponent.SetName(aName);
  const Bytes all = saved(aComponent);
  const Bytes prefix = prefixOf(aName);
  if (all.size() < prefix.size() || !std::equal(prefix.begin(), prefix.end(), all.begin()))
    throw std::logic_error("settings do not start with the version and the name");
  Bytes input{aSelector};
  input.insert(input.end(), all.begin() + static_cast<std::ptrdiff_t>(prefix.size()), all.end());
  return input;
}

}  // namespace

void FuzzSettingsStreamInput(const uint8_t* aData, size_t aSize) {
  if (aSize == 0) return;
  JournalClassGuard journal;
  if ((aData[0] & 1) == 0)
    fuzzComponent<TqdServerEngine>(kEngineName, aData + 1, aSize - 1);
  else
    fuzzComponent<TqdSimpleAliasHandler>(kAliasesName, aData + 1, aSize - 1);
}

Bytes SettingsStreamInput(TqdServerEngine& aComponent) { return inputOf(aComponent, kEngineName, 0); }

Bytes SettingsStreamInput(TqdSimpleAliasHandler& aComponent) { return inputOf(aComponent, kAliasesName, 1); }

}  // namespace qd::test
