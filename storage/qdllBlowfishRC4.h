// The Blowfish/RC4 cipher of table encryption and its parts.
//
// TqdBlowfishCore<...>: the Blowfish block cipher with three byte-order
// switches: block words read big- or little-endian, key bytes packed into
// words most- or least-significant first, S-box 0 indexed by the high or the
// low byte of F's argument. All three "big" (TqdStandardBlowfish) is the
// published cipher; all three "little" (TqdBlowfishLE) is the cipher our
// table files use.
// TqdRC4: the RC4 key schedule and key stream, plus a further schedule pass
// over a 256-byte code (Reset) that starts each message.
// TqdBlowFishRC4: the table cipher: CBC-chained little-endian Blowfish whose
// output is masked by an RC4 key stream that depends on the message's
// initialisation vector, and an 8-byte check value folded from the
// plaintext. The check value tells damage and wrong keys apart from good
// data; it is not a cryptographic MAC.
//
// Random values (salts, data keys, initialisation vectors) come from the
// kernel (qdGetRandomBytes). One process-wide cipher G, keyed from the
// kernel's generator once, serves only the all-or-nothing transform, which
// therefore only the same process can undo.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/qdLittleEndian.h"
#include "storage/qdllBaseCipher.h"

namespace qd {

using TqdRC4K = uint8_t[256];

class TqdRC4 : public TqdObject {
 public:
  TqdRC4() { SetKeys(nullptr, 0); }
  explicit TqdRC4(const std::string& aKey) { SetKeys(aKey); }
  ~TqdRC4() override;

  void SetKeys(const std::string& aKey) { SetKeys(aKey.data(), uint32_t(aKey.size())); }
  void SetKeys(const void* aKey, uint32_t aKeyLen);
  // The scheduled permutation, then one more schedule pass with aInitCode.
  void Reset(const uint8_t* aInitCode);
  // A further schedule pass over the permutation in use (j from 0).
  void Mix(const uint8_t* aCode);
  // The next four output bytes b0..b3 as b0 + b1<<8 + b2<<16 + b3<<24.
  uint32_t KeyStream() {
    uint32_t result = 0;
    for (int shift = 0; shift < 32; shift += 8) {
      rcI = uint8_t(rcI + 1);
      const uint8_t a = rcK[rcI];
      rcJ = uint8_t(rcJ + a);
      const uint8_t b = rcK[rcJ];
      rcK[rcI] = b;
      rcK[rcJ] = a;
      result |= uint32_t(rcK[uint8_t(a + b)]) << shift;
    }
    return result;
  }

 private:
  uint8_t rcK[256];
  uint8_t rcOrgK[256];
  uint8_t rcI = 0;
  uint8_t rcJ = 0;
};

template <bool BigEndianWords, bool KeyMsbFirst, bool S0HighByte>
class TqdBlowfishCore {
 public:
  void SetKey(const void* aKey, uint32_t aKeyLen);
  uint32_t F(uint32_t x) const {
    if constexpr (S0HighByte)
      return ((bfS[0][x >> 24] + bfS[1][(x >> 16) & 255]) ^ bfS[2][(x >> 8) & 255]) + bfS[3][x & 255];
    else
      return ((bfS[0][x & 255] + bfS[1][(x >> 8) & 255]) ^ bfS[2][(x >> 16) & 255]) + bfS[3][x >> 24];
  }
  void Encrypt(uint32_t& L, uint32_t& R) const {
    uint32_t l = L ^ bfP[0];
    uint32_t r = R;
    for (int i = 1; i <= 16; i += 2) {
      r ^= F(l) ^ bfP[i];
      l ^= F(r) ^ bfP[i + 1];
    }
    L = r ^ bfP[17];
    R = l;
  }
  void Decrypt(uint32_t& L, uint32_t& R) const {
    uint32_t l = L ^ bfP[17];
    uint32_t r = R;
    for (int i = 16; i >= 1; i -= 2) {
      r ^= F(l) ^ bfP[i];
      l ^= F(r) ^ bfP[i - 1];
    }
    L = r ^ bfP[0];
    R = l;
  }
  static uint32_t GetWord(const uint8_t* aBytes) {
    if constexpr (BigEndianWords)
      return uint32_t(aBytes[0]) << 24 | uint32_t(aBytes[1]) << 16 | uint32_t(aBytes[2]) << 8 | aBytes[3];
    else
      return qdGetU32(aBytes);
  }
  static void PutWord(uint8_t* aBytes, uint32_t aValue) {
    if constexpr (BigEndianWords) {
      aBytes[0] = uint8_t(aValue >> 24);
      aBytes[1] = uint8_t(aValue >> 16);
      aBytes[2] = uint8_t(aValue >> 8);
      aBytes[3] = uint8_t(aValue);
    } else {
      qdPutU32(aBytes, aValue);
    }
  }
  void EncryptBlock(const uint8_t* aIn, uint8_t* aOut) const {
    uint32_t L = GetWord(aIn), R = GetWord(aIn + 4);
    Encrypt(L, R);
    PutWord(aOut, L);
    PutWord(aOut + 4, R);
  }
  void DecryptBlock(const uint8_t* aIn, uint8_t* aOut) const {
    uint32_t L = GetWord(aIn), R = GetWord(aIn + 4);
    Decrypt(L, R);
    PutWord(aOut, L);
    PutWord(aOut + 4, R);
  }
  void Wipe() {
    std::memset(bfP, 0, sizeof bfP);
    std::memset(bfS, 0, sizeof bfS);
  }

  uint32_t bfP[18];
  uint32_t bfS[4][256];
};

using TqdStandardBlowfish = TqdBlowfishCore<true, true, true>;
using TqdBlowfishLE = TqdBlowfishCore<false, false, false>;

extern template class TqdBlowfishCore<true, true, true>;
extern template class TqdBlowfishCore<false, false, false>;

class TqdBlowFishRC4 : public TqdBaseCipher {
 public:
  explicit TqdBlowFishRC4(const std::string& aKey);
  ~TqdBlowFishRC4() override;

  static const TqdCipherClassInfo ClassInfo;
  TqdCipherClass ClassType() const override { return &ClassInfo; }
  uint32_t BlockLength() const override { return 8; }
  void SetKeys(const std::string& aKey) override;
  void RandomIVBlock(void* aIV) override;
  void ResetIVBlock(const void* aIV) override;
  void Encode(void* aData, uint32_t aLen) override;
  void Decode(void* aData, uint32_t aLen) override;
  void Final(void* aMac) override;

  void RandomIV(uint32_t& IVl, uint32_t& IVr);
  void ResetIV(uint32_t IVl, uint32_t IVr);
  // One block through the cipher's Blowfish (E and D).
  void EncryptWords(uint32_t& L, uint32_t& R) const { bfCore.Encrypt(L, R); }
  void DecryptWords(uint32_t& L, uint32_t& R) const { bfCore.Decrypt(L, R); }
  const std::string& Key() const { return bfKey; }
  const TqdBlowfishLE& Core() const { return bfCore; }

  static void GetRandom64(void* aData);
  static void AltEncode(void* aData, uint32_t aLen);
  static void AltDecode(void* aData, uint32_t aLen);
  static TqdBaseCipher* DeriveKey(const void* aPwd, uint32_t aPwdLen, const void* aSalt, uint32_t aSaltLen,
                                  const std::string& aLabel);

 private:
  std::string bfKey;
  TqdBlowfishLE bfCore;
  TqdRC4 bfRC4;
  uint32_t bfChk[2] = {0, 0};
  uint32_t bfKSF[2] = {0, 0};
  bool bfMustReset = false;
  uint32_t bfIVl = 0;
  uint32_t bfIVr = 0;
};

void qdllBlowfishRC4Initialize();
void qdllBlowfishRC4Finalize();

}  // namespace qd
