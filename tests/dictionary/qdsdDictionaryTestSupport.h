// Helpers shared by the dictionary tests: catching an engine error with its
// code, text and class, and writing an item into bytes and reading it back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Items.h"
#include "foundation/qdllException.h"
#include "foundation/qdllStreams.h"

namespace qd::test {

using Bytes = std::vector<uint8_t>;

inline std::string u8(qdStringView aText) { return StringToUtf8(aText); }

struct TqdCaughtError {
  bool Raised = false;
  TqdResult Code = 0;
  std::string Text;  // the processed text, without the message frame
};

inline TqdCaughtError catchError(const std::function<void()>& aAction) {
  TqdCaughtError caught;
  try {
    aAction();
  } catch (const EqdBaseException& e) {
    caught.Raised = true;
    caught.Code = e.ErrorCode();
    caught.Text = u8(e.ProcessedErrorString());
  }
  return caught;
}

// The action raises an engine exception with this code (and text, when one
// is given).
#define EXPECT_ENGINE_ERROR(aStatement, aCode, aText)                                       \
  do {                                                                                      \
    const ::qd::test::TqdCaughtError caught_ = ::qd::test::catchError([&] { aStatement; }); \
    EXPECT_TRUE(caught_.Raised) << #aStatement;                                             \
    EXPECT_EQ(caught_.Code, static_cast<::qd::TqdResult>(aCode)) << caught_.Text;           \
    if (std::string(aText) != "") {                                                         \
      EXPECT_EQ(caught_.Text, std::string(aText));                                          \
    }                                                                                       \
  } while (false)

inline Bytes streamBytes(TqdCustomMemoryStream& aStream) {
  return Bytes(aStream.ByteArray(), aStream.ByteArray() + aStream.Size());
}

// The bytes aWrite puts into a fresh stream.
inline Bytes written(const std::function<void(TqdWriter&)>& aWrite) {
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    aWrite(writer);
  }
  return streamBytes(stream);
}

inline Bytes itemBytes(const TqdDictionaryItem& aItem, int32_t aClientVersion = qdEngineClientVersion) {
  return written([&](TqdWriter& aWriter) { aItem.SaveToWriter(aWriter, aClientVersion); });
}

// Runs aRead over the bytes and checks that it used all of them.
inline void readBytes(const Bytes& aBytes, const std::function<void(TqdReader&)>& aRead) {
  TqdMemoryStream stream(-1);
  stream.Write(aBytes.data(), static_cast<int32_t>(aBytes.size()));
  stream.SetPosition(0);
  int64_t end = 0;
  {
    TqdReader reader(&stream);
    aRead(reader);
    end = reader.Position();
  }
  EXPECT_EQ(end, static_cast<int64_t>(aBytes.size())) << "bytes left unread";
}

inline void loadItem(TqdDictionaryItem& aItem, const Bytes& aBytes) {
  readBytes(aBytes, [&](TqdReader& aReader) { aItem.LoadFromReader(aReader); });
}

}  // namespace qd::test
