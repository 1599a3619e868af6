// The record mapper descriptor: every field mapping of one record, keyed by
// target field name.
//
// Classes: TqdRecordMapperDescriptor. Exception:
// EqdRecordMapperDescriptorException.
//
// Ownership: the descriptor owns its field mapper descriptors and frees them
// with itself. The entries sit in a sorted list of target names compared
// case-insensitively in the user's locale (binary search); a name is there
// at most once, so AddMapping and reading refuse a second entry for a
// target (the entry is freed, the earlier entries stay).
//
// Stream form after the class name:
//   Integer 1 (version), list begin, each entry's full field mapper form in
//   list order, list end, Boolean ApplyDefaultForUnmapped.
// An empty record mapper is therefore 07 19 "TqdRecordMapperDescriptor"
// 02 01 01 00 09.
#pragma once

#include <cstdint>

#include "platform/qdStringList.h"
#include "server/qdsdRecordMapperDescriptorBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdRecordMapperDescriptorException, EqdBaseRecordMapperDescriptorException);

class TqdFieldsDescriptor;

class TqdRecordMapperDescriptor : public TqdBaseRecordMapperDescriptor {
 public:
  static const TqdBaseRecordMapperDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdRecordMapperDescriptor();
  ~TqdRecordMapperDescriptor() override;

  // A new entry of aDescriptorClass (nil: TqdFieldMapperDescriptor) under its
  // target name. A target already mapped raises the list's duplicate error
  // and frees the new entry.
  TqdFieldMapperDescriptor* AddMapping(qdStringView aSourceName, qdStringView aTargetName,
                                       TqdDataLossAction aDataLossAction,
                                       const TqdFieldMapperDescriptorClass* aDescriptorClass = nullptr);
  // Frees the entry of that target; an unknown name raises the list's index
  // error.
  void DeleteMapping(qdStringView aTargetName);
  // -1 when absent.
  int32_t FieldMapperIndexOf(qdStringView aTargetName) const;
  // The list's index error outside 0..FieldMapperCount-1.
  TqdFieldMapperDescriptor* rmdGetMapper(int32_t aInx) const;
  int32_t FieldMapperCount() const { return rmdFieldMapperDescriptors.Count(); }
  TqdFieldMapperDescriptor* UpdateSourceName(qdStringView aTargetName, qdStringView aNewSourceName);
  // A new name that differs in more than letter case moves the entry to its
  // new key; one that differs only in case keeps the old key. The entry's
  // TargetName becomes the new name either way.
  TqdFieldMapperDescriptor* UpdateTargetName(qdStringView aOldTargetName, qdStringView aNewTargetName);
  // One mapping per field name the two layouts share (ASCII letters folded):
  // source spelt as in aOldFields, target as in aNewFields.
  void MapAllFieldsByName(const TqdFieldsDescriptor& aOldFields, const TqdFieldsDescriptor& aNewFields,
                          TqdDataLossAction aDataLossAction);
  // Field i onto field i while both layouts have one.
  void MapAllFieldsByPosition(const TqdFieldsDescriptor& aOldFields, const TqdFieldsDescriptor& aNewFields,
                              TqdDataLossAction aDataLossAction);

  bool ApplyDefaultForUnmapped() const { return rmdApplyDefaultForUnmapped; }
  void SetApplyDefaultForUnmapped(bool aValue) { rmdApplyDefaultForUnmapped = aValue; }

  void WriteData(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void ReadData(TqdReader& aReader) override;

 private:
  // Sorted target names, each with the entry it owns.
  class TqdMapperList : public TqdStringList {
   protected:
    int CompareStrings(qdStringView aLeft, qdStringView aRight) const override;
  };

  // Adds aEntry under its target name; frees it when the list refuses it.
  TqdFieldMapperDescriptor* AddEntry(TqdFieldMapperDescriptor* aEntry);
  // The entry's index; the list's index error when absent.
  int32_t IndexOfExisting(qdStringView aTargetName) const;
  void ClearEntries();

  TqdMapperList rmdFieldMapperDescriptors;
  bool rmdApplyDefaultForUnmapped = true;
};

void qdsdRecordMapperDescriptorInitialize();
void qdsdRecordMapperDescriptorFinalize();

}  // namespace qd
