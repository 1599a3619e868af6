// Storage descriptors: the sub-engines the storage layer builds for a table
// (block heap, heap, record, record compression, BLOB, auto-increment,
// stream), the file their data lives in (TqdFileEngineDescriptor), the
// custom descriptors and the list of nested tables (TqdTablesDescriptor).
// Part of the data dictionary unit (dictionary/qdsdDataDictionary.h, which
// describes the tree as a whole); implemented in qdsdDataDictionary_Storage.cpp.
#pragma once

#include "dictionary/qdsdDataDictionary_Items.h"

namespace qd {

// The exception classes of these descriptors (the tree mirrors the classes).
QD_DECLARE_EXCEPTION_CLASS(EqdBaseBlockHeapDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseHeapDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseRecordDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdHeapRecordDescriptorException, EqdBaseRecordDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseRecordCompressionDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseBlobDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdHeapBlobDescriptorException, EqdBaseBlobDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseAutoIncDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdAdvAutoIncDescriptorException, EqdBaseAutoIncDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseStreamDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseCustomDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdCustomDescsDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdTablesDescriptorException, EqdDictionaryItemException);

// --- Storage descriptors ----------------------------------------------------------------------
//
// They name the sub-engines the storage layer builds for a table and the
// files they keep their data in. Engine names compare ignoring ASCII case;
// a name is only resolved when a table is built or opened. The header
// section names the part of the table file header an engine keeps its state
// in; it is given by the owner and neither streamed nor compared.

inline constexpr char16_t kDefaultEngineName[] = u"qd1xDefault";

class TqdBaseBlockHeapDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdBlockHeapDescriptorClass, EqdBaseBlockHeapDescriptorException)
 public:
  explicit TqdBaseBlockHeapDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}

  const qdString& BlockHeapEngine() const { return bbhdBlockHeapEngine; }
  void SetBlockHeapEngine(qdStringView aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString bbhdBlockHeapEngine{kDefaultEngineName};
};

class TqdBaseHeapDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdHeapDescriptorClass, EqdBaseHeapDescriptorException)
 public:
  explicit TqdBaseHeapDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}
  ~TqdBaseHeapDescriptor() override;

  const qdString& HeapEngine() const { return bhdHeapEngine; }
  void SetHeapEngine(qdStringView aValue);
  TqdBaseBlockHeapDescriptor* BlockHeapDescriptor() const { return bhdBlockHeapDescriptor; }
  TqdBaseBlockHeapDescriptor* AddBlockHeapDescriptor(const TqdBlockHeapDescriptorClass* aBlockHeapClass = nullptr);
  void RemoveBlockHeapDescriptor();

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  // Adds the default block heap descriptor when there is none.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString bhdHeapEngine{kDefaultEngineName};
  TqdBaseBlockHeapDescriptor* bhdBlockHeapDescriptor = nullptr;
};

// What the record, BLOB and auto-increment descriptors share: the engine
// that serves them and the file that holds their data, which follows the
// file list's notices. Their bodies share one layout after the item header:
//
//   Integer   part version: 1 for clients before item IDs, else
//             FileNumberVersion()
//   String    engine name (compared ignoring ASCII case)
//   Integer   file number, present from FileNumberVersion() on
class TqdFileEngineDescriptor : public TqdDictionaryItem {
 public:
  TqdFileEngineDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection);
  ~TqdFileEngineDescriptor() override;

  const std::string& HeaderSection() const { return fedHeaderSection; }
  const qdString& EngineName() const { return fedEngineName; }
  // Read-only check.
  void SetEngineName(qdStringView aValue);
  int32_t FileNumber() const { return fedFileNumber; }
  // Read-only check; with a related files list the file must exist (9999
  // "Invalid file number: %d").
  void SetFileNumber(int32_t aValue);

  void FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  // The engine kind named when the own file is removed: "record", "blob",
  // "autoinc".
  virtual const char16_t* FileUserName() const = 0;
  // The part version whose body carries the file number; a reader refuses
  // any later one.
  virtual int32_t FileNumberVersion() const = 0;
  void CheckFileNumber(int32_t aValue);

 private:
  std::string fedHeaderSection;
  qdString fedEngineName{kDefaultEngineName};
  int32_t fedFileNumber = 0;
};

class TqdBaseRecordDescriptor : public TqdFileEngineDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdRecordDescriptorClass, EqdBaseRecordDescriptorException)
 public:
  TqdBaseRecordDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection)
      : TqdFileEngineDescriptor(aParent, aHeaderSection) {}

  const qdString& RecordEngine() const { return EngineName(); }
  void SetRecordEngine(qdStringView aValue) { SetEngineName(aValue); }

 protected:
  const char16_t* FileUserName() const override { return u"a record engine"; }
  int32_t FileNumberVersion() const override { return 2; }
};

class TqdBaseRecordCompressionDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdRecordCompressionDescriptorClass, EqdBaseRecordCompressionDescriptorException)
 public:
  explicit TqdBaseRecordCompressionDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}

  const qdString& RecordCompressionEngine() const { return brcdRecordCompressionEngine; }
  void SetRecordCompressionEngine(qdStringView aValue);
  // Kept in the custom string "CompressType"; 0 when absent.
  uint8_t CompressType() const;
  // Read-only check; 0 removes the custom string.
  void SetCompressType(uint8_t aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString brcdRecordCompressionEngine{u"Smart"};
};

class TqdHeapRecordDescriptor : public TqdBaseRecordDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdRecordDescriptorClass, EqdHeapRecordDescriptorException)
 public:
  using TqdBaseRecordDescriptor::TqdBaseRecordDescriptor;
  ~TqdHeapRecordDescriptor() override;

  TqdBaseHeapDescriptor* HeapDescriptor() const { return hrdHeapDescriptor; }
  TqdBaseHeapDescriptor* AddHeapDescriptor(const TqdHeapDescriptorClass* aHeapClass = nullptr);
  void RemoveHeapDescriptor();
  TqdBaseRecordCompressionDescriptor* RecordCompressionDescriptor() const { return hrdRecordCompressionDescriptor; }
  TqdBaseRecordCompressionDescriptor* AddRecordCompressionDescriptor(
      const TqdRecordCompressionDescriptorClass* aRecordCompressionClass = nullptr);
  void RemoveRecordCompressionDescriptor();

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdBaseHeapDescriptor* hrdHeapDescriptor = nullptr;
  TqdBaseRecordCompressionDescriptor* hrdRecordCompressionDescriptor = nullptr;
};

class TqdBaseBlobDescriptor : public TqdFileEngineDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdBlobDescriptorClass, EqdBaseBlobDescriptorException)
 public:
  TqdBaseBlobDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection)
      : TqdFileEngineDescriptor(aParent, aHeaderSection) {}

  const qdString& BlobEngine() const { return EngineName(); }
  void SetBlobEngine(qdStringView aValue) { SetEngineName(aValue); }

 protected:
  const char16_t* FileUserName() const override { return u"a blob engine"; }
  int32_t FileNumberVersion() const override { return 2; }
};

class TqdHeapBlobDescriptor : public TqdBaseBlobDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdBlobDescriptorClass, EqdHeapBlobDescriptorException)
 public:
  using TqdBaseBlobDescriptor::TqdBaseBlobDescriptor;
  ~TqdHeapBlobDescriptor() override;

  TqdBaseHeapDescriptor* HeapDescriptor() const { return hbdHeapDescriptor; }
  TqdBaseHeapDescriptor* AddHeapDescriptor(const TqdHeapDescriptorClass* aHeapClass = nullptr);
  void RemoveHeapDescriptor();

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdBaseHeapDescriptor* hbdHeapDescriptor = nullptr;
};

class TqdBaseAutoIncDescriptor : public TqdFileEngineDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdAutoIncDescriptorClass, EqdBaseAutoIncDescriptorException)
 public:
  TqdBaseAutoIncDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection)
      : TqdFileEngineDescriptor(aParent, aHeaderSection) {}

  const qdString& AutoIncEngine() const { return EngineName(); }
  void SetAutoIncEngine(qdStringView aValue) { SetEngineName(aValue); }

 protected:
  const char16_t* FileUserName() const override { return u"an autoinc engine"; }
  int32_t FileNumberVersion() const override { return 1; }
};

// The auto-increment values start at InitialValue and grow by Step, both in
// 1..4294967295: a 0 would hand out the same value again and again, so the
// setters and the reader refuse it (9985).
class TqdAdvAutoIncDescriptor : public TqdBaseAutoIncDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdAutoIncDescriptorClass, EqdAdvAutoIncDescriptorException)
 public:
  static constexpr int64_t kMinValue = 1;
  static constexpr int64_t kMaxValue = 4294967295;

  using TqdBaseAutoIncDescriptor::TqdBaseAutoIncDescriptor;

  uint32_t InitialValue() const { return aaidInitialValue; }
  void SetInitialValue(int64_t aValue);
  uint32_t Step() const { return aaidStep; }
  void SetStep(int64_t aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  uint32_t CheckedValue(const char16_t* aName, int64_t aValue) const;

  uint32_t aaidInitialValue = 1;
  uint32_t aaidStep = 1;
};

class TqdBaseStreamDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdStreamDescriptorClass, EqdBaseStreamDescriptorException)
 public:
  TqdBaseStreamDescriptor(TqdPersistent* aDictionary, std::string_view aHeaderSection)
      : TqdDictionaryItem(aDictionary), bsdHeaderSection(aHeaderSection) {}

  const std::string& HeaderSection() const { return bsdHeaderSection; }
  const qdString& StreamEngine() const { return bsdStreamEngine; }
  void SetStreamEngine(qdStringView aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString bsdStreamEngine{kDefaultEngineName};
  std::string bsdHeaderSection;
};

// Base of named per-table descriptors (referential integrity, audit, full
// text); its name is written by the list that holds it.
class TqdBaseCustomDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdCustomDescriptorClass, EqdBaseCustomDescriptorException)
 public:
  // The name must be an identifier ("$" allowed, empty refused; 10068).
  TqdBaseCustomDescriptor(TqdPersistent* aParent, qdStringView aName);

  const qdString& Name() const { return bcdName; }

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString bcdName;
};

class TqdCustomDescsDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdCustomDescsDescriptorClass, EqdCustomDescsDescriptorException)
 public:
  explicit TqdCustomDescsDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}
  ~TqdCustomDescsDescriptor() override;

  int32_t CustomCount() const { return static_cast<int32_t>(cddItems.size()); }
  TqdBaseCustomDescriptor* CustomDescriptor(int32_t aIndex) const;
  // Read-only and name checks; 10009 "Duplicated custom descriptor name: %s".
  TqdBaseCustomDescriptor* AddCustom(qdStringView aName, const TqdCustomDescriptorClass* aClass = nullptr);
  int32_t GetCustomDescriptorFromName(qdStringView aCustomDescriptorName) const;
  // Outside the list: nothing.
  void RemoveCustom(int32_t aInx);
  void RemoveCustom(qdStringView aName);

  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void FreeItems(bool aClearEach, bool aNotify);

  std::vector<TqdBaseCustomDescriptor*> cddItems;
};

class TqdTablesDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdTablesDescriptorClass, EqdTablesDescriptorException)
 public:
  explicit TqdTablesDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}
  ~TqdTablesDescriptor() override;

  int32_t TableCount() const { return static_cast<int32_t>(tdsTables.size()); }
  TqdNestedTableDescriptor* TableDescriptor(int32_t aIndex) const;
  // Read-only check; identifier check (10039); 10009 "Duplicated table
  // name: %s".
  TqdNestedTableDescriptor* AddTable(qdStringView aName, const TqdNestedTableDescriptorClass* aClass = nullptr);
  int32_t GetTableIndexFromName(qdStringView aName) const;
  // 10024 when there is none.
  TqdNestedTableDescriptor* GetTableDescriptorFromName(qdStringView aName) const;
  void RemoveTable(int32_t aInx);
  void RemoveTable(qdStringView aName);
  void RenameTable(qdStringView aOldName, qdStringView aNewName);
  // Clears aStrings and adds every table name with its descriptor.
  void GetTables(TqdStringList& aStrings) const;
  bool HasAnyRefNrField() const;
  bool HasCachingSupport(TqdTableCachingState aState) const;
  void MakeInCache(bool aSilent);

  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void FreeTables();

  std::vector<TqdNestedTableDescriptor*> tdsTables;
};

}  // namespace qd
