// The "qd1xDefault" encryption engine: every block but block 0 is encrypted
// with the Blowfish/RC4 cipher under a random 16-byte data key. The data key
// lives in a 48-byte area of block 0, wrapped under the table password with
// a random salt, or under a built-in key when the table has no password; a
// password change therefore rewrites only that area.
//
// Encrypted block of L bytes: bytes 0..L-17 enciphered (common header,
// usable bytes and owner identifier included), then the trailer:
//   L-16 (4) IVl, L-12 (4) IVr, L-8 (8) check value of the plaintext.
// Header area (48 bytes):
//   0 (16) salt, 16 (4) IVl of the wrap, 20 (4) IVr, 24 (16) data key
//   enciphered, 40 (8) check value of the wrap.
// The wrap key is the salt followed by the password's bytes (or the
// built-in key).
//
// Classes: TqdBlowfishRC4EncryptionEngine and its user and server variants,
// which differ only in their built-in key. Each engine keeps a lock-free
// pool of keyed ciphers so that threads coding blocks of one file share
// neither a cipher nor a lock. Errors: EqdBlowfishRC4EncryptionEngineException.
#pragma once

#include <string>

#include "foundation/qdllSync.h"
#include "storage/qdllBlowfishRC4.h"
#include "storage/qdsrEncryptionEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdBlowfishRC4EncryptionEngineException, EqdBaseEncryptionEngineException);

class TqdBlowfishRC4EncryptionEngine : public TqdBaseEncryptionEngine {
 public:
  static constexpr uint32_t kReservedSpacePerBlock = 16;
  static constexpr uint32_t kReservedHeaderSpace = 48;

  ~TqdBlowfishRC4EncryptionEngine() override;

  void CodeBlock(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen, uint32_t aRandomizer) override;
  void DecodeBlock(void* aBlock, uint32_t aBlockLen, uint32_t aRandomizer) override;
  [[nodiscard]] TqdResult AuthenticatePassword(const TqdUnicodeStrings& aPasswords) override;
  qdString ExtractPassword() override;
  void ChangePassword(uint8_t* aHeader, const qdString& aNewPassword) override;
  virtual std::string DefaultKey() const = 0;

 protected:
  TqdBlowfishRC4EncryptionEngine() = default;
  // The key logic shared by both variants; takes over aEngine.
  static TqdResult CreateEngineOf(TqdBlowfishRC4EncryptionEngine* aEngine, const TqdUnicodeStrings& aPasswords,
                                  uint8_t* aHeader, bool aCreating, TqdBaseEncryptionEngine*& aResult);
  static uint32_t ReservedSpacePerBlockOf(TqdBlockSize aBlockSize);

 private:
  void WriteHeaderArea(uint8_t* aHeader, const std::string& aKey);
  bool CheckHeaderArea(const uint8_t* aHeader, const std::string& aKey);
  void Wrap(uint8_t* aHeader, const std::string& aKey);
  TqdBlowFishRC4* PopCipher();
  void RecycleCipher(TqdBlowFishRC4* aCipher) { beeBlowfishCache.Push(aCipher); }

  std::string beeDerivedKey;
  std::string beeUsedKey;
  qdString beeUsedPassword;
  TqdThreadSafeStack beeBlowfishCache;
  std::string beeBlowfishKey;
};

class TqdUserBlowfishRC4EncryptionEngine final : public TqdBlowfishRC4EncryptionEngine {
 public:
  static const TqdEncryptionEngineClassInfo ClassInfo;
  TqdEncryptionEngineClass ClassType() const override { return &ClassInfo; }
  std::string DefaultKey() const override;
  static TqdResult beeCreateEngine(const qdString& aName, const TqdUnicodeStrings& aPasswords, uint8_t* aHeader,
                                   bool aCreating, bool aForServer, TqdBaseEncryptionEngine*& aEngine);
};

class TqdServerBlowfishRC4EncryptionEngine final : public TqdBlowfishRC4EncryptionEngine {
 public:
  static const TqdEncryptionEngineClassInfo ClassInfo;
  TqdEncryptionEngineClass ClassType() const override { return &ClassInfo; }
  std::string DefaultKey() const override;
  static TqdResult beeCreateEngine(const qdString& aName, const TqdUnicodeStrings& aPasswords, uint8_t* aHeader,
                                   bool aCreating, bool aForServer, TqdBaseEncryptionEngine*& aEngine);
};

void qdseEncryptionEngineBlowfishRC4Initialize();
void qdseEncryptionEngineBlowfishRC4Finalize();

}  // namespace qd
