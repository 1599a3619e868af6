#include "storage/qdllBlowfishRC4.h"

#include <memory>
#include <mutex>
#include <vector>

#include "foundation/qdllRandom.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdllBlowfishRC4";

#include "storage/qdllBlowfishTables.inc"

void scheduleIdentity(uint8_t* aK) {
  for (int i = 0; i < 256; ++i) aK[i] = uint8_t(i);
}

void schedulePass(uint8_t* aK, const uint8_t* aCode) {
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = uint8_t(j + aK[i] + aCode[i]);
    std::swap(aK[i], aK[j]);
  }
}

// The generator of the all-or-nothing transform, keyed once from the kernel.
std::once_flag generatorOnce;
TqdBlowFishRC4* generator = nullptr;

const TqdBlowFishRC4& theGenerator() {
  std::call_once(generatorOnce, [] {
    std::string key(16, '\0');
    qdGetRandomBytes(key.data(), key.size());
    generator = new TqdBlowFishRC4(key);
  });
  return *generator;
}

// The two-pass chained encryption of 256 bytes (32 blocks) and its inverse.
void chainTwice(const TqdBlowFishRC4& aCipher, uint8_t* aData) {
  uint32_t cl = 0, cr = 0;
  for (int pass = 0; pass < 2; ++pass) {
    const int blocks = pass == 0 ? 32 : 31;
    for (int i = 0; i < blocks; ++i) {
      uint8_t* block = aData + i * 8;
      cl ^= qdGetU32(block);
      cr ^= qdGetU32(block + 4);
      aCipher.EncryptWords(cl, cr);
      qdPutU32(block, cl);
      qdPutU32(block + 4, cr);
    }
  }
}

void unchainTwice(const TqdBlowFishRC4& aCipher, uint8_t* aData) {
  for (int i = 30; i >= 0; --i) {
    uint8_t* block = aData + i * 8;
    const uint8_t* prev = i == 0 ? aData + 31 * 8 : block - 8;
    uint32_t l = qdGetU32(block), r = qdGetU32(block + 4);
    aCipher.DecryptWords(l, r);
    qdPutU32(block, l ^ qdGetU32(prev));
    qdPutU32(block + 4, r ^ qdGetU32(prev + 4));
  }
  for (int i = 31; i >= 0; --i) {
    uint8_t* block = aData + i * 8;
    uint32_t l = qdGetU32(block), r = qdGetU32(block + 4);
    aCipher.DecryptWords(l, r);
    if (i > 0) {
      l ^= qdGetU32(block - 8);
      r ^= qdGetU32(block - 4);
    }
    qdPutU32(block, l);
    qdPutU32(block + 4, r);
  }
}

void mixPieces(TqdRC4& aRC4, const uint8_t* aData, uint32_t aLen) {
  uint8_t code[256];
  for (uint32_t offset = 256; offset < aLen; offset += 256) {
    std::memcpy(code, aData + offset, 128);
    std::memcpy(code + 128, aData + offset, 128);
    aRC4.Mix(code);
  }
  std::memset(code, 0, sizeof code);
}

void xorKeyStream(TqdRC4& aRC4, uint8_t* aData, uint32_t aLen) {
  for (uint32_t offset = 0; offset < aLen; offset += 4)
    qdPutU32(aData + offset, qdGetU32(aData + offset) ^ aRC4.KeyStream());
}

void checkAltLength(uint32_t aLen) {
  if (aLen % 256 != 0) qdAssertFailed(kUnit, "the alternative mode works on multiples of 256 bytes");
}

// H(m): 16 bytes folded from m with ciphers keyed by its 28-byte pieces.
void foldHash(const uint8_t* aData, uint32_t aLen, uint8_t* aHash) {
  std::memset(aHash, 0, 16);
  uint32_t offset = 0;
  for (; aLen - offset >= 28; offset += 28) {
    TqdBlowFishRC4 cipher(std::string(reinterpret_cast<const char*>(aData + offset), 28));
    cipher.Encode(aHash, 16);
  }
  std::string last(reinterpret_cast<const char*>(aData + offset), aLen - offset);
  last.push_back(char(0x80));
  TqdBlowFishRC4 cipher(last);
  cipher.Encode(aHash, 16);
}

TqdBaseCipher* createBlowFishRC4(const std::string& aKey) { return new TqdBlowFishRC4(aKey); }
bool selfTestTrue() { return true; }

}  // namespace

// --- Blowfish core -------------------------------------------------------------------

template <bool BigEndianWords, bool KeyMsbFirst, bool S0HighByte>
void TqdBlowfishCore<BigEndianWords, KeyMsbFirst, S0HighByte>::SetKey(const void* aKey, uint32_t aKeyLen) {
  if (aKeyLen == 0) qdAssertFailed(kUnit, "a Blowfish key needs at least one byte");
  std::memcpy(bfP, kBlowfishInitP, sizeof bfP);
  std::memcpy(bfS, kBlowfishInitS, sizeof bfS);
  const auto* key = static_cast<const uint8_t*>(aKey);
  uint32_t k = 0;
  for (int i = 0; i < 18; ++i) {
    uint32_t word = 0;
    for (int b = 0; b < 4; ++b) {
      if constexpr (KeyMsbFirst)
        word = word << 8 | key[k];
      else
        word |= uint32_t(key[k]) << (8 * b);
      k = k + 1 == aKeyLen ? 0 : k + 1;
    }
    bfP[i] ^= word;
  }
  uint32_t L = 0, R = 0;
  for (int i = 0; i < 18; i += 2) {
    Encrypt(L, R);
    bfP[i] = L;
    bfP[i + 1] = R;
  }
  for (auto& box : bfS)
    for (int i = 0; i < 256; i += 2) {
      Encrypt(L, R);
      box[i] = L;
      box[i + 1] = R;
    }
}

template class TqdBlowfishCore<true, true, true>;
template class TqdBlowfishCore<false, false, false>;

// --- RC4 -------------------------------------------------------------------------------

TqdRC4::~TqdRC4() {
  std::memset(rcK, 0, sizeof rcK);
  std::memset(rcOrgK, 0, sizeof rcOrgK);
}

void TqdRC4::SetKeys(const void* aKey, uint32_t aKeyLen) {
  scheduleIdentity(rcOrgK);
  rcI = rcJ = 0;
  if (aKeyLen > 0) {
    uint8_t buffer[256];
    const auto* key = static_cast<const uint8_t*>(aKey);
    for (int i = 0; i < 256; ++i) buffer[i] = key[uint32_t(i) % aKeyLen];
    schedulePass(rcOrgK, buffer);
    std::memset(buffer, 0, sizeof buffer);
  }
  std::memcpy(rcK, rcOrgK, sizeof rcK);
}

void TqdRC4::Reset(const uint8_t* aInitCode) {
  std::memcpy(rcK, rcOrgK, sizeof rcK);
  schedulePass(rcK, aInitCode);
  rcI = rcJ = 0;
}

void TqdRC4::Mix(const uint8_t* aCode) {
  schedulePass(rcK, aCode);
  rcI = rcJ = 0;
}

// --- Blowfish/RC4 ----------------------------------------------------------------------

const TqdCipherClassInfo TqdBlowFishRC4::ClassInfo = {u"TqdBlowFishRC4",
                                                      &createBlowFishRC4,
                                                      0,
                                                      &TqdBlowFishRC4::AltEncode,
                                                      &TqdBlowFishRC4::AltDecode,
                                                      &TqdBlowFishRC4::GetRandom64,
                                                      &selfTestTrue,
                                                      "BlowfishRC4",
                                                      1,
                                                      &TqdBlowFishRC4::DeriveKey};

TqdBlowFishRC4::TqdBlowFishRC4(const std::string& aKey) { SetKeys(aKey); }

TqdBlowFishRC4::~TqdBlowFishRC4() {
  bfCore.Wipe();
  bfKSF[0] = bfKSF[1] = 0;
  bfChk[0] = bfChk[1] = 0;
  std::fill(bfKey.begin(), bfKey.end(), '\0');
}

void TqdBlowFishRC4::SetKeys(const std::string& aKey) {
  bfRC4.SetKeys(aKey);
  bfKey = aKey.empty() ? std::string(" ") : aKey;
  bfCore.SetKey(bfKey.data(), uint32_t(bfKey.size()));
  bfChk[0] = bfChk[1] = 0;
  bfIVl = bfIVr = 0;
  bfMustReset = false;
}

void TqdBlowFishRC4::ResetIV(uint32_t IVl, uint32_t IVr) {
  bfIVl = IVl;
  bfIVr = IVr;
  uint8_t code[256];
  for (uint32_t i = 0; i < 32; ++i) {
    uint32_t L = IVl, R = i;
    bfCore.Encrypt(L, R);
    qdPutU32(code + i * 8, L);
    qdPutU32(code + i * 8 + 4, R ^ IVr);
  }
  bfRC4.Reset(code);
  std::memset(code, 0, sizeof code);
  bfChk[0] = bfChk[1] = 0;
  bfKSF[0] = bfRC4.KeyStream();
  bfKSF[1] = bfRC4.KeyStream();
  bfMustReset = false;
}

void TqdBlowFishRC4::RandomIV(uint32_t& IVl, uint32_t& IVr) {
  uint8_t random[8];
  GetRandom64(random);
  IVl = qdGetU32(random);
  IVr = qdGetU32(random + 4);
  ResetIV(IVl, IVr);
}

void TqdBlowFishRC4::RandomIVBlock(void* aIV) {
  uint32_t l = 0, r = 0;
  RandomIV(l, r);
  qdPutU32(static_cast<uint8_t*>(aIV), l);
  qdPutU32(static_cast<uint8_t*>(aIV) + 4, r);
}

void TqdBlowFishRC4::ResetIVBlock(const void* aIV) {
  ResetIV(qdGetU32(static_cast<const uint8_t*>(aIV)), qdGetU32(static_cast<const uint8_t*>(aIV) + 4));
}

void TqdBlowFishRC4::Encode(void* aData, uint32_t aLen) {
  if (aLen % 8 != 0) qdAssertFailed(kUnit, "Encode needs whole cipher blocks");
  if (bfMustReset) qdAssertFailed(kUnit, "Encode after Final needs a new initialisation vector");
  auto* data = static_cast<uint8_t*>(aData);
  uint32_t pl = bfIVl, pr = bfIVr;
  for (uint32_t offset = 0; offset < aLen; offset += 8) {
    uint8_t* block = data + offset;
    const uint32_t l = qdGetU32(block), r = qdGetU32(block + 4);
    bfChk[0] ^= l;
    bfChk[1] ^= r;
    pl ^= l;
    pr ^= r;
    bfCore.Encrypt(pl, pr);
    pl ^= bfRC4.KeyStream();
    pr ^= bfRC4.KeyStream();
    qdPutU32(block, pl);
    qdPutU32(block + 4, pr);
  }
  bfIVl = pl;
  bfIVr = pr;
}

void TqdBlowFishRC4::Decode(void* aData, uint32_t aLen) {
  if (aLen % 8 != 0) qdAssertFailed(kUnit, "Decode needs whole cipher blocks");
  if (bfMustReset) qdAssertFailed(kUnit, "Decode after Final needs a new initialisation vector");
  auto* data = static_cast<uint8_t*>(aData);
  uint32_t pl = bfIVl, pr = bfIVr;
  for (uint32_t offset = 0; offset < aLen; offset += 8) {
    uint8_t* block = data + offset;
    const uint32_t cl = qdGetU32(block), cr = qdGetU32(block + 4);
    uint32_t l = cl ^ bfRC4.KeyStream();
    uint32_t r = cr ^ bfRC4.KeyStream();
    bfCore.Decrypt(l, r);
    l ^= pl;
    r ^= pr;
    bfChk[0] ^= l;
    bfChk[1] ^= r;
    qdPutU32(block, l);
    qdPutU32(block + 4, r);
    pl = cl;
    pr = cr;
  }
  bfIVl = pl;
  bfIVr = pr;
}

void TqdBlowFishRC4::Final(void* aMac) {
  uint32_t l = bfChk[0] ^ bfRC4.KeyStream();
  uint32_t r = bfChk[1] ^ bfRC4.KeyStream();
  bfCore.Encrypt(l, r);
  qdPutU32(static_cast<uint8_t*>(aMac), l ^ bfKSF[0]);
  qdPutU32(static_cast<uint8_t*>(aMac) + 4, r ^ bfKSF[0]);
  bfMustReset = true;
}

void TqdBlowFishRC4::GetRandom64(void* aData) { qdGetRandomBytes(aData, 8); }

void TqdBlowFishRC4::AltEncode(void* aData, uint32_t aLen) {
  checkAltLength(aLen);
  if (aLen == 0) return;
  const TqdBlowFishRC4& g = theGenerator();
  auto* data = static_cast<uint8_t*>(aData);
  TqdRC4 r;
  mixPieces(r, data, aLen);
  uint8_t t[256];
  std::memcpy(t, data, 256);
  xorKeyStream(r, t, 256);
  chainTwice(g, t);
  std::memcpy(data, t, 256);
  chainTwice(g, data);
  r.SetKeys(t, 256);
  xorKeyStream(r, data + 256, aLen - 256);
  std::memset(t, 0, sizeof t);
}

void TqdBlowFishRC4::AltDecode(void* aData, uint32_t aLen) {
  checkAltLength(aLen);
  if (aLen == 0) return;
  const TqdBlowFishRC4& g = theGenerator();
  auto* data = static_cast<uint8_t*>(aData);
  uint8_t t[256];
  std::memcpy(t, data, 256);
  unchainTwice(g, t);
  TqdRC4 r(std::string(reinterpret_cast<const char*>(t), 256));
  xorKeyStream(r, data + 256, aLen - 256);
  r.SetKeys(nullptr, 0);
  mixPieces(r, data, aLen);
  unchainTwice(g, t);
  xorKeyStream(r, t, 256);
  std::memcpy(data, t, 256);
  std::memset(t, 0, sizeof t);
}

TqdBaseCipher* TqdBlowFishRC4::DeriveKey(const void* aPwd, uint32_t aPwdLen, const void* aSalt, uint32_t aSaltLen,
                                         const std::string& aLabel) {
  uint8_t key[48];
  foldHash(static_cast<const uint8_t*>(aSalt), aSaltLen, key);
  foldHash(reinterpret_cast<const uint8_t*>(aLabel.data()), uint32_t(aLabel.size()), key + 16);
  foldHash(static_cast<const uint8_t*>(aPwd), aPwdLen, key + 32);
  auto* result = new TqdBlowFishRC4(std::string(reinterpret_cast<const char*>(key), sizeof key));
  std::memset(key, 0, sizeof key);
  return result;
}

void qdllBlowfishRC4Initialize() {
  TqdBaseCipher::AltRegister(&TqdBlowFishRC4::ClassInfo);
  TqdBaseCipher::RegisterKeyWrap(&TqdBlowFishRC4::ClassInfo);
}

void qdllBlowfishRC4Finalize() {
  TqdBaseCipher::AltUnregister(&TqdBlowFishRC4::ClassInfo);
  TqdBaseCipher::UnregisterKeyWrap(&TqdBlowFishRC4::ClassInfo);
}

}  // namespace qd
