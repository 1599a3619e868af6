#include "storage/qdsrEncryptionEngineBase.h"

#include <algorithm>
#include <map>
#include <memory>

#include "platform/qdFormat.h"
#include "platform/qdNls.h"
#include "platform/qdProcessProfile.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdsrEncryptionEngineBase";

qdString upperAscii(const qdString& aName) {
  qdString result = aName;
  for (char16_t& c : result)
    if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
  return result;
}

struct TqdEngineName {
  qdString enName;
  // Sorted by the priority's 8 hexadecimal digits.
  std::vector<std::pair<std::string, TqdEncryptionEngineClass>> enEntries;
};
using TqdEngineList = std::map<qdString, TqdEngineName>;
std::unique_ptr<TqdEngineList> engineLists[2];

[[noreturn]] void raiseUnknown(const qdString& aName) {
  throw EqdBaseEncryptionEngineException(qdeSubEngineNotSupported, u"Unknown encryption engine: \"%s\"", {aName});
}

}  // namespace

bool qdPasswordBytes(const qdString& aPassword, std::string& aBytes) {
  bool replaced = false;
  if (!qdEncodeCodePage(qdSystemAnsiCodePage(), aPassword, aBytes, &replaced)) return false;
  return !replaced;
}

void TqdBaseEncryptionEngine::AddChecksumForBlock(const void*, uint32_t, uint32_t, std::vector<uint8_t>&) {
  qdAssertFailed(kUnit, "this engine keeps no checksum");
}

void TqdBaseEncryptionEngine::AddChecksumForCookie(const std::vector<uint8_t>&, uint32_t, std::vector<uint8_t>&) {
  qdAssertFailed(kUnit, "this engine keeps no checksum");
}

void TqdBaseEncryptionEngine::CodeBlockEx(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen,
                                          uint32_t aRandomizer, std::vector<uint8_t>&, std::vector<uint8_t>&) {
  CodeBlock(aBlockIn, aBlockOut, aBlockLen, aRandomizer * aBlockLen);
}

void TqdBaseEncryptionEngine::DecodeBlockEx(void* aBlock, uint32_t aBlockLen, uint32_t aRandomizer,
                                            std::vector<uint8_t>& aCookie) {
  aCookie.clear();
  DecodeBlock(aBlock, aBlockLen, aRandomizer * aBlockLen);
}

void TqdBaseEncryptionEngine::UpdateHeaderChecksum(void*, uint32_t) {}
void TqdBaseEncryptionEngine::VerifyHeaderChecksum(void*, uint32_t) {}
TqdResult TqdBaseEncryptionEngine::AuthenticatePassword(const TqdUnicodeStrings&) { return 0; }
qdString TqdBaseEncryptionEngine::ExtractPassword() { return {}; }

void TqdBaseEncryptionEngine::ChangePassword(uint8_t*, const qdString&) {
  throw EqdBaseEncryptionEngineException(qdeNotSupported, u"%s not supported by %s",
                                         {u"ChangePassword", qdString(ClassType()->eeClassName)});
}

void TqdBaseEncryptionEngine::Register(const qdString& aName, bool aForServer, int32_t aPriority,
                                       TqdEncryptionEngineClass aClass) {
  std::unique_ptr<TqdEngineList>& list = engineLists[aForServer ? 1 : 0];
  if (!list) list = std::make_unique<TqdEngineList>();
  TqdEngineName& name = (*list)[upperAscii(aName)];
  if (name.enName.empty()) name.enName = aName;
  char key[9];
  std::snprintf(key, sizeof key, "%08X", uint32_t(aPriority));
  auto at = std::lower_bound(name.enEntries.begin(), name.enEntries.end(), std::string(key),
                             [](const auto& aEntry, const std::string& aKey) { return aEntry.first < aKey; });
  name.enEntries.insert(at, {key, aClass});
}

void TqdBaseEncryptionEngine::Unregister(TqdEncryptionEngineClass aClass) {
  for (std::unique_ptr<TqdEngineList>& list : engineLists) {
    if (!list) continue;
    for (auto it = list->begin(); it != list->end();) {
      auto& entries = it->second.enEntries;
      entries.erase(std::remove_if(entries.begin(), entries.end(), [&](const auto& aE) { return aE.second == aClass; }),
                    entries.end());
      it = entries.empty() ? list->erase(it) : std::next(it);
    }
    if (list->empty()) list.reset();
  }
}

void TqdBaseEncryptionEngine::GetRegisteredEngines(TqdStringList& aList, bool aForServer) {
  aList.Clear();
  aList.Add(qdString());
  const std::unique_ptr<TqdEngineList>& list = engineLists[aForServer ? 1 : 0];
  if (!list) return;
  for (const auto& [key, name] : *list) aList.Add(name.enName);
}

TqdEncryptionEngineClass TqdBaseEncryptionEngine::FindEngineClass(const qdString& aName, bool aForServer) {
  const std::unique_ptr<TqdEngineList>& list = engineLists[aForServer ? 1 : 0];
  if (!list) return nullptr;
  auto found = list->find(upperAscii(aName));
  return found == list->end() ? nullptr : found->second.enEntries.back().second;
}

bool TqdBaseEncryptionEngine::HasEngine(const qdString& aName, bool aForServer) {
  return FindEngineClass(aName, aForServer) != nullptr;
}

TqdResult TqdBaseEncryptionEngine::CreateEngine(const qdString& aName, const TqdUnicodeStrings& aPasswords,
                                                uint8_t* aHeader, bool aCreating, bool aForServer,
                                                TqdBaseEncryptionEngine*& aEngine) {
  aEngine = nullptr;
  TqdEncryptionEngineClass cls = FindEngineClass(aName, aForServer);
  if (cls == nullptr)
    return EqdBaseException::qdSetMessage(qdeSubEngineNotSupported, u"Unknown encryption engine: \"%s\"", {aName});
  return cls->eeCreateEngine(aName, aPasswords, aHeader, aCreating, aForServer, aEngine);
}

uint32_t TqdBaseEncryptionEngine::ReservedHeaderSpace(const qdString& aEngine, bool aForServer) {
  if (aEngine.empty()) return 0;
  TqdEncryptionEngineClass cls = FindEngineClass(aEngine, aForServer);
  if (cls == nullptr) raiseUnknown(aEngine);
  return cls->eeReservedHeaderSpace + cls->eeChecksumSize;
}

uint32_t TqdBaseEncryptionEngine::ReservedSpacePerBlock(const qdString& aEngine, bool aForServer,
                                                        TqdBlockSize aBlockSize) {
  TqdEncryptionEngineClass cls = FindEngineClass(aEngine, aForServer);
  if (cls == nullptr) raiseUnknown(aEngine);
  return cls->eeReservedSpacePerBlock(aBlockSize);
}

void qdsrEncryptionEngineBaseFinalize() {
  engineLists[0].reset();
  engineLists[1].reset();
}

}  // namespace qd
