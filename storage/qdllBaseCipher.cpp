#include "storage/qdllBaseCipher.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "platform/qdFormat.h"
#include "platform/qdStrings.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdllBaseCipher";

std::string upperAscii(const std::string& aName) {
  std::string result = aName;
  for (char& c : result)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return result;
}

std::string priorityKey(uint32_t aPriority) {
  char buffer[9];
  std::snprintf(buffer, sizeof buffer, "%08X", aPriority);
  return buffer;
}

// Name (upper case) → (shown name, entries sorted by priority text).
struct TqdKeyWrapName {
  std::string kwName;
  std::vector<std::pair<std::string, TqdCipherClass>> kwEntries;
};
std::unique_ptr<std::map<std::string, TqdKeyWrapName>> keyWraps;

struct TqdAltRegistry {
  TqdPadlock arLock;
  std::vector<TqdCipherClass> arClasses QD_GUARDED_BY(arLock);
  TqdCipherClass arCurrent QD_GUARDED_BY(arLock) = nullptr;
  int32_t arLockCount QD_GUARDED_BY(arLock) = 0;
  bool arPending QD_GUARDED_BY(arLock) = false;

  void PickBest() QD_REQUIRES(arLock) {
    if (arCurrent != nullptr) return;
    for (TqdCipherClass cls : arClasses)
      if (arCurrent == nullptr || cls->ciAltPriority > arCurrent->ciAltPriority) arCurrent = cls;
  }
};

TqdAltRegistry& altRegistry() {
  static TqdAltRegistry* registry = new TqdAltRegistry;
  return *registry;
}

[[noreturn]] void raiseNoAlt() {
  throw EqdBaseCipherException(qdeNotSupported, u"No alternative mode cipher class registered");
}

}  // namespace

void TqdBaseCipher::GenerateRandom(void* aData, uint32_t aLength) {
  const uint32_t length = BlockLength();
  if (length == 0 || aLength % length != 0) qdAssertFailed(kUnit, "GenerateRandom needs whole cipher blocks");
  auto* bytes = static_cast<uint8_t*>(aData);
  for (uint32_t offset = 0; offset < aLength; offset += length) ClassType()->ciGetRandomBlock(bytes + offset);
}

void TqdBaseCipher::EncodeStorage(void* aIV, uint32_t, void*, const void* aDataIn, void* aDataOut, uint32_t aLen,
                                  void* aMac) {
  if (aDataIn != aDataOut) std::memmove(aDataOut, aDataIn, aLen);
  EncodeTransport(aIV, aDataOut, aLen, aMac);
}

void TqdBaseCipher::EncodeTransport(void* aIV, void* aData, uint32_t aLen, void* aMac) {
  RandomIVBlock(aIV);
  Encode(aData, aLen);
  Final(aMac);
}

bool TqdBaseCipher::DecodeStorage(const void* aIV, uint32_t, void* aCookie, void* aData, uint32_t aLen,
                                  const void* aMac) {
  if (aCookie != nullptr) *static_cast<uint64_t*>(aCookie) = 0;
  return DecodeTransport(aIV, aData, aLen, aMac);
}

bool TqdBaseCipher::DecodeTransport(const void* aIV, void* aData, uint32_t aLen, const void* aMac) {
  ResetIVBlock(aIV);
  Decode(aData, aLen);
  std::vector<uint8_t> mac(BlockLength());
  Final(mac.data());
  return std::memcmp(mac.data(), aMac, mac.size()) == 0;
}

void TqdBaseCipher::EncodeKey(void* aIV, void* aData, uint32_t aLen, void* aMac) {
  EncodeTransport(aIV, aData, aLen, aMac);
}

bool TqdBaseCipher::DecodeKey(const void* aIV, void* aData, uint32_t aLen, const void* aMac) {
  return DecodeTransport(aIV, aData, aLen, aMac);
}

// --- Alternative mode ------------------------------------------------------

void TqdBaseCipher::AltRegister(TqdCipherClass aClass) {
  TqdAltRegistry& registry = altRegistry();
  TqdPadlockGuard guard(registry.arLock);
  registry.arClasses.push_back(aClass);
  if (registry.arCurrent == nullptr) {
    registry.arCurrent = aClass;
  } else if (registry.arCurrent->ciAltPriority < aClass->ciAltPriority) {
    if (registry.arLockCount > 0)
      registry.arPending = true;
    else
      registry.arCurrent = aClass;
  }
}

void TqdBaseCipher::AltUnregister(TqdCipherClass aClass) {
  TqdAltRegistry& registry = altRegistry();
  TqdPadlockGuard guard(registry.arLock);
  if (registry.arCurrent == aClass) {
    if (registry.arLockCount > 0)
      throw EqdBaseCipherException(
          qdeRecLocked, u"The alternative mode cipher about to the unregistered is currently locked as begin in use");
    registry.arCurrent = nullptr;
  }
  auto found = std::find(registry.arClasses.begin(), registry.arClasses.end(), aClass);
  if (found != registry.arClasses.end()) registry.arClasses.erase(found);
  registry.PickBest();
  registry.arPending = false;
}

void TqdBaseCipher::AltLock() {
  TqdAltRegistry& registry = altRegistry();
  TqdPadlockGuard guard(registry.arLock);
  if (registry.arCurrent == nullptr) raiseNoAlt();
  ++registry.arLockCount;
}

void TqdBaseCipher::AltUnLock() {
  TqdAltRegistry& registry = altRegistry();
  TqdPadlockGuard guard(registry.arLock);
  if (registry.arLockCount <= 0) qdAssertFailed(kUnit, "AltUnLock without AltLock");
  --registry.arLockCount;
  registry.PickBest();
  registry.arPending = false;
}

TqdCipherClass TqdBaseCipher::AltCurrent() {
  TqdAltRegistry& registry = altRegistry();
  TqdPadlockGuard guard(registry.arLock);
  return registry.arCurrent;
}

void TqdBaseCipher::EncodeAlt(void* aData, uint32_t aLen) {
  TqdCipherClass current = AltCurrent();
  if (current == nullptr) raiseNoAlt();
  current->ciAltEncode(aData, aLen);
}

void TqdBaseCipher::DecodeAlt(void* aData, uint32_t aLen) {
  TqdCipherClass current = AltCurrent();
  if (current == nullptr) raiseNoAlt();
  current->ciAltDecode(aData, aLen);
}

// --- Key wrap ----------------------------------------------------------------

void TqdBaseCipher::RegisterKeyWrap(TqdCipherClass aClass) {
  if (aClass->ciKeyWrapName == nullptr || *aClass->ciKeyWrapName == 0) return;
  if (!keyWraps) keyWraps = std::make_unique<std::map<std::string, TqdKeyWrapName>>();
  TqdKeyWrapName& name = (*keyWraps)[upperAscii(aClass->ciKeyWrapName)];
  if (name.kwName.empty()) name.kwName = aClass->ciKeyWrapName;
  const std::string key = priorityKey(aClass->ciKeyWrapPriority);
  auto at = std::lower_bound(name.kwEntries.begin(), name.kwEntries.end(), key,
                             [](const auto& aEntry, const std::string& aKey) { return aEntry.first < aKey; });
  name.kwEntries.insert(at, {key, aClass});
}

void TqdBaseCipher::UnregisterKeyWrap(TqdCipherClass aClass) {
  if (!keyWraps) return;
  for (auto it = keyWraps->begin(); it != keyWraps->end();) {
    auto& entries = it->second.kwEntries;
    entries.erase(std::remove_if(entries.begin(), entries.end(), [&](const auto& aE) { return aE.second == aClass; }),
                  entries.end());
    it = entries.empty() ? keyWraps->erase(it) : std::next(it);
  }
  if (keyWraps->empty()) keyWraps.reset();
}

TqdCipherClass TqdBaseCipher::FindKeyWrapClass(const std::string& aName) {
  if (!keyWraps) return nullptr;
  auto found = keyWraps->find(upperAscii(aName));
  return found == keyWraps->end() ? nullptr : found->second.kwEntries.back().second;
}

TqdCipherClass TqdBaseCipher::MustFindKeyWrapClass(const std::string& aName) {
  TqdCipherClass result = FindKeyWrapClass(aName);
  if (result == nullptr)
    throw EqdBaseCipherException(u"Unable to find key wrap class with algorithm name \"%s\"", {Utf8ToString(aName)});
  return result;
}

void TqdBaseCipher::GetRegisteredKeyWrapClasses(TqdStringList& aList) {
  aList.Clear();
  if (!keyWraps) return;
  for (const auto& [key, name] : *keyWraps)
    aList.AddObject(Utf8ToString(name.kwName),
                    reinterpret_cast<void*>(uintptr_t(name.kwEntries.back().second->ciKeyWrapPriority)));
}

TqdCipherClass TqdBaseCipher::PreferredKeyWrapClass() {
  TqdCipherClass result = nullptr;
  if (!keyWraps) return result;
  for (const auto& [key, name] : *keyWraps) {
    TqdCipherClass cls = name.kwEntries.back().second;
    if (cls->ciKeyWrapPriority > 0 && (result == nullptr || cls->ciKeyWrapPriority > result->ciKeyWrapPriority))
      result = cls;
  }
  return result;
}

void qdllBaseCipherFinalize() { keyWraps.reset(); }

}  // namespace qd
