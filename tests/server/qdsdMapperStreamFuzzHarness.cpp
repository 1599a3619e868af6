#include "tests/server/qdsdMapperStreamFuzzHarness.h"

#include <memory>
#include <stdexcept>
#include <vector>

#include "foundation/qdllStreams.h"
#include "platform/qdStringList.h"
#include "server/qdsdTableMapperDescriptorBase.h"

namespace qd::test {

namespace {

std::vector<uint8_t> written(const TqdBaseTableMapperDescriptor& aTree) {
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    aTree.WriteToWriter(writer, 47501);
  }
  return std::vector<uint8_t>(stream.ByteArray(), stream.ByteArray() + stream.Size());
}

std::unique_ptr<TqdBaseTableMapperDescriptor> read(std::vector<uint8_t>& aBytes) {
  TqdStaticMemoryStream stream(aBytes.data(), static_cast<int32_t>(aBytes.size()));
  TqdReader reader(&stream);
  return std::unique_ptr<TqdBaseTableMapperDescriptor>(TqdBaseTableMapperDescriptor::CreateFromReader(reader));
}

}  // namespace

void FuzzTableMapperStreamInput(const uint8_t* aData, size_t aSize) {
  // An exact-size copy, so that the sanitizer sees any read past its end.
  std::vector<uint8_t> bytes(aData, aData + aSize);
  std::unique_ptr<TqdBaseTableMapperDescriptor> tree;
  try {
    tree = read(bytes);
  } catch (const EqdBaseException&) {
    return;
  } catch (const EReadError&) {
    return;
  } catch (const EStringListError&) {
    return;
  }
  std::vector<uint8_t> again = written(*tree);
  std::unique_ptr<TqdBaseTableMapperDescriptor> copy = read(again);
  if (written(*copy) != again) throw std::logic_error("a mapper tree written again read back different");
  std::unique_ptr<TqdBaseTableMapperDescriptor> duplicate(tree->Duplicate());
  if (duplicate->Parent() != nullptr || written(*duplicate) != again)
    throw std::logic_error("a duplicate differs from its tree");
}

}  // namespace qd::test
