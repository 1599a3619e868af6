// The table cipher: the Blowfish core against the published vectors in its
// standard setting, RC4 against RFC 6229, the byte-order variant against
// golden values from an independent script, and the cipher registries.
#include "storage/qdllBlowfishRC4.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace qd {
namespace {

std::vector<uint8_t> fromHex(const std::string& aHex) {
  std::vector<uint8_t> result;
  for (size_t i = 0; i + 1 < aHex.size(); i += 2) result.push_back(uint8_t(std::stoul(aHex.substr(i, 2), nullptr, 16)));
  return result;
}

std::string toHex(const uint8_t* aData, size_t aLen) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string result;
  for (size_t i = 0; i < aLen; ++i) {
    result.push_back(kDigits[aData[i] >> 4]);
    result.push_back(kDigits[aData[i] & 15]);
  }
  return result;
}

std::string bytesOf(const std::vector<uint8_t>& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }

struct TqdEcbVector {
  const char* key;
  const char* plain;
  const char* cipher;
};

// The ECB vectors published with the algorithm.
const TqdEcbVector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(BlowfishStandardTest, PublishedEcbVectors) {
  ASSERT_EQ(std::size(kEcbVectors), 34u);
  for (const TqdEcbVector& vector : kEcbVectors) {
    SCOPED_TRACE(vector.key);
    const std::vector<uint8_t> key = fromHex(vector.key);
    std::vector<uint8_t> block = fromHex(vector.plain);
    TqdStandardBlowfish core;
    core.SetKey(key.data(), uint32_t(key.size()));
    core.EncryptBlock(block.data(), block.data());
    EXPECT_EQ(toHex(block.data(), 8), vector.cipher);
    core.DecryptBlock(block.data(), block.data());
    EXPECT_EQ(toHex(block.data(), 8), vector.plain);
  }
}

TEST(BlowfishStandardTest, PublishedVariableKeyLengthVectors) {
  static const char* const kCiphers[] = {
      "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05", "B39E44481BDB1E6E",
      "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82", "15750E7A4F4EC577", "122BA70B3AB64AE0",
      "3A833C9AFFC537F6", "9409DA87A90F6BF2", "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F",
      "93142887EE3BE15C", "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
      "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080"};
  const std::vector<uint8_t> key = fromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
  for (uint32_t length = 1; length <= 24; ++length) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> block = fromHex("FEDCBA9876543210");
    TqdStandardBlowfish core;
    core.SetKey(key.data(), length);
    core.EncryptBlock(block.data(), block.data());
    EXPECT_EQ(toHex(block.data(), 8), kCiphers[length - 1]);
  }
}

TEST(RC4Test, KeyStreamMatchesRfc6229) {
  struct TqdCase {
    const char* key;
    uint32_t offset;
    const char* stream;
  };
  static const TqdCase kCases[] = {
      {"0102030405", 0, "B2396305F03DC027CCC3524A0A1118A8"},
      {"0102030405", 16, "6982944F18FC82D589C403A47A0D0919"},
      {"0102030405", 240, "28CB1132C96CE286421DCAADB8B69EAE"},
      {"0102030405", 4096, "FF25B58995996707E51FBDF08B34D875"},
      {"0102030405060708090A0B0C0D0E0F10", 0, "9AC7CC9A609D1EF7B2932899CDE41B97"},
      {"0102030405060708090A0B0C0D0E0F10", 16, "5248C4959014126A6E8A84F11D1A9E1C"},
      {"0102030405060708090A0B0C0D0E0F10", 240, "065902E4B620F6CC36C8589F66432F2B"},
      {"0102030405060708090A0B0C0D0E0F10", 4096, "A36A4C301AE8AC13610CCBC12256CACC"},
  };
  for (const TqdCase& c : kCases) {
    SCOPED_TRACE(std::string(c.key) + " @" + std::to_string(c.offset));
    TqdRC4 rc4(bytesOf(fromHex(c.key)));
    for (uint32_t skip = 0; skip < c.offset; skip += 4) (void)rc4.KeyStream();
    uint8_t stream[16];
    for (int i = 0; i < 4; ++i) qdPutU32(stream + 4 * i, rc4.KeyStream());
    EXPECT_EQ(toHex(stream, 16), c.stream);
  }
  TqdRC4 rc4(bytesOf(fromHex("0102030405")));
  EXPECT_EQ(rc4.KeyStream(), 0x056339B2u);
}

struct TqdVariantVector {
  const char* key;
  uint32_t eL, eR, p0, p17, s00, s3ff;
  const char* encoded;
  const char* mac;
};

#include "storage/vectors/qdllBlowfishRC4Variant.inc"

TEST(BlowfishRC4Test, VariantMatchesTheIndependentScript) {
  for (const TqdVariantVector& vector : kVariantVectors) {
    SCOPED_TRACE(vector.key);
    TqdBlowFishRC4 cipher(bytesOf(fromHex(vector.key)));
    uint32_t l = 0x01234567, r = 0x89ABCDEF;
    cipher.EncryptWords(l, r);
    EXPECT_EQ(l, vector.eL);
    EXPECT_EQ(r, vector.eR);
    uint32_t dl = l, dr = r;
    cipher.DecryptWords(dl, dr);
    EXPECT_EQ(dl, 0x01234567u);
    EXPECT_EQ(dr, 0x89ABCDEFu);
    EXPECT_EQ(cipher.Core().bfP[0], vector.p0);
    EXPECT_EQ(cipher.Core().bfP[17], vector.p17);
    EXPECT_EQ(cipher.Core().bfS[0][0], vector.s00);
    EXPECT_EQ(cipher.Core().bfS[3][255], vector.s3ff);
    uint8_t data[32];
    for (int i = 0; i < 32; ++i) data[i] = uint8_t(i);
    cipher.ResetIV(0x11223344, 0x55667788);
    cipher.Encode(data, 32);
    uint8_t mac[8];
    cipher.Final(mac);
    EXPECT_EQ(toHex(data, 32), vector.encoded);
    EXPECT_EQ(toHex(mac, 8), vector.mac);
  }
}

TEST(BlowfishRC4Test, DeriveKeyMatchesTheIndependentScript) {
  uint8_t salt[16];
  for (int i = 0; i < 16; ++i) salt[i] = uint8_t(i);
  std::unique_ptr<TqdBaseCipher> derived(TqdBlowFishRC4::ClassInfo.ciDeriveKey(
      kDerivedPassword, uint32_t(sizeof kDerivedPassword - 1), salt, sizeof salt, "label"));
  auto* cipher = static_cast<TqdBlowFishRC4*>(derived.get());
  const std::string& key = cipher->Key();
  EXPECT_EQ(toHex(reinterpret_cast<const uint8_t*>(key.data()), key.size()), kDerivedKey);
  uint32_t l = 0, r = 0;
  cipher->EncryptWords(l, r);
  EXPECT_EQ(l, kDerivedE[0]);
  EXPECT_EQ(r, kDerivedE[1]);
}

TEST(BlowfishRC4Test, MessagesRoundTripAndChain) {
  std::vector<uint8_t> plain(64);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = uint8_t(i * 7 + 3);
  TqdBlowFishRC4 cipher("table key");
  uint8_t iv[8];
  std::vector<uint8_t> coded = plain;
  cipher.RandomIVBlock(iv);
  cipher.Encode(coded.data(), 64);
  uint8_t macOut[8];
  cipher.Final(macOut);
  EXPECT_NE(coded, plain);

  TqdBlowFishRC4 other("table key");
  std::vector<uint8_t> decoded = coded;
  other.ResetIVBlock(iv);
  other.Decode(decoded.data(), 64);
  uint8_t macIn[8];
  other.Final(macIn);
  EXPECT_EQ(decoded, plain);
  EXPECT_EQ(std::memcmp(macOut, macIn, 8), 0);

  // Two 8-byte calls continue the chain and the key stream of one call.
  std::vector<uint8_t> split(plain.begin(), plain.begin() + 16);
  cipher.ResetIVBlock(iv);
  cipher.Encode(split.data(), 8);
  cipher.Encode(split.data() + 8, 8);
  EXPECT_TRUE(std::equal(split.begin(), split.end(), coded.begin()));

  // One changed plaintext byte changes the check value.
  std::vector<uint8_t> changed = plain;
  changed[40] ^= 1;
  cipher.ResetIVBlock(iv);
  cipher.Encode(changed.data(), 64);
  uint8_t macChanged[8];
  cipher.Final(macChanged);
  EXPECT_NE(std::memcmp(macOut, macChanged, 8), 0);
  // And a damaged ciphertext byte fails the check.
  std::vector<uint8_t> damaged = coded;
  damaged[17] ^= 0x80;
  EXPECT_FALSE(other.DecodeTransport(iv, damaged.data(), 64, macOut));
  std::vector<uint8_t> intact = coded;
  EXPECT_TRUE(other.DecodeTransport(iv, intact.data(), 64, macOut));
}

TEST(BlowfishRC4Test, EmptyKeyAndSpaceShareBlowfishButNotRC4) {
  TqdBlowFishRC4 empty("");
  TqdBlowFishRC4 space(" ");
  EXPECT_EQ(std::memcmp(empty.Core().bfP, space.Core().bfP, sizeof empty.Core().bfP), 0);
  EXPECT_EQ(std::memcmp(empty.Core().bfS, space.Core().bfS, sizeof empty.Core().bfS), 0);
  uint8_t a[16] = {}, b[16] = {};
  empty.ResetIV(1, 2);
  space.ResetIV(1, 2);
  empty.Encode(a, 16);
  space.Encode(b, 16);
  EXPECT_NE(std::memcmp(a, b, 16), 0);
}

TEST(BlowfishRC4Test, EncodeAfterFinalNeedsANewVector) {
  TqdBlowFishRC4 cipher("k");
  uint8_t data[8] = {};
  cipher.ResetIV(0, 0);
  cipher.Final(data);
  EXPECT_THROW(cipher.Encode(data, 8), EAssertionFailed);
  cipher.ResetIV(0, 0);
  EXPECT_THROW(cipher.Encode(data, 7), EAssertionFailed);
}

TEST(BlowfishRC4Test, RandomVectorsDiffer) {
  TqdBlowFishRC4 cipher("k");
  uint8_t first[8], second[8];
  cipher.RandomIVBlock(first);
  cipher.RandomIVBlock(second);
  EXPECT_NE(std::memcmp(first, second, 8), 0);
}

TEST(BlowfishRC4Test, AlternativeModeRoundTrips) {
  for (uint32_t length : {0u, 256u, 4096u}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> data(length);
    for (uint32_t i = 0; i < length; ++i) data[i] = uint8_t(i * 13 + 5);
    const std::vector<uint8_t> original = data;
    TqdBlowFishRC4::AltEncode(data.data(), length);
    if (length == 256) {
      size_t same = 0;
      for (uint32_t i = 0; i < length; ++i) same += data[i] == original[i];
      EXPECT_LT(same, 8u);
    } else if (length > 0) {
      EXPECT_NE(data, original);
    }
    TqdBlowFishRC4::AltDecode(data.data(), length);
    EXPECT_EQ(data, original);
  }
  // Through the registry's current class.
  std::vector<uint8_t> data(512, 0x5A);
  TqdBaseCipher::EncodeAlt(data.data(), 512);
  TqdBaseCipher::DecodeAlt(data.data(), 512);
  EXPECT_EQ(data, std::vector<uint8_t>(512, 0x5A));
}

// --- Registries ------------------------------------------------------------------------

const TqdCipherClassInfo kZeroPriority = {u"TqdZeroWrap", nullptr, 0,          nullptr, nullptr,
                                          nullptr,        nullptr, "ZeroWrap", 0,       nullptr};

TEST(CipherRegistryTest, KeyWrapLookups) {
  EXPECT_EQ(TqdBaseCipher::FindKeyWrapClass("blowfishrc4"), &TqdBlowFishRC4::ClassInfo);
  EXPECT_EQ(TqdBaseCipher::PreferredKeyWrapClass(), &TqdBlowFishRC4::ClassInfo);
  TqdBaseCipher::RegisterKeyWrap(&kZeroPriority);
  TqdStringList names;
  TqdBaseCipher::GetRegisteredKeyWrapClasses(names);
  EXPECT_EQ(names.Count(), 2);
  EXPECT_EQ(TqdBaseCipher::FindKeyWrapClass("ZEROWRAP"), &kZeroPriority);
  EXPECT_EQ(TqdBaseCipher::PreferredKeyWrapClass(), &TqdBlowFishRC4::ClassInfo);
  TqdBaseCipher::UnregisterKeyWrap(&TqdBlowFishRC4::ClassInfo);
  // Only a class of priority 0 is left: none is preferred.
  EXPECT_EQ(TqdBaseCipher::PreferredKeyWrapClass(), nullptr);
  TqdBaseCipher::RegisterKeyWrap(&TqdBlowFishRC4::ClassInfo);
  TqdBaseCipher::UnregisterKeyWrap(&kZeroPriority);
  EXPECT_EQ(TqdBaseCipher::FindKeyWrapClass("ZeroWrap"), nullptr);
  try {
    (void)TqdBaseCipher::MustFindKeyWrapClass("X");
    FAIL() << "no exception";
  } catch (const EqdBaseCipherException& e) {
    EXPECT_EQ(e.ErrorString(), u"Unable to find key wrap class with algorithm name \"X\"");
  }
}

TEST(CipherRegistryTest, AlternativeModeLocking) {
  TqdBaseCipher::AltLock();
  try {
    TqdBaseCipher::AltUnregister(&TqdBlowFishRC4::ClassInfo);
    FAIL() << "no exception";
  } catch (const EqdBaseCipherException& e) {
    EXPECT_EQ(e.ErrorCode(), 10241u);
  }
  TqdBaseCipher::AltUnLock();
  TqdBaseCipher::AltUnregister(&TqdBlowFishRC4::ClassInfo);
  for (int step = 0; step < 2; ++step) {
    try {
      uint8_t data[256] = {};
      if (step == 0)
        TqdBaseCipher::AltLock();
      else
        TqdBaseCipher::EncodeAlt(data, 256);
      ADD_FAILURE() << "no exception";
    } catch (const EqdBaseCipherException& e) {
      EXPECT_EQ(e.ErrorCode(), 12289u);
      EXPECT_EQ(e.ErrorString(), u"No alternative mode cipher class registered");
    }
  }
  TqdBaseCipher::AltRegister(&TqdBlowFishRC4::ClassInfo);
  EXPECT_EQ(TqdBaseCipher::AltCurrent(), &TqdBlowFishRC4::ClassInfo);
}

}  // namespace
}  // namespace qd
