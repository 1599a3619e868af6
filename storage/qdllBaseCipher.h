// The abstract block cipher of table encryption: key set-up, initialisation
// vectors, in-place encoding and decoding of whole cipher blocks, an 8-byte
// check value over the plaintext, and two class registries.
//
// Classes: TqdBaseCipher (one object serves one thread and one message at a
// time), TqdCipherClassInfo (what a cipher class offers without an object:
// its name, its constructor and its class operations).
//
// Class-wide state: the key-wrap registry (algorithm name, compared without
// regard to case, to (priority, class) entries sorted by priority; changed
// at unit start and end only) and the alternative-mode registry (listed
// classes, the current one, a lock count and a pending flag, guarded by
// its own padlock). Registry errors raise EqdBaseCipherException.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/qdllException.h"
#include "foundation/qdllSync.h"
#include "platform/qdStringList.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdBaseCipherException, EqdBaseException);

class TqdBaseCipher;

// A cipher class as a value.
struct TqdCipherClassInfo {
  const char16_t* ciName;
  // A new object keyed with aKey.
  TqdBaseCipher* (*ciCreate)(const std::string& aKey);
  uint32_t ciAltPriority;
  // All-or-nothing transforms of aLen bytes (a multiple of 256).
  void (*ciAltEncode)(void* aData, uint32_t aLen);
  void (*ciAltDecode)(void* aData, uint32_t aLen);
  // 8 random bytes (the class's block length).
  void (*ciGetRandomBlock)(void* aData);
  bool (*ciSelfTest)();
  const char* ciKeyWrapName;
  uint32_t ciKeyWrapPriority;
  // A new cipher keyed from a password, a salt and a label; nullptr when
  // the class derives none.
  TqdBaseCipher* (*ciDeriveKey)(const void* aPwd, uint32_t aPwdLen, const void* aSalt, uint32_t aSaltLen,
                                const std::string& aLabel);
};
using TqdCipherClass = const TqdCipherClassInfo*;

class TqdBaseCipher : public TqdObject {
 public:
  ~TqdBaseCipher() override = default;

  virtual TqdCipherClass ClassType() const = 0;
  virtual uint32_t BlockLength() const { return 0; }
  virtual void SetKeys(const std::string& aKey) = 0;
  virtual void RandomIVBlock(void* aIV) = 0;
  virtual void ResetIVBlock(const void* aIV) = 0;
  // aLength must be a multiple of BlockLength.
  virtual void GenerateRandom(void* aData, uint32_t aLength);
  virtual void Encode(void* aData, uint32_t aLen) = 0;
  virtual void Decode(void* aData, uint32_t aLen) = 0;
  // The check value (BlockLength bytes) of the message so far; ends it.
  virtual void Final(void* aMac) = 0;
  virtual void EncodeStorage(void* aIV, uint32_t aRandomizer, void* aCookie, const void* aDataIn, void* aDataOut,
                             uint32_t aLen, void* aMac);
  virtual void EncodeTransport(void* aIV, void* aData, uint32_t aLen, void* aMac);
  [[nodiscard]] virtual bool DecodeStorage(const void* aIV, uint32_t aRandomizer, void* aCookie, void* aData,
                                           uint32_t aLen, const void* aMac);
  [[nodiscard]] virtual bool DecodeTransport(const void* aIV, void* aData, uint32_t aLen, const void* aMac);
  virtual void EncodeKey(void* aIV, void* aData, uint32_t aLen, void* aMac);
  [[nodiscard]] virtual bool DecodeKey(const void* aIV, void* aData, uint32_t aLen, const void* aMac);
  TqdBaseCipher* TheCipher() { return this; }

  // Alternative mode.
  static void AltRegister(TqdCipherClass aClass);
  static void AltUnregister(TqdCipherClass aClass);
  static void AltLock();
  static void AltUnLock();
  static void EncodeAlt(void* aData, uint32_t aLen);
  static void DecodeAlt(void* aData, uint32_t aLen);
  // The current class, nullptr when none.
  static TqdCipherClass AltCurrent();

  // Key wrap.
  static void RegisterKeyWrap(TqdCipherClass aClass);
  static void UnregisterKeyWrap(TqdCipherClass aClass);
  static TqdCipherClass FindKeyWrapClass(const std::string& aName);
  static TqdCipherClass MustFindKeyWrapClass(const std::string& aName);
  // Every name, with its preferred class's key-wrap priority as the item's
  // tag.
  static void GetRegisteredKeyWrapClasses(TqdStringList& aList);
  static TqdCipherClass PreferredKeyWrapClass();
};

// Unit end: frees what the registries still hold.
void qdllBaseCipherFinalize();

}  // namespace qd
