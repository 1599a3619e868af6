#include "storage/qdseStreamEngineSimple.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllWideString.h"
#include "platform/qdFormat.h"
#include "platform/qdStringList.h"

namespace qd {

namespace {

constexpr uint32_t kOffNext = 16;
constexpr uint32_t kOffTag = 20;
constexpr uint32_t kOffLength = 24;
constexpr uint32_t kOffFirst = 28;
constexpr uint32_t kStreamHeaderSize = 32;

constexpr uint32_t kSectionDict = 0;
constexpr uint32_t kSectionMap = 4;
constexpr uint8_t kSectionSize = 8;

constexpr TqdBlockSignature kStreamBlockSignature = qdSignature("QDSH");
constexpr TqdBlockSignature kTagDict = qdSignature("DICT");
constexpr TqdBlockSignature kTagMap = qdSignature("SMAP");
constexpr TqdBlockSignature kTagUser = qdSignature("USER");

// The smallest map entry: a length byte and a stream number.
constexpr uint32_t kMinMapEntry = 5;

// "DICT" in any ASCII letter case.
bool isDictName(qdStringView aName) {
  static constexpr char16_t kDict[] = u"DICT";
  if (aName.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    char16_t c = aName[i];
    if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    if (c != kDict[i]) return false;
  }
  return true;
}

void* numberAsObject(uint32_t aNumber) { return reinterpret_cast<void*>(uintptr_t(aNumber)); }
uint32_t objectAsNumber(void* aObject) { return uint32_t(reinterpret_cast<uintptr_t>(aObject)); }

}  // namespace

// The names of the map with their stream numbers, sorted with letter case
// ignored; a name given twice is refused.
class TqdSimpleStreamEngine::TqdStreamMap {
 public:
  TqdStreamMap() {
    smList.SetCaseSensitive(false);
    smList.SetDuplicates(dupError);
    smList.SetSorted(true);
  }

  int32_t Count() const { return smList.Count(); }
  const qdString& Name(int32_t aIndex) const { return smList.Strings(aIndex); }
  uint32_t Number(int32_t aIndex) const { return objectAsNumber(smList.Objects(aIndex)); }
  int32_t Find(qdStringView aName) const {
    int32_t index = 0;
    return smList.Find(aName, index) ? index : -1;
  }
  // False when the name is there already.
  bool Add(const qdString& aName, uint32_t aNumber) {
    if (Find(aName) >= 0) return false;
    smList.AddObject(aName, numberAsObject(aNumber));
    return true;
  }
  void Delete(int32_t aIndex) { smList.Delete(aIndex); }
  const TqdStringList& List() const { return smList; }

 private:
  TqdStringList smList;
};

// --- Creation ----------------------------------------------------------------------

const TqdStreamEngineClass TqdSimpleStreamEngine::ClassInfo{
    {u"TqdSimpleStreamEngine", &TqdBaseStreamEngine::ClassInfo, nullptr},
    &qdNewStreamEngine<TqdSimpleStreamEngine>,
    nullptr};

TqdSimpleStreamEngine::TqdSimpleStreamEngine(TqdBaseStreamDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                                             TqdBaseTransaction* aTrans)
    : TqdBaseStreamEngine(aDescriptor, aDataFile, aTrans) {
  const qdAnsiString name = aDescriptor != nullptr ? qdAnsiString(aDescriptor->HeaderSection()) : "Stream";
  std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, aTrans != nullptr);
  if (aTrans != nullptr) {
    seHeaderSection = header->RegisterHeaderSection(name, kSectionSize, true, false);
    std::memset(header->WritableHeader() + seHeaderSection, 0, kSectionSize);
  } else {
    seHeaderSection = header->RegisterHeaderSection(name, kSectionSize, false, false);
  }
}

// --- Blocks and chains ----------------------------------------------------------------

void TqdSimpleStreamEngine::RaiseCorrupt(qdStringView aWhat, uint32_t aStreamNr) const {
  qdRaiseCorrupt<EqdseStreamEngineExcpetion>(
      qdeFileCorrupt, Format(u"%s [%s, stream %d]", {qdString(aWhat), DataFile()->fiName(), aStreamNr}));
}

uint32_t TqdSimpleStreamEngine::SectionField(const TqdBaseFileHeaderAccess& aHeader, uint32_t aOffset) const {
  return qdGetU32(aHeader.Header() + seHeaderSection + aOffset);
}

void TqdSimpleStreamEngine::SetSectionField(TqdBaseFileHeaderAccess& aHeader, uint32_t aOffset, uint32_t aValue) {
  qdPutU32(aHeader.WritableHeader() + seHeaderSection + aOffset, aValue);
}

TqdBlockRef TqdSimpleStreamEngine::ReadStreamBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aNumber,
                                                   bool aMarkDirty) {
  if (!DataFile()->ValidBlock(aNumber, aTrans))
    throw EqdseStreamEngineExcpetion(qdeBadBlockNum,
                                     u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                     {DataFile()->fiName(), aNumber});
  TqdBlockRef block = DataFile()->GetBlock(aTrans, aNumber, ID(), aMarkDirty);
  if (!(qdBlockSignature(block.Data()) == kStreamBlockSignature) || qdBlockThisBlock(block.Data()) != aNumber)
    throw EqdseStreamEngineExcpetion(qdeNotStreamBlock,
                                     u"Block just read from file is not a valid stream block [%s, block %d]",
                                     {DataFile()->fiName(), aNumber});
  return block;
}

TqdBlockRef TqdSimpleStreamEngine::NewStreamBlock(TqdBaseFileHeaderAccess& aHeader, TqdBaseTransaction* aTrans,
                                                  TqdBlockRef* aPrevious) {
  TqdBlockRef block = aHeader.GetNewBlock(aTrans, ID());
  uint8_t* data = block.WritableData();
  std::memset(data + kBlockCommonHeaderSize, 0, DataFile()->fiBlockSizeBytes() - kBlockCommonHeaderSize);
  qdSetBlockSignature(data, kStreamBlockSignature);
  qdSetBlockLSN(data, 0);
  qdPutU32(data + kOffNext, kNoBlock);
  if (aPrevious != nullptr) qdPutU32(aPrevious->WritableData() + kOffNext, qdBlockThisBlock(data));
  return block;
}

TqdBlockRef TqdSimpleStreamEngine::FreeChain(TqdBaseFileHeaderAccess& aHeader, TqdBaseTransaction* aTrans,
                                             uint32_t aStreamNr, bool aKeepFirst) {
  TqdBlockRef first = ReadStreamBlock(aTrans, aStreamNr, true);
  uint32_t next = qdGetU32(first.Data() + kOffNext);
  if (aKeepFirst) {
    qdPutU32(first.WritableData() + kOffNext, kNoBlock);
  } else {
    aHeader.DeleteBlock(aTrans, first);
  }
  // A chain that loops, or runs into a block of another stream, would free
  // blocks that are still in use: the walk stops at the first such link.
  // Blocks already freed are caught as well: they are no stream blocks any
  // more.
  std::unordered_set<uint32_t> seen{aStreamNr};
  while (next != kNoBlock) {
    if (!seen.insert(next).second) RaiseCorrupt(u"Stream chain loops", aStreamNr);
    TqdBlockRef block = ReadStreamBlock(aTrans, next, true);
    if (qdGetU32(block.Data() + kOffFirst) != aStreamNr)
      RaiseCorrupt(u"Stream chain runs into another stream", aStreamNr);
    next = qdGetU32(block.Data() + kOffNext);
    aHeader.DeleteBlock(aTrans, block);
  }
  return first;
}

void TqdSimpleStreamEngine::WriteChain(TqdBaseFileHeaderAccess& aHeader, TqdBaseTransaction* aTrans,
                                       uint32_t& aStreamNr, TStream& aStream, bool aCreateNew,
                                       const TqdBlockSignature& aStreamSig) {
  const int64_t size = aStream.Size();
  if (size < 0 || size > int64_t(UINT32_MAX))
    throw EqdseStreamEngineExcpetion(qdeInvalidParam, u"A stream of %d bytes cannot be stored", {size});
  const uint32_t per = DataFile()->fiBlockSizeBytes() - kStreamHeaderSize;
  TqdBlockRef current;
  if (aCreateNew) {
    current = NewStreamBlock(aHeader, aTrans, nullptr);
    aStreamNr = qdBlockThisBlock(current.Data());
  } else {
    current = FreeChain(aHeader, aTrans, aStreamNr, true);
    std::memset(current.WritableData() + kStreamHeaderSize, 0, per);
  }
  uint8_t* data = current.WritableData();
  qdPutU32(data + kOffFirst, aStreamNr);
  std::memcpy(data + kOffTag, aStreamSig.bsChars, 4);
  qdPutU32(data + kOffLength, uint32_t(size));
  aStream.SetPosition(0);
  uint32_t remaining = uint32_t(size);
  uint32_t part = std::min(per, remaining);
  aStream.ReadBuffer(data + kStreamHeaderSize, int32_t(part));
  remaining -= part;
  while (remaining > 0) {
    TqdBlockRef next = NewStreamBlock(aHeader, aTrans, &current);
    current = std::move(next);
    data = current.WritableData();
    qdPutU32(data + kOffFirst, aStreamNr);
    std::memcpy(data + kOffTag, aStreamSig.bsChars, 4);
    part = std::min(per, remaining);
    aStream.ReadBuffer(data + kStreamHeaderSize, int32_t(part));
    remaining -= part;
  }
}

// --- Numbered streams ---------------------------------------------------------------------

void TqdSimpleStreamEngine::DeleteStream(TqdBaseTransaction* aTrans, uint32_t aStreamNr) {
  std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, true);
  (void)FreeChain(*header, aTrans, aStreamNr, false);
}

void TqdSimpleStreamEngine::ReadStream(TqdBaseTransaction* aTrans, uint32_t aStreamNr, TStream& aStream) {
  aStream.SetSize(0);
  const uint32_t per = DataFile()->fiBlockSizeBytes() - kStreamHeaderSize;
  TqdBlockRef block = ReadStreamBlock(aTrans, aStreamNr, false);
  uint32_t remaining = qdGetU32(block.Data() + kOffLength);
  // The length is checked against what the file can hold before any byte
  // is copied: a damaged length must not make the reader allocate gigabytes.
  const uint64_t blocksNeeded = std::max<uint64_t>(1, (uint64_t(remaining) + per - 1) / per);
  const uint32_t usedBlocks = DataFile()->HeaderAccess(aTrans, false)->UsedBlocks();
  if (usedBlocks == 0 || blocksNeeded > usedBlocks - 1)
    RaiseCorrupt(Format(u"Stream length %d is larger than the file", {remaining}), aStreamNr);
  std::unordered_set<uint32_t> seen{aStreamNr};
  while (remaining > 0) {
    const uint32_t part = std::min(per, remaining);
    aStream.WriteBuffer(block.Data() + kStreamHeaderSize, int32_t(part));
    remaining -= part;
    if (remaining == 0) break;
    const uint32_t next = qdGetU32(block.Data() + kOffNext);
    if (next == kNoBlock) RaiseCorrupt(u"Stream chain ends before the stream's length", aStreamNr);
    if (!seen.insert(next).second) RaiseCorrupt(u"Stream chain loops", aStreamNr);
    block.Release();
    block = ReadStreamBlock(aTrans, next, false);
    if (qdGetU32(block.Data() + kOffFirst) != aStreamNr)
      RaiseCorrupt(u"Stream chain runs into another stream", aStreamNr);
  }
  aStream.SetPosition(0);
}

void TqdSimpleStreamEngine::WriteStream(TqdBaseTransaction* aTrans, uint32_t& aStreamNr, TStream& aStream,
                                        bool aCreateNew, const TqdBlockSignature& aStreamSig) {
  std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, true);
  WriteChain(*header, aTrans, aStreamNr, aStream, aCreateNew, aStreamSig);
}

// --- The stream map -------------------------------------------------------------------

void TqdSimpleStreamEngine::LoadMap(TqdBaseTransaction* aTrans, uint32_t aMapNr, TqdStreamMap& aMap) {
  if (aMapNr == 0) return;
  TqdMemoryStream stream(-1);
  ReadStream(aTrans, aMapNr, stream);
  const uint8_t* bytes = stream.ByteArray();
  const uint32_t size = uint32_t(stream.Size());
  if (size < 4) RaiseCorrupt(u"Stream map is too short", aMapNr);
  const uint32_t count = qdGetU32(bytes);
  if (count > (size - 4) / kMinMapEntry) RaiseCorrupt(Format(u"Stream map count %d is too large", {count}), aMapNr);
  uint32_t position = 4;
  for (uint32_t i = 0; i < count; ++i) {
    if (size - position < kMinMapEntry) RaiseCorrupt(u"Stream map ends inside an entry", aMapNr);
    const uint32_t length = bytes[position++];
    if (size - position < length + 4) RaiseCorrupt(u"Stream map name runs past the map", aMapNr);
    qdString name;
    qdStringToWideString(std::string_view(reinterpret_cast<const char*>(bytes + position), length), name);
    position += length;
    const uint32_t number = qdGetU32(bytes + position);
    position += 4;
    if (!aMap.Add(name, number)) RaiseCorrupt(u"Stream map holds a name twice", aMapNr);
  }
  if (position != size) RaiseCorrupt(u"Stream map has bytes after its last entry", aMapNr);
}

void TqdSimpleStreamEngine::SaveMap(TqdBaseFileHeaderAccess& aHeader, TqdBaseTransaction* aTrans,
                                    const TqdStreamMap& aMap) {
  uint32_t mapNr = SectionField(aHeader, kSectionMap);
  if (aMap.Count() == 0) {
    if (mapNr != 0) {
      (void)FreeChain(aHeader, aTrans, mapNr, false);
      SetSectionField(aHeader, kSectionMap, 0);
    }
    return;
  }
  TqdMemoryStream stream(-1);
  uint8_t number[4];
  qdPutU32(number, uint32_t(aMap.Count()));
  stream.WriteBuffer(number, 4);
  for (int32_t i = 0; i < aMap.Count(); ++i) {
    const qdAnsiString name = qdWideStringToString(aMap.Name(i));
    const uint8_t length = uint8_t(name.size());
    stream.WriteBuffer(&length, 1);
    stream.WriteBuffer(name.data(), int32_t(name.size()));
    qdPutU32(number, aMap.Number(i));
    stream.WriteBuffer(number, 4);
  }
  WriteChain(aHeader, aTrans, mapNr, stream, mapNr == 0, kTagMap);
  SetSectionField(aHeader, kSectionMap, mapNr);
}

// --- Named streams ----------------------------------------------------------------------

TqdResult TqdSimpleStreamEngine::GetNamedStreamList(TqdBaseTransaction* aTrans, TqdStringList& aStreams) {
  aStreams.Clear();
  std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, false);
  const uint32_t dictNr = SectionField(*header, kSectionDict);
  TqdStreamMap map;
  LoadMap(aTrans, SectionField(*header, kSectionMap), map);
  for (int32_t i = 0; i < map.Count(); ++i) aStreams.AddObject(map.Name(i), numberAsObject(map.Number(i)));
  if (dictNr != 0) aStreams.AddObject(u"DICT", numberAsObject(dictNr));
  return 0;
}

TqdResult TqdSimpleStreamEngine::GetNamedStreamCount(TqdBaseTransaction* aTrans, uint32_t& aCount) {
  std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, false);
  TqdStreamMap map;
  LoadMap(aTrans, SectionField(*header, kSectionMap), map);
  aCount = uint32_t(map.Count());
  return 0;
}

TqdResult TqdSimpleStreamEngine::DeleteNamedStream(TqdBaseTransaction* aTrans, qdStringView aName) {
  std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, true);
  if (isDictName(aName)) {
    const uint32_t dictNr = SectionField(*header, kSectionDict);
    if (dictNr == 0) return qdeObjNotFound;
    (void)FreeChain(*header, aTrans, dictNr, false);
    SetSectionField(*header, kSectionDict, 0);
    return 0;
  }
  TqdStreamMap map;
  LoadMap(aTrans, SectionField(*header, kSectionMap), map);
  const int32_t index = map.Find(aName);
  if (index < 0) return qdeObjNotFound;
  (void)FreeChain(*header, aTrans, map.Number(index), false);
  map.Delete(index);
  SaveMap(*header, aTrans, map);
  return 0;
}

TqdResult TqdSimpleStreamEngine::ReadNamedStream(TqdBaseTransaction* aTrans, qdStringView aName, TStream& aStream) {
  uint32_t streamNr = 0;
  {
    std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, false);
    if (isDictName(aName)) {
      streamNr = SectionField(*header, kSectionDict);
    } else {
      TqdStreamMap map;
      LoadMap(aTrans, SectionField(*header, kSectionMap), map);
      const int32_t index = map.Find(aName);
      if (index >= 0) streamNr = map.Number(index);
    }
  }
  if (streamNr == 0) return qdeObjNotFound;
  ReadStream(aTrans, streamNr, aStream);
  return 0;
}

TqdResult TqdSimpleStreamEngine::WriteNamedStream(TqdBaseTransaction* aTrans, qdStringView aName, TStream& aStream) {
  if (isDictName(aName)) {
    std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, true);
    uint32_t dictNr = SectionField(*header, kSectionDict);
    WriteChain(*header, aTrans, dictNr, aStream, dictNr == 0, kTagDict);
    SetSectionField(*header, kSectionDict, dictNr);
    return 0;
  }
  // The map keeps a name as one length byte and the bytes of the ANSI code
  // page: a name that does not fit, or that the code page cannot hold, would
  // be stored as another name, so it is refused before anything changes.
  const qdAnsiString ansiName = qdWideStringToString(aName);
  qdString storedName;
  qdStringToWideString(ansiName, storedName);
  if (ansiName.size() > 255 || storedName != aName)
    throw EqdseStreamEngineExcpetion(qdeInvalidName, u"Invalid stream name: \"%s\"", {qdString(aName)});
  std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, true);
  TqdStreamMap map;
  LoadMap(aTrans, SectionField(*header, kSectionMap), map);
  const int32_t index = map.Find(aName);
  if (index >= 0) {
    uint32_t streamNr = map.Number(index);
    WriteChain(*header, aTrans, streamNr, aStream, false, kTagUser);
    return 0;
  }
  uint32_t streamNr = 0;
  WriteChain(*header, aTrans, streamNr, aStream, true, kTagUser);
  (void)map.Add(storedName, streamNr);
  SaveMap(*header, aTrans, map);
  return 0;
}

// --- Unit start and end ---------------------------------------------------------------------

void qdseStreamEngineSimpleInitialize() {
  TqdBaseSubEngine::Register(TqdSimpleStreamEngine::ClassInfo, u"qd1xDefault");
}

void qdseStreamEngineSimpleFinalize() { TqdBaseSubEngine::Unregister(TqdSimpleStreamEngine::ClassInfo); }

}  // namespace qd
