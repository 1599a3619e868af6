#include "tests/foundation/qdllFilerReaderFuzzHarness.h"

#include <vector>

#include "foundation/qdllStreams.h"

namespace qd::test {

namespace {

void readAll(TqdReader& aReader, uint32_t aChoice) {
  uint8_t block[16];
  for (int step = 0; step < 4096; ++step) {
    // A small linear congruential sequence picks the next operation.
    aChoice = aChoice * 1103515245u + 12345u;
    switch ((aChoice >> 16) % 20) {
      case 0:
        aReader.SkipValue();
        break;
      case 1:
        aReader.ReadInteger();
        break;
      case 2:
        aReader.ReadInt64();
        break;
      case 3:
        aReader.ReadBoolean();
        break;
      case 4:
        aReader.ReadString();
        break;
      case 5:
        aReader.ReadIdent();
        break;
      case 6:
        aReader.ReadListBegin();
        break;
      case 7:
        aReader.ReadListEnd();
        break;
      case 8:
        aReader.ReadBytes();
        break;
      case 9:
        aReader.ReadBinary(block, 16);
        break;
      case 10:
        aReader.ReadChar();
        break;
      case 11:
        aReader.Read(block, static_cast<int32_t>(aChoice % 17));
        break;
      case 12:
        (void)aReader.EndOfList();
        break;
      case 13:
        aReader.ReadAnsiChar();
        break;
      case 14:
        aReader.ReadFloat();
        break;
      case 15:
        aReader.ReadVariant();
        break;
      case 16:
        aReader.ReadGuid();
        break;
      case 17: {
        TqdStringList lines;
        aReader.ReadStrings(lines);
        break;
      }
      default:
        aReader.SkipValue();
        break;
    }
  }
}

}  // namespace

void FuzzFilerReaderInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 1) return;
  // An exact-size copy, so that the sanitizer sees any read past its end.
  std::vector<uint8_t> bytes(aData + 1, aData + aSize);
  TqdStaticMemoryStream stream(bytes.data(), static_cast<int32_t>(bytes.size()));
  try {
    TqdReader reader(&stream, 64);
    readAll(reader, aData[0]);
  } catch (const EReadError&) {
  }
}

}  // namespace qd::test
