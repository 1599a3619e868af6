// One node of a table mapper tree: where a table of the source goes in the
// target, the record mapper of its records, and its child (nested) tables.
//
// Classes: TqdBaseTableMapperDescriptor (registered; its family registry
// holds the table mapper classes by name), TqdBaseTableMapperDescriptorClass.
// Exception: EqdBaseTableMapperDescriptorException.
//
// Ownership: a node owns its record mapper and its children (in the order
// they were added) and frees them with itself (Clear, children last first).
// A child's Parent is the node that owns it; the root's is nil, and so is the
// root of a Duplicate.
//
// Stream form (recursive):
//   Ident   class name
//   Integer 1 (version of the base data)
//   String  Name ("." for the root)
//   String  MapTo
//   Boolean whether a record mapper follows
//   [the record mapper's full form]
//   Integer TableCount
//   TableCount full table mapper forms
//   (a TqdTableMapperDescriptor then adds its own Integer 1)
// A count below zero is refused with 15498; children are read one by one,
// so a count larger than the stream holds ends in the filer's read error
// with the children read so far attached and freed with the node.
#pragma once

#include <cstdint>
#include <vector>

#include "server/qdsdRecordMapperDescriptorBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdBaseTableMapperDescriptorException, EqdMapperDescriptorException);

class TqdBaseTableMapperDescriptor;
using TqdBaseTableMapperDescriptorClass = TqdDescriptorClassInfo<TqdBaseTableMapperDescriptor>;

class TqdBaseTableMapperDescriptor : public TqdBaseRegisterableDescriptor {
 public:
  static const TqdBaseTableMapperDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdBaseTableMapperDescriptor() = default;
  ~TqdBaseTableMapperDescriptor() override;

  void WriteToWriter(TqdWriter& aWriter, int32_t aClientVersion) const;
  // 15499 "TableMapperDescriptor class is not supported: X"; a failure frees
  // the node with everything read below it.
  static TqdBaseTableMapperDescriptor* CreateFromReader(TqdReader& aReader);
  // A copy of the whole tree below this node; the copy's Parent is nil.
  TqdBaseTableMapperDescriptor* Duplicate() const;

  virtual void WriteData(TqdWriter& aWriter, int32_t aClientVersion) const;
  virtual void ReadData(TqdReader& aReader);

  // A child named aName (ASCII letters folded) raises 10009 "Duplicated
  // table name: %s"; otherwise a new child of aClass (nil: this base class).
  TqdBaseTableMapperDescriptor* AddTable(qdStringView aName, const TqdBaseTableMapperDescriptorClass* aClass = nullptr);
  // An index outside the children is ignored.
  void RemoveTable(int32_t aInx);
  // An unknown name does nothing.
  void RemoveTable(qdStringView aName);
  // -1 when absent.
  int32_t GetTableIndexFromName(qdStringView aName) const;
  // 10024 for an unknown name.
  TqdBaseTableMapperDescriptor* GetTableDescriptorFromName(qdStringView aName) const;
  // Replaces the record mapper by a new one of aClass.
  TqdBaseRecordMapperDescriptor* AddRecordMapper(const TqdBaseRecordMapperDescriptorClass& aClass);
  void RemoveRecordMapper();
  // Frees the record mapper and every child.
  void Clear();

  TqdBaseTableMapperDescriptor* Parent() const { return btmdParent; }
  const qdString& Name() const { return btmdName; }
  const qdString& MapTo() const { return btmdMapTo; }
  void SetMapTo(qdStringView aValue) { btmdMapTo = qdString(aValue); }
  int32_t TableCount() const { return static_cast<int32_t>(btmdTables.size()); }
  // aInx in 0..TableCount-1.
  TqdBaseTableMapperDescriptor* TableDescriptor(int32_t aInx) const { return btmdTables.at(static_cast<size_t>(aInx)); }
  TqdBaseRecordMapperDescriptor* RecordMapper() const { return btmdRecordMapper; }

 private:
  TqdBaseTableMapperDescriptor* btmdParent = nullptr;
  qdString btmdName = u".";
  qdString btmdMapTo = u".";
  std::vector<TqdBaseTableMapperDescriptor*> btmdTables;
  TqdBaseRecordMapperDescriptor* btmdRecordMapper = nullptr;
};

void qdsdTableMapperDescriptorBaseInitialize();
void qdsdTableMapperDescriptorBaseFinalize();

}  // namespace qd
