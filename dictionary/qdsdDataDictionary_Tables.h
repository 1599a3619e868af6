// Files, tables and the dictionary: the block sizes of files,
// TqdFileDescriptor and TqdFilesDescriptor, TqdBaseTableDescriptor,
// TqdNestedTableDescriptor and TqdDataDictionary, the root of a table's
// descriptor tree. The parts of a table are reached through pointers here;
// a user that works with a part includes that part's topic header.
// Part of the data dictionary unit (dictionary/qdsdDataDictionary.h, which
// describes the tree as a whole); implemented in qdsdDataDictionary_Tables.cpp, caching states in
// qdsdDataDictionary_Caching.cpp and the dictionary stream in
// qdsdDataDictionary_Stream.cpp.
#pragma once

#include "dictionary/qdsdDataDictionary_Items.h"

namespace qd {

// The exception classes of these descriptors (the tree mirrors the classes).
QD_DECLARE_EXCEPTION_CLASS(EqdFileDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdFilesDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseTableDescriptorException, EqdLocalizedDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdNestedTableDescriptorException, EqdBaseTableDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdDataDictionaryException, EqdBaseTableDescriptorException);

// --- Files, tables and the dictionary ------------------------------------------------------------

// A file's block size is one of the allocator's block size classes
// (TqdBlockSize, qdllMemoryManager) from qdbs4k to qdbs64k.
// The bytes of a file block size; 0 for a class no file uses.
int32_t qdBlockSizeBytes(TqdBlockSize aBlockSize);
// False when aBytes is not one of the five file block sizes.
bool qdBlockSizeFromBytes(int32_t aBytes, TqdBlockSize& aBlockSize);

class TqdFileDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdFileDescriptorClass, EqdFileDescriptorException)
  friend class TqdDataDictionary;

 public:
  TqdFileDescriptor(TqdPersistent* aParent, qdStringView aExtension);

  const qdString& Extension() const { return fdExtension; }
  const qdString& Desc() const { return fdDesc; }
  void SetDesc(qdStringView aValue);
  TqdBlockSize BlockSize() const { return fdBlockSize; }
  // One of the five file block sizes (10004 otherwise).
  void SetBlockSize(TqdBlockSize aValue);
  int32_t BlockSizeBytes() const { return qdBlockSizeBytes(fdBlockSize); }
  // One of the five sizes, else 10004 "%d is not a valid BlockSize".
  void SetBlockSizeBytes(int32_t aValue);
  TqdGrowSize InitialSize() const { return fdInitialSize; }
  void SetInitialSize(TqdGrowSize aValue);
  TqdGrowSize GrowSize() const { return fdGrowSize; }
  void SetGrowSize(TqdGrowSize aValue);
  int32_t Number() const { return fdNumber; }
  // What the owning dictionary's storage leaves of a block.
  uint32_t UsableBlockSize() const;
  qdString FileID() const { return CustomStringValue(u"$FileID"); }

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  friend class TqdFilesDescriptor;

  qdString fdExtension;
  qdString fdDesc;
  TqdBlockSize fdBlockSize = qdbs4k;
  TqdGrowSize fdInitialSize = 4;
  TqdGrowSize fdGrowSize = 1;
  int32_t fdNumber = 0;
};

class TqdFilesDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdFilesDescriptorClass, EqdFilesDescriptorException)
  // The legacy dictionary layout builds the list itself.
  friend class TqdDataDictionary;

 public:
  explicit TqdFilesDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}
  ~TqdFilesDescriptor() override;

  int32_t FileCount() const { return static_cast<int32_t>(fidFiles.size()); }
  TqdFileDescriptor* FileDescriptor(int32_t aIndex) const;
  // Read-only check; the first file has an empty extension, every later one
  // an identifier (10042); 10009 for an extension present. No notice.
  TqdFileDescriptor* AddFile(qdStringView aExtension, TqdBlockSize aBlockSize, qdStringView aDesc,
                             const TqdFileDescriptorClass* aClass = nullptr);
  // aInx in 0..FileCount (9999); notices (before/after, -1, aInx).
  TqdFileDescriptor* InsertFileAt(int32_t aInx, qdStringView aExtension, TqdBlockSize aBlockSize, qdStringView aDesc,
                                  const TqdFileDescriptorClass* aClass = nullptr);
  // Both in 1..FileCount-1: file 0 never moves.
  void MoveFile(int32_t aFrom, int32_t aTo);
  // 0 raises 15502; other indexes outside the list are ignored; a file still
  // used is refused by its user before anything changes.
  void RemoveFile(int32_t aInx);
  void RenameFile(int32_t aInx, qdStringView aNewExtension);
  void RenameFile(qdStringView aOldExtension, qdStringView aNewExtension);
  int32_t GetFileFromExt(qdStringView aFileExt) const;

  void FileChangeNotify(bool aBefore, int32_t aOldFile, int32_t aNewFile);
  TqdChangeNotifyList& FileChangeNotifies() { return fidFileChangeNotifies; }

  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void CheckExtension(int32_t aPosition, qdStringView aExtension) const;
  void Renumber(int32_t aFrom);
  void FreeFiles();

  TqdChangeNotifyList fidFileChangeNotifies{TqdChangeNotifyKind::cnkFile};
  std::vector<TqdFileDescriptor*> fidFiles;
};

// The description of a table: its fields and the storage, index, custom and
// nested-table parts. The fields, custom-descriptors and nested-tables parts
// always exist; the others are optional.
class TqdBaseTableDescriptor : public TqdLocalizedDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdClassInfo, EqdBaseTableDescriptorException)
 public:
  ~TqdBaseTableDescriptor() override;

  TqdFieldsDescriptor* FieldsDescriptor() const { return tdFieldsDescriptor; }
  TqdBaseBlobDescriptor* BlobDescriptor() const { return tdBlobDescriptor; }
  TqdBaseRecordDescriptor* RecordDescriptor() const { return tdRecordDescriptor; }
  TqdBaseAutoIncDescriptor* AutoIncDescriptor() const { return tdAutoIncDescriptor; }
  TqdMainIndicesDescriptor* IndicesDescriptor() const { return tdIndicesDescriptor; }
  TqdInternalIndicesDescriptor* InternalIndicesDescriptor() const { return tdInternalIndicesDescriptor; }
  TqdCustomDescsDescriptor* CustomDescsDescriptor() const { return tdCustomDescsDescriptor; }
  TqdTablesDescriptor* TablesDescriptor() const { return tdTablesDescriptor; }
  TqdTableCachingState CachingState() const { return tdCachingState; }
  void SetCachingState(TqdTableCachingState aValue);

  // Each checks read-only, frees the present part and builds the new one
  // (nil class: the default one of the part).
  TqdBaseRecordDescriptor* AddRecordDescriptor(const TqdRecordDescriptorClass* aRecordClass = nullptr);
  TqdBaseBlobDescriptor* AddBlobDescriptor(const TqdBlobDescriptorClass* aBlobClass = nullptr);
  TqdMainIndicesDescriptor* AddIndicesDescriptor(const TqdIndicesDescriptorClass* aIndicesClass = nullptr);
  TqdInternalIndicesDescriptor* AddInternalIndicesDescriptor(
      const TqdIndicesDescriptorClass* aInternalIndicesClass = nullptr);
  TqdBaseAutoIncDescriptor* AddAutoIncDescriptor(const TqdAutoIncDescriptorClass* aAutoIncClass = nullptr);
  TqdMainIndicesDescriptor* EnsureIndicesDescriptor();
  TqdInternalIndicesDescriptor* EnsureInternalIndicesDescriptor();
  void RemoveRecordDescriptor();
  void RemoveBlobDescriptor();
  void RemoveIndicesDescriptor();
  void RemoveInternalIndicesDescriptor();
  void RemoveAutoIncDescriptor();

  int32_t GetFieldFromName(qdStringView aFieldName) const;
  int32_t GetIndexFromName(qdStringView aIndexName) const;
  // The item registered under the constraint name, nil when none.
  TqdDictionaryItem* GetConstraintByName(qdStringView aName) const;
  // Clears aStrings and adds every constraint name with its item.
  void GetConstraints(TqdStringList& aStrings) const;
  // A table by path: "" is this table; segments split at ":" where "." is
  // the current table, ".." its parent table (10024 without one) and any
  // other name a nested table (10024 when there is none).
  TqdBaseTableDescriptor* GetChild(qdStringView aChildName);
  bool HasAnyRefNrField() const;
  bool HasCachingSupport(TqdTableCachingState aState) const;
  // Key length of main index aInx (9999 when there is none).
  int32_t tdGetKeyLen(int32_t aInx);
  int32_t tdGetBookmarkSize(int32_t aInx);
  int32_t MaxKeyLen();
  int32_t MaxBookmarkSize() { return MaxKeyLen() + 24; }

  // --- Caching ---
  // Releases what aCachableInfo holds and gives a new info: the special
  // fields and the numbers of the indexes a cached table needs. True when
  // the table has them and its state fits aState.
  bool IsCacheable(TqdCacheableInfo*& aCachableInfo, TqdTableCachingState aState, bool aAcceptCachable);
  // Adds what a cacheable table lacks (with aCanChange) and marks it
  // cacheable; 12289 for a cache table or when it still fails.
  void MakeCacheable(bool aCanChange);
  // Turns the table and its nested tables into caches; a table that cannot
  // be one becomes tcsNone with aSilent, else 12289.
  virtual void MakeInCache(bool aSilent);
  // Resets the table and copies the source's fields (not required), locale
  // descriptors and nested tables, nothing else; adds a variable-length
  // heap record with "Smart" compression.
  virtual void AssignOnlyFields(const TqdBaseTableDescriptor* aSource);

  // Clears the custom descriptors, removes the indices, clears the fields,
  // removes the record, BLOB, locale and auto-increment parts and clears the
  // nested tables.
  virtual void ResetTable(bool aBare, bool aNotify);
  virtual qdString btdFullName() const = 0;
  virtual bool IsIndexDescValid(TqdIndexDescriptor* aIndexDesc);
  virtual bool IsFieldDescValid(TqdFieldDescriptor* aFieldDesc);

  void AddConstraintName(TqdDictionaryItem* aItem, const qdString& aName) override;
  void RemoveConstraintName(TqdDictionaryItem* aItem, const qdString& aName) override;
  void ActivateCache() override;
  void DeactivateCache() override;
  bool FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                   TqdDictionaryItem* aFrom) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  // The parts are built by the most derived constructor (CreateTableParts),
  // so that they get their IDs from the dictionary they belong to.
  explicit TqdBaseTableDescriptor(TqdPersistent* aParent);
  void CreateTableParts();
  void CustomStringsForStream(std::vector<qdString>& aLines, int32_t aClientVersion) const override;
  void FreeTableParts();

 private:
  struct TqdConstraint {
    qdString Name;
    TqdDictionaryItem* Item;
  };
  // The index of aName in tdConstraints (or where it would go).
  bool FindConstraint(qdStringView aName, size_t& aIndex) const;
  bool HasAnyRefNrFieldHere() const;

  TqdFieldsDescriptor* tdFieldsDescriptor = nullptr;
  TqdBaseBlobDescriptor* tdBlobDescriptor = nullptr;
  TqdBaseRecordDescriptor* tdRecordDescriptor = nullptr;
  TqdBaseAutoIncDescriptor* tdAutoIncDescriptor = nullptr;
  TqdMainIndicesDescriptor* tdIndicesDescriptor = nullptr;
  TqdInternalIndicesDescriptor* tdInternalIndicesDescriptor = nullptr;
  TqdCustomDescsDescriptor* tdCustomDescsDescriptor = nullptr;
  TqdTablesDescriptor* tdTablesDescriptor = nullptr;
  TqdTableCachingState tdCachingState = tcsNone;
  // Sorted by name, ASCII case ignored (identifiers are ASCII).
  std::vector<TqdConstraint> tdConstraints;
  uint32_t tdMaxKeyLen = 0;
};

class TqdNestedTableDescriptor : public TqdBaseTableDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdNestedTableDescriptorClass, EqdNestedTableDescriptorException)
 public:
  // The name must be an identifier (10039 "Invalid table name.").
  TqdNestedTableDescriptor(TqdPersistent* aParent, qdStringView aName);

  const qdString& Name() const { return ntdName; }
  void SetName(qdStringView aValue);
  // The parent table's full name, ":" and the own name.
  qdString btdFullName() const override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString ntdName;
};

// The root of a table's descriptor tree.
class TqdDataDictionary : public TqdBaseTableDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdClassInfo, EqdDataDictionaryException)
  // The storage's dictionary lifts and restores the read-only state, the
  // item-ID counter, the GUID, the base name and the header signature of an
  // open table without the edit checks.
  friend class TqdServerDataDict;

 public:
  static constexpr char16_t kDefaultFileDesc[] = u"Data/DataDict File";

  // A default dictionary: version 3, signature "QD!2", a stream and a record
  // descriptor, file 0 and the index "Sequential Access Index".
  TqdDataDictionary();
  // Clears the read-only flag first.
  ~TqdDataDictionary() override;

  const TGUID& Guid() const { return ddGuid; }
  // All zero when the table caches no other table.
  const TGUID& CacheGuid() const { return ddCacheGuid; }
  int32_t Version() const { return ddVersion; }
  // Read-only check; 1..5.
  void SetVersion(int32_t aValue);
  int32_t CurrentID() const { return ddCurrentID; }
  // The next item ID (stored back).
  int32_t NextID() { return ++ddCurrentID; }
  int32_t CacheCurrentID() const { return ddCacheCurrentID; }
  bool MissingInformation() const { return ddMissingInformation; }
  const qdString& BaseName() const { return ddBaseName; }
  void SetBaseName(qdStringView aValue);
  bool ReadOnly() const { return ddReadOnly; }
  TqdFilesDescriptor* FilesDescriptor() const { return ddFilesDescriptor; }
  TqdBaseStreamDescriptor* StreamDescriptor() const { return ddStreamDescriptor; }
  TqdBaseStreamDescriptor* AddStreamDescriptor(const TqdStreamDescriptorClass* aStreamClass = nullptr);
  void RemoveStreamDescriptor();
  bool UseByteOrderForWideString() const { return ddUseByteOrderForWideString; }
  void SetUseByteOrderForWideString(bool aValue);
  const TqdBlockSignature& HeaderSignature() const { return ddHeaderSignature; }
  void SetHeaderSignature(const TqdBlockSignature& aValue);
  const qdString& EncryptionEngine() const { return ddEncryptionEngine; }
  void SetEncryptionEngine(qdStringView aValue);
  int32_t GetFileFromExt(qdStringView aFileExt) const;

  // Sets the read-only flag and activates the cache of the whole tree; from
  // then on the dictionary may be shared without locks.
  void MakeReadOnly();
  // Turns the table into a cache of itself (nothing when it holds a cache
  // table already): the cache GUID becomes the GUID.
  void MakeCache(bool aSilent);
  // Then removes the indices descriptor.
  void AssignOnlyFields(const TqdBaseTableDescriptor* aSource) override;

  // --- The dictionary stream ---
  // The stream for a client of aClientVersion: the version is lowered for
  // older clients (at most 2 below 20000, 3 below 30900, 4 below 47005).
  void WriteToStream(TStream& aStream, int32_t aClientVersion) const;
  void WriteToWriter(TqdWriter& aWriter, int32_t aClientVersion) const;
  // Starts from a bare dictionary; a failed read leaves a default one and
  // raises (a damaged or cut stream: 15498).
  void ReadFromStream(TStream& aStream, qdStringView aBaseName);
  void ReadFromReader(TqdReader& aReader);
  // A dictionary source is copied through the stream with its base name.
  void Assign(const TqdDictionaryItem* aSource) override;
  // A new dictionary assigned from this one; the caller owns it.
  TqdDataDictionary* Duplicate() const;

  // What a block of aBlockSize bytes leaves for data; the storage's
  // dictionary class subtracts its reserved space.
  virtual uint32_t UsableBlockSize(uint32_t aBlockSize) const;

  void CheckReadOnly() const override;
  void Clear(bool aNotify) override;
  void ResetTable(bool aBare, bool aNotify) override;
  qdString btdFullName() const override { return ddBaseName; }
  bool FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                   TqdDictionaryItem* aFrom) override;
  bool ItemRequiresPack() override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  // Adds "$GUID", "$CacheGUID", "$CacheCurrentID" and "$MissingInformation"
  // for the stream without changing the dictionary.
  void CustomStringsForStream(std::vector<qdString>& aLines, int32_t aClientVersion) const override;

 private:
  void SetDefaults();
  // A write for aClientVersion turns RefNr fields into Int64 or drops
  // internal indexes somewhere in the tree.
  bool WriteLosesInformation(int32_t aClientVersion) const;
  void WriteLegacy(TqdWriter& aWriter, int32_t aVersion, int32_t aClientVersion) const;
  void ReadLegacy(TqdReader& aReader, int32_t aVersion);
  void LoadCustomValues();

  TGUID ddGuid;
  TGUID ddCacheGuid;
  int32_t ddVersion = 3;
  int32_t ddCurrentID = 0;
  int32_t ddCacheCurrentID = 0;
  bool ddMissingInformation = false;
  qdString ddBaseName;
  bool ddReadOnly = false;
  TqdFilesDescriptor* ddFilesDescriptor = nullptr;
  TqdBaseStreamDescriptor* ddStreamDescriptor = nullptr;
  bool ddUseByteOrderForWideString = true;
  TqdBlockSignature ddHeaderSignature{{'Q', 'D', '!', '2'}};
  qdString ddEncryptionEngine;
};

}  // namespace qd
