#include "storage/qdseEncryptionEngineBlowfishRC4.h"

#include <cstring>
#include <memory>

#include "storage/qdseEncryptionKeys.h"

namespace qd {

namespace {

constexpr uint32_t kAreaSalt = 0;
constexpr uint32_t kAreaIV = 16;
constexpr uint32_t kAreaKey = 24;
constexpr uint32_t kAreaCheck = 40;
constexpr uint32_t kTrailer = TqdBlowfishRC4EncryptionEngine::kReservedSpacePerBlock;

std::string keyString(const uint8_t (&aKey)[64]) { return std::string(reinterpret_cast<const char*>(aKey), 64); }

// The non-empty passwords; an empty one counts as none.
TqdUnicodeStrings givenPasswords(const TqdUnicodeStrings& aPasswords) {
  TqdUnicodeStrings result;
  for (const qdString& password : aPasswords)
    if (!password.empty()) result.push_back(password);
  return result;
}

[[noreturn]] void raiseUnrepresentable() {
  throw EqdBlowfishRC4EncryptionEngineException(
      qdeInvalidParam, u"The password contains characters that the code page of the process cannot represent");
}

}  // namespace

TqdBlowfishRC4EncryptionEngine::~TqdBlowfishRC4EncryptionEngine() {
  while (void* cipher = beeBlowfishCache.Pop()) delete static_cast<TqdBlowFishRC4*>(cipher);
  std::fill(beeDerivedKey.begin(), beeDerivedKey.end(), '\0');
  std::fill(beeUsedKey.begin(), beeUsedKey.end(), '\0');
  std::fill(beeBlowfishKey.begin(), beeBlowfishKey.end(), '\0');
}

uint32_t TqdBlowfishRC4EncryptionEngine::ReservedSpacePerBlockOf(TqdBlockSize) { return kReservedSpacePerBlock; }

TqdResult TqdBlowfishRC4EncryptionEngine::CreateEngineOf(TqdBlowfishRC4EncryptionEngine* aEngine,
                                                         const TqdUnicodeStrings& aPasswords, uint8_t* aHeader,
                                                         bool aCreating, TqdBaseEncryptionEngine*& aResult) {
  std::unique_ptr<TqdBlowfishRC4EncryptionEngine> engine(aEngine);
  aResult = nullptr;
  if (aHeader == nullptr) {
    engine->beeBlowfishKey = engine->DefaultKey();
    aResult = engine.release();
    return 0;
  }
  const TqdUnicodeStrings passwords = givenPasswords(aPasswords);
  if (aCreating) {
    if (passwords.size() > 1)
      return EqdBaseException::qdSetMessage(qdeInvalidParam, u"More than one key specified when creating new table");
    std::string key;
    if (passwords.size() == 1) {
      if (!qdPasswordBytes(passwords[0], key)) raiseUnrepresentable();
      engine->beeUsedKey = key;
      engine->beeUsedPassword = passwords[0];
    } else {
      key = engine->DefaultKey();
    }
    engine->WriteHeaderArea(aHeader, key);
  } else {
    for (const qdString& password : passwords) {
      std::string key;
      // A password the code page cannot represent matches nothing.
      if (!qdPasswordBytes(password, key)) continue;
      if (engine->CheckHeaderArea(aHeader, key)) {
        engine->beeUsedKey = key;
        engine->beeUsedPassword = password;
        break;
      }
    }
    if (engine->beeUsedKey.empty() && !engine->CheckHeaderArea(aHeader, engine->DefaultKey()))
      return EqdBaseException::qdSetMessage(qdeInvalidPassword, u"Invalid password given.");
  }
  engine->beeBlowfishKey = engine->beeDerivedKey;
  aResult = engine.release();
  return 0;
}

void TqdBlowfishRC4EncryptionEngine::Wrap(uint8_t* aHeader, const std::string& aKey) {
  std::memcpy(aHeader + kAreaKey, beeDerivedKey.data(), 16);
  TqdBlowFishRC4 cipher(std::string(reinterpret_cast<const char*>(aHeader + kAreaSalt), 16) + aKey);
  cipher.RandomIVBlock(aHeader + kAreaIV);
  cipher.Encode(aHeader + kAreaKey, 16);
  cipher.Final(aHeader + kAreaCheck);
}

void TqdBlowfishRC4EncryptionEngine::WriteHeaderArea(uint8_t* aHeader, const std::string& aKey) {
  TqdBlowFishRC4::GetRandom64(aHeader + kAreaSalt);
  TqdBlowFishRC4::GetRandom64(aHeader + kAreaSalt + 8);
  beeDerivedKey.assign(16, '\0');
  TqdBlowFishRC4::GetRandom64(beeDerivedKey.data());
  TqdBlowFishRC4::GetRandom64(beeDerivedKey.data() + 8);
  Wrap(aHeader, aKey);
}

bool TqdBlowfishRC4EncryptionEngine::CheckHeaderArea(const uint8_t* aHeader, const std::string& aKey) {
  beeDerivedKey.assign(reinterpret_cast<const char*>(aHeader + kAreaKey), 16);
  TqdBlowFishRC4 cipher(std::string(reinterpret_cast<const char*>(aHeader + kAreaSalt), 16) + aKey);
  cipher.ResetIVBlock(aHeader + kAreaIV);
  cipher.Decode(beeDerivedKey.data(), 16);
  uint8_t check[8];
  cipher.Final(check);
  return std::memcmp(check, aHeader + kAreaCheck, 8) == 0;
}

void TqdBlowfishRC4EncryptionEngine::ChangePassword(uint8_t* aHeader, const qdString& aNewPassword) {
  std::string key;
  if (!aNewPassword.empty() && !qdPasswordBytes(aNewPassword, key)) raiseUnrepresentable();
  TqdBlowFishRC4::GetRandom64(aHeader + kAreaSalt);
  TqdBlowFishRC4::GetRandom64(aHeader + kAreaSalt + 8);
  beeUsedKey = key;
  beeUsedPassword = aNewPassword;
  Wrap(aHeader, key.empty() ? DefaultKey() : key);
}

TqdResult TqdBlowfishRC4EncryptionEngine::AuthenticatePassword(const TqdUnicodeStrings& aPasswords) {
  if (beeUsedKey.empty()) return 0;
  for (const qdString& password : aPasswords) {
    std::string key;
    if (qdPasswordBytes(password, key) && key == beeUsedKey) return 0;
  }
  return qdeInvalidPassword;
}

qdString TqdBlowfishRC4EncryptionEngine::ExtractPassword() { return beeUsedPassword; }

TqdBlowFishRC4* TqdBlowfishRC4EncryptionEngine::PopCipher() {
  if (void* cipher = beeBlowfishCache.Pop()) return static_cast<TqdBlowFishRC4*>(cipher);
  return new TqdBlowFishRC4(beeBlowfishKey);
}

void TqdBlowfishRC4EncryptionEngine::CodeBlock(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen, uint32_t) {
  auto* out = static_cast<uint8_t*>(aBlockOut);
  const uint32_t body = aBlockLen - kTrailer;
  if (aBlockIn != aBlockOut) std::memcpy(out, aBlockIn, body);
  TqdBlowFishRC4* cipher = PopCipher();
  try {
    cipher->RandomIVBlock(out + body);
    cipher->Encode(out, body);
    cipher->Final(out + body + 8);
  } catch (...) {
    RecycleCipher(cipher);
    throw;
  }
  RecycleCipher(cipher);
}

void TqdBlowfishRC4EncryptionEngine::DecodeBlock(void* aBlock, uint32_t aBlockLen, uint32_t) {
  auto* block = static_cast<uint8_t*>(aBlock);
  const uint32_t body = aBlockLen - kTrailer;
  uint8_t check[8];
  TqdBlowFishRC4* cipher = PopCipher();
  try {
    cipher->ResetIVBlock(block + body);
    cipher->Decode(block, body);
    cipher->Final(check);
  } catch (...) {
    RecycleCipher(cipher);
    throw;
  }
  RecycleCipher(cipher);
  if (std::memcmp(check, block + body + 8, 8) != 0) throw EqdBlowfishRC4EncryptionEngineException(qdeFileCorrupt);
}

// --- Variants ---------------------------------------------------------------------------

const TqdEncryptionEngineClassInfo TqdUserBlowfishRC4EncryptionEngine::ClassInfo = {
    u"TqdUserBlowfishRC4EncryptionEngine", &TqdUserBlowfishRC4EncryptionEngine::beeCreateEngine,
    &TqdBlowfishRC4EncryptionEngine::ReservedSpacePerBlockOf, kReservedHeaderSpace, 0};

std::string TqdUserBlowfishRC4EncryptionEngine::DefaultKey() const { return keyString(kqdUserBlowfishRC4DefaultKey); }

TqdResult TqdUserBlowfishRC4EncryptionEngine::beeCreateEngine(const qdString&, const TqdUnicodeStrings& aPasswords,
                                                              uint8_t* aHeader, bool aCreating, bool,
                                                              TqdBaseEncryptionEngine*& aEngine) {
  return CreateEngineOf(new TqdUserBlowfishRC4EncryptionEngine, aPasswords, aHeader, aCreating, aEngine);
}

const TqdEncryptionEngineClassInfo TqdServerBlowfishRC4EncryptionEngine::ClassInfo = {
    u"TqdServerBlowfishRC4EncryptionEngine", &TqdServerBlowfishRC4EncryptionEngine::beeCreateEngine,
    &TqdBlowfishRC4EncryptionEngine::ReservedSpacePerBlockOf, kReservedHeaderSpace, 0};

std::string TqdServerBlowfishRC4EncryptionEngine::DefaultKey() const {
  return keyString(kqdServerBlowfishRC4DefaultKey);
}

TqdResult TqdServerBlowfishRC4EncryptionEngine::beeCreateEngine(const qdString&, const TqdUnicodeStrings& aPasswords,
                                                                uint8_t* aHeader, bool aCreating, bool,
                                                                TqdBaseEncryptionEngine*& aEngine) {
  return CreateEngineOf(new TqdServerBlowfishRC4EncryptionEngine, aPasswords, aHeader, aCreating, aEngine);
}

void qdseEncryptionEngineBlowfishRC4Initialize() {
  TqdBaseEncryptionEngine::Register(u"qd1xDefault", false, 0, &TqdUserBlowfishRC4EncryptionEngine::ClassInfo);
  TqdBaseEncryptionEngine::Register(u"qd1xDefault", true, 0, &TqdServerBlowfishRC4EncryptionEngine::ClassInfo);
}

void qdseEncryptionEngineBlowfishRC4Finalize() {
  TqdBaseEncryptionEngine::Unregister(&TqdUserBlowfishRC4EncryptionEngine::ClassInfo);
  TqdBaseEncryptionEngine::Unregister(&TqdServerBlowfishRC4EncryptionEngine::ClassInfo);
}

}  // namespace qd
