// Fields of any type and the images of values, for the converter tests: a
// conversion is run through the registry exactly as a mapper engine runs it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary.h"
#include "platform/qdExtended.h"
#include "platform/qdLittleEndian.h"
#include "server/qdsdFieldMapper.h"

namespace qd::test {

using Image = std::vector<uint8_t>;

template <class T>
Image imageOf(T aValue) {
  Image bytes(sizeof(T));
  std::memcpy(bytes.data(), &aValue, sizeof(T));
  return bytes;
}
inline Image b8(uint8_t v) { return {v}; }
inline Image i8(int8_t v) { return imageOf(v); }
inline Image i16(int16_t v) { return imageOf(v); }
inline Image u16(uint16_t v) { return imageOf(v); }
inline Image i32(int32_t v) { return imageOf(v); }
inline Image u32(uint32_t v) { return imageOf(v); }
inline Image i64(int64_t v) { return imageOf(v); }
inline Image f32(float v) { return imageOf(v); }
inline Image f64(double v) { return imageOf(v); }
inline Image ext(const TqdExtended& v) { return Image(v.Bytes.begin(), v.Bytes.end()); }
inline Image shortStr(std::string_view s) {
  Image bytes{static_cast<uint8_t>(s.size())};
  bytes.insert(bytes.end(), s.begin(), s.end());
  return bytes;
}
inline Image nullStr(std::string_view s) {
  Image bytes(s.begin(), s.end());
  bytes.push_back(0);
  return bytes;
}
inline Image wideStr(std::u16string_view s) {
  Image bytes;
  for (char16_t c : s) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

// What a converter did with one value: its result and the target bytes.
struct TqdConversion {
  bool Assigned = false;
  TqdResult Code = 0;
  Image Target;
};

constexpr uint8_t kUntouched = 0xCC;

// Fields made on demand in one table, each with a name of its own.
class TqdConverterFields {
 public:
  TqdFieldDescriptor& Field(TqdFieldType aType, int32_t aUnits = 0, int32_t aDecPl = 0) {
    const qdString name = u"F" + qdString(1, static_cast<char16_t>(u'A' + cfCount / 26)) +
                          qdString(1, static_cast<char16_t>(u'A' + cfCount % 26));
    ++cfCount;
    return *cfTable.FieldsDescriptor()->AddField(name, u"", aType, aUnits, aDecPl, false);
  }
  TqdDataDictionary& Table() { return cfTable; }

 private:
  TqdDataDictionary cfTable;
  int cfCount = 0;
};

// Binds a converter for the pair (nil action: no descriptor) and runs it once
// over aValue, the target prefilled with kUntouched.
inline TqdConversion qdConvert(TqdFieldDescriptor& aSource, TqdFieldDescriptor& aTarget,
                               const TqdDataLossAction* aAction, const Image& aValue) {
  std::unique_ptr<TqdFieldMapperDescriptor> desc;
  if (aAction != nullptr) desc = std::make_unique<TqdFieldMapperDescriptor>(u"s", u"t", *aAction);
  TqdMappingMethod method;
  std::unique_ptr<TqdBaseFieldMapper> instance(
      TqdBaseFieldMapper::CreateMapper(aSource, nullptr, aTarget, nullptr, desc.get(), method));
  TqdConversion result;
  result.Assigned = method.Assigned();
  if (!result.Assigned) return result;
  Image source = aValue;
  source.resize(std::max<size_t>(source.size(), static_cast<size_t>(aSource.Length())), 0);
  result.Target.assign(static_cast<size_t>(aTarget.Length()), kUntouched);
  result.Code = method(source.data(), result.Target.data());
  return result;
}

}  // namespace qd::test
