// The record compression engine family: how a heap-based record engine
// shrinks record images before storing them, its registry and its
// creation, and the "Null" engine that stores every record raw.
//
// Ownership: a compression engine belongs to the record engine that made
// it and points into the dictionary that record engine's table keeps
// (brceDescriptor, may be nil).
#pragma once

#include "storage/qdsrSubEngineBase.h"

namespace qd {

class TqdBaseRecordCompressionDescriptor;
class TqdBaseRecordCompressionEngine;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseRecordCompressionEngineException, EqdBaseSubEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdNullRecordCompressionEngineException, EqdBaseRecordCompressionEngineException);

struct TqdRecordCompressionEngineClass : TqdClassInfo {
  TqdBaseRecordCompressionEngine* (*Create)(TqdBaseRecordCompressionDescriptor* aDescriptor,
                                            int32_t aTableVersion) = nullptr;
  void (*CheckValidDescriptor)(TqdBaseRecordCompressionDescriptor* aDescriptor) = nullptr;
};

template <class T>
TqdBaseRecordCompressionEngine* qdNewRecordCompressionEngine(TqdBaseRecordCompressionDescriptor* aDescriptor,
                                                             int32_t aTableVersion) {
  return new T(aDescriptor, aTableVersion);
}

class TqdBaseRecordCompressionEngine : public TqdBaseSubEngine {
 public:
  static const TqdRecordCompressionEngineClass ClassInfo;
  static const TqdSubEngineFamily Family;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdBaseRecordCompressionEngine(TqdBaseRecordCompressionDescriptor* aDescriptor, int32_t aTableVersion);

  static const TqdRecordCompressionEngineClass* FindEngineClass(qdStringView aName);
  // A nil descriptor gives a "Null" engine (ID 0); else the named engine
  // (15503 for an unknown name).
  static TqdBaseRecordCompressionEngine* CreateEngine(TqdBaseRecordCompressionDescriptor* aDescriptor,
                                                      int32_t aTableVersion);
  static void CheckValidBaseFromDescriptor(TqdBaseRecordCompressionDescriptor* aDescriptor);

  // Writes the compressed form of a record image to aTarget and returns its
  // size; 0: not compressed, the caller stores the image raw.
  virtual uint16_t CompressRecord(const uint8_t* aSource, uint8_t* aTarget) = 0;
  // Expands aSize bytes of compressed data into a full record image.
  virtual void DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) = 0;

  TqdBaseRecordCompressionDescriptor* Descriptor() const { return brceDescriptor; }

 protected:
  TqdBaseRecordCompressionDescriptor* brceDescriptor;
};

// "Null": never compresses, refuses to decompress (12289).
class TqdNullRecordCompressionEngine : public TqdBaseRecordCompressionEngine {
 public:
  static const TqdRecordCompressionEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  using TqdBaseRecordCompressionEngine::TqdBaseRecordCompressionEngine;

  uint16_t CompressRecord(const uint8_t* aSource, uint8_t* aTarget) override;
  void DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) override;
};

void qdsrRecordCompressionEngineBaseInitialize();
void qdsrRecordCompressionEngineBaseFinalize();

}  // namespace qd
