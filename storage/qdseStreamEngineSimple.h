// The default stream engine ("qd1xDefault"): byte streams of any length
// kept in chains of stream blocks in a table's main file, and on top of
// them named streams - the table's data dictionary under the reserved name
// "DICT" and any other name through a stream map.
//
// Header section (8 bytes in block 0, named by the stream descriptor, or
// "Stream" without one; zero in a new file):
//
//   offset size content
//        0    4 first block of the stream "DICT" (0: none)
//        4    4 first block of the stream map (0: no other named stream)
//
// Stream block "QDSH" (u = the file's usable block size):
//
//   offset size content
//        0    4 signature "QDSH"
//        4    4 the block's own number
//        8    8 LSN (0 when formatted)
//       16    4 next block of the stream; 0xFFFFFFFF: the last block
//       20    4 stream tag: "DICT", "SMAP", "USER" or the writer's tag
//       24    4 first block: the stream's length in bytes; others: 0
//       28    4 the number of the stream's first block
//       32 u-32 data; the rest of the last block is zero
//
// A stream's number is the number of its first block and survives rewrites.
// An empty stream is one block of length 0.
//
// Stream map (the content of the stream tagged "SMAP"):
//
//   count (4), then per entry: name length n (1), the name in the ANSI code
//   page (n), the stream's number (4); entries sorted by name, letter case
//   ignored. "DICT" is never in the map; the map exists only while it has
//   an entry.
//
// Everything read from the file is checked before it is used: a stream
// length beyond what the file can hold, a chain that ends early, loops or
// runs into another stream, and a map whose count, name lengths or size
// disagree all raise 8962 before anything is changed.
//
// Classes: TqdSimpleStreamEngine, EqdseStreamEngineExcpetion (spelled so).
// The engine holds only its section offset; every call reads the file
// through the caller's transaction. No locks: the server serialises the
// writers of a table.
#pragma once

#include <cstdint>

#include "storage/qdsrStreamEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdseStreamEngineExcpetion, EqdStreamEngineException);

class TqdSimpleStreamEngine : public TqdBaseStreamEngine {
 public:
  static const TqdStreamEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // With aTrans (a new table) the header section is created and zeroed;
  // without, it is looked up.
  TqdSimpleStreamEngine(TqdBaseStreamDescriptor* aDescriptor, TqdBlockAccess* aDataFile, TqdBaseTransaction* aTrans);

  void DeleteStream(TqdBaseTransaction* aTrans, uint32_t aStreamNr) override;
  void ReadStream(TqdBaseTransaction* aTrans, uint32_t aStreamNr, TStream& aStream) override;
  void WriteStream(TqdBaseTransaction* aTrans, uint32_t& aStreamNr, TStream& aStream, bool aCreateNew,
                   const TqdBlockSignature& aStreamSig) override;
  [[nodiscard]] TqdResult GetNamedStreamList(TqdBaseTransaction* aTrans, TqdStringList& aStreams) override;
  [[nodiscard]] TqdResult GetNamedStreamCount(TqdBaseTransaction* aTrans, uint32_t& aCount) override;
  [[nodiscard]] TqdResult DeleteNamedStream(TqdBaseTransaction* aTrans, qdStringView aName) override;
  [[nodiscard]] TqdResult ReadNamedStream(TqdBaseTransaction* aTrans, qdStringView aName, TStream& aStream) override;
  [[nodiscard]] TqdResult WriteNamedStream(TqdBaseTransaction* aTrans, qdStringView aName, TStream& aStream) override;

  uint16_t HeaderSection() const { return seHeaderSection; }

 private:
  class TqdStreamMap;

  // Block aNumber of a stream, checked (15409, 15421).
  TqdBlockRef ReadStreamBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aNumber, bool aMarkDirty);
  // A zeroed stream block; linked behind aPrevious when given.
  TqdBlockRef NewStreamBlock(TqdBaseFileHeaderAccess& aHeader, TqdBaseTransaction* aTrans, TqdBlockRef* aPrevious);
  // Frees the chain of aStreamNr; with aKeepFirst the first block stays and
  // is returned, dirty and ending the chain.
  TqdBlockRef FreeChain(TqdBaseFileHeaderAccess& aHeader, TqdBaseTransaction* aTrans, uint32_t aStreamNr,
                        bool aKeepFirst);
  void WriteChain(TqdBaseFileHeaderAccess& aHeader, TqdBaseTransaction* aTrans, uint32_t& aStreamNr, TStream& aStream,
                  bool aCreateNew, const TqdBlockSignature& aStreamSig);
  void LoadMap(TqdBaseTransaction* aTrans, uint32_t aMapNr, TqdStreamMap& aMap);
  void SaveMap(TqdBaseFileHeaderAccess& aHeader, TqdBaseTransaction* aTrans, const TqdStreamMap& aMap);
  uint32_t SectionField(const TqdBaseFileHeaderAccess& aHeader, uint32_t aOffset) const;
  void SetSectionField(TqdBaseFileHeaderAccess& aHeader, uint32_t aOffset, uint32_t aValue);
  [[noreturn]] void RaiseCorrupt(qdStringView aWhat, uint32_t aStreamNr) const;

  uint16_t seHeaderSection = 0;
};

void qdseStreamEngineSimpleInitialize();
void qdseStreamEngineSimpleFinalize();

}  // namespace qd
