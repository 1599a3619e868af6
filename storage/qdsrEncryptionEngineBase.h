// Table encryption engines: the interface a table file uses to encrypt every
// block but block 0 on its way to disk and decrypt it on its way into the
// block cache (cached images stay plain), and the registry of engines by
// name.
//
// Classes: TqdBaseEncryptionEngine (one object per open file, created by the
// file's ReadHeader or AddHeader and freed with the file),
// TqdEncryptionEngineClassInfo (an engine class as a value).
//
// Registry: two sorted lists of names compared without regard to case, one
// for the user variants and one for the server variants; each name holds
// (priority, class) entries and the highest priority serves. It is filled
// at unit start and emptied at unit end, and read without a lock between.
//
// Passwords are taken as bytes of the process's ANSI code page. A password
// the code page cannot represent would collapse into another one's bytes,
// so it is refused when a table is created or its password changed (9986)
// and matches nothing when a table is opened. An empty password counts as
// none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/qdllException.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllUtils.h"
#include "platform/qdStringList.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdBaseEncryptionEngineException, EqdBaseException);

class TqdBaseEncryptionEngine;

struct TqdEncryptionEngineClassInfo {
  const char16_t* eeClassName;
  // The engine for a file: created (aCreating, writing the header area
  // aHeader) or opened (checking aPasswords against aHeader); aHeader is
  // nullptr for a file without a header area. 0 with aEngine set, or an
  // error number with aEngine nullptr.
  TqdResult (*eeCreateEngine)(const qdString& aName, const TqdUnicodeStrings& aPasswords, uint8_t* aHeader,
                              bool aCreating, bool aForServer, TqdBaseEncryptionEngine*& aEngine);
  uint32_t (*eeReservedSpacePerBlock)(TqdBlockSize aBlockSize);
  uint32_t eeReservedHeaderSpace;
  uint32_t eeChecksumSize;
};
using TqdEncryptionEngineClass = const TqdEncryptionEngineClassInfo*;

class TqdBaseEncryptionEngine : public TqdObject {
 public:
  ~TqdBaseEncryptionEngine() override = default;

  virtual TqdEncryptionEngineClass ClassType() const = 0;
  // Encrypts aBlockLen bytes of aBlockIn into aBlockOut; aBlockIn stays as
  // it is. aRandomizer is the block's byte offset (modulo 2^32).
  virtual void CodeBlock(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen, uint32_t aRandomizer) = 0;
  // Decrypts in place and checks; a wrong key or a damaged block raises.
  virtual void DecodeBlock(void* aBlock, uint32_t aBlockLen, uint32_t aRandomizer) = 0;
  virtual void AddChecksumForBlock(const void* aBlock, uint32_t aBlockLen, uint32_t aRandomizer,
                                   std::vector<uint8_t>& aChecksum);
  virtual void AddChecksumForCookie(const std::vector<uint8_t>& aCookie, uint32_t aRandomizer,
                                    std::vector<uint8_t>& aChecksum);
  // The table file's entry points: aRandomizer is the block number.
  virtual void CodeBlockEx(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen, uint32_t aRandomizer,
                           std::vector<uint8_t>& aCookie, std::vector<uint8_t>& aChecksum);
  virtual void DecodeBlockEx(void* aBlock, uint32_t aBlockLen, uint32_t aRandomizer, std::vector<uint8_t>& aCookie);
  virtual void UpdateHeaderChecksum(void* aBlock, uint32_t aBlockLen);
  virtual void VerifyHeaderChecksum(void* aBlock, uint32_t aBlockLen);
  // 0 when aPasswords may use the open table, else 10015.
  [[nodiscard]] virtual TqdResult AuthenticatePassword(const TqdUnicodeStrings& aPasswords);
  virtual qdString ExtractPassword();
  // Rewraps the data key in the header area aHeader under aNewPassword.
  virtual void ChangePassword(uint8_t* aHeader, const qdString& aNewPassword);

  static void Register(const qdString& aName, bool aForServer, int32_t aPriority, TqdEncryptionEngineClass aClass);
  static void Unregister(TqdEncryptionEngineClass aClass);
  // "" (no encryption) first, then every registered name of the variant.
  static void GetRegisteredEngines(TqdStringList& aList, bool aForServer);
  static bool HasEngine(const qdString& aName, bool aForServer);
  // An unknown name answers 15503 with its message pending; it raises
  // nothing.
  [[nodiscard]] static TqdResult CreateEngine(const qdString& aName, const TqdUnicodeStrings& aPasswords,
                                              uint8_t* aHeader, bool aCreating, bool aForServer,
                                              TqdBaseEncryptionEngine*& aEngine);
  // 0 for an empty name; an unknown name raises 15503.
  static uint32_t ReservedHeaderSpace(const qdString& aEngine, bool aForServer);
  static uint32_t ReservedSpacePerBlock(const qdString& aEngine, bool aForServer, TqdBlockSize aBlockSize);
  // The class serving aName in the variant, nullptr when none.
  static TqdEncryptionEngineClass FindEngineClass(const qdString& aName, bool aForServer);
};

// The bytes of a password in the process's ANSI code page; false when the
// code page cannot represent it exactly.
[[nodiscard]] bool qdPasswordBytes(const qdString& aPassword, std::string& aBytes);

void qdsrEncryptionEngineBaseFinalize();

}  // namespace qd
