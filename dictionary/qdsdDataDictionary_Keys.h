// Keys and indexes: the key descriptors (TqdBaseKeyDescriptor, the fixed
// reference, Int64 and BLOB-cache keys, the composite keys), the key fields
// (TqdKeyFieldDescriptor and its text kinds), TqdIndexDescriptor and the
// index lists (TqdBaseIndicesDescriptor, TqdMainIndicesDescriptor,
// TqdInternalIndicesDescriptor).
// Part of the data dictionary unit (dictionary/qdsdDataDictionary.h, which
// describes the tree as a whole); implemented in qdsdDataDictionary_Keys.cpp.
#pragma once

#include "dictionary/qdsdDataDictionary_Items.h"

namespace qd {

// The exception classes of these descriptors (the tree mirrors the classes).
QD_DECLARE_EXCEPTION_CLASS(EqdBaseKeyDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdRefKeyDescriptorException, EqdBaseKeyDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdInt64KeyDescriptorException, EqdBaseKeyDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBlobCacheKeyDescriptorException, EqdBaseKeyDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdCompKeyDescriptorException, EqdBaseKeyDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdNoNullCompKeyDescriptorException, EqdCompKeyDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdKeyFieldDescriptorException, EqdLocalizedDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdTextKeyFieldDescriptorException, EqdKeyFieldDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdExtTextKeyFieldDescriptorException, EqdTextKeyFieldDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdIndexDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseIndicesDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdMainIndicesDescriptorException, EqdBaseIndicesDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdInternalIndicesDescriptorException, EqdBaseIndicesDescriptorException);

// --- Keys --------------------------------------------------------------------------------------

enum TqdNullBehaviour : uint8_t { nbTop, nbBottom, nbAsAscend, nbFilterNull, nbFilterNonNull };
enum TqdIndexDups : uint8_t { idNone, idNull, idAll };
using TqdIndexDupsSet = TqdSet<TqdIndexDups, uint8_t>;

const char16_t* qdNullBehaviourName(TqdNullBehaviour aValue);
bool qdNullBehaviourFromName(qdStringView aName, TqdNullBehaviour& aValue);

// The key an index keeps per record. A filtered key keeps keys only for the
// records its filter accepts; in the dictionary stream the filter travels as
// the filter descriptor's own stream (qdsdFilterDescriptorBase), embedded as
// a byte block and rebuilt into a descriptor when read.
class TqdBaseKeyDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdBaseKeyDescriptorException)
 public:
  explicit TqdBaseKeyDescriptor(TqdPersistent* aParent);
  // Frees the filter.
  ~TqdBaseKeyDescriptor() override;

  virtual bool IsValidForTable(TqdBaseTableDescriptor* aTableDescriptor);
  // Bytes of one key.
  virtual int32_t GetKeyLen() = 0;
  virtual bool CanContainNulls();
  int32_t KeyLen() { return GetKeyLen(); }

  bool HasFilter() const { return bkdFilter != nullptr; }
  // The filter of a filtered index (owned), or nil.
  TqdBaseFilterDescriptor* Filter() const { return bkdFilter; }
  // Read-only check; takes ownership of aFilter and frees the previous
  // filter; nil removes the filter. Only filters with a stream form can be
  // written with the dictionary.
  void SetFilter(TqdBaseFilterDescriptor* aFilter);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdBaseFilterDescriptor* bkdFilter = nullptr;
};

// A key of one fixed length that never holds a null: its body is the base
// body and Integer 1.
class TqdFixedKeyDescriptor : public TqdBaseKeyDescriptor {
 public:
  using TqdBaseKeyDescriptor::TqdBaseKeyDescriptor;
  bool CanContainNulls() override { return false; }
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
};

class TqdRefKeyDescriptor : public TqdFixedKeyDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdRefKeyDescriptorException)
 public:
  using TqdFixedKeyDescriptor::TqdFixedKeyDescriptor;
  int32_t GetKeyLen() override { return 8; }
};

class TqdInt64KeyDescriptor : public TqdFixedKeyDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdInt64KeyDescriptorException)
 public:
  using TqdFixedKeyDescriptor::TqdFixedKeyDescriptor;
  int32_t GetKeyLen() override { return 8; }
};

class TqdBlobCacheKeyDescriptor : public TqdFixedKeyDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdBlobCacheKeyDescriptorException)
 public:
  using TqdFixedKeyDescriptor::TqdFixedKeyDescriptor;
  int32_t GetKeyLen() override { return 28; }
};

// A key made of key fields; its length is the sum of theirs plus one null
// flag bit per key field, rounded up to bytes.
class TqdCompKeyDescriptor : public TqdBaseKeyDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdCompKeyDescriptorException)
 public:
  explicit TqdCompKeyDescriptor(TqdPersistent* aParent);
  ~TqdCompKeyDescriptor() override;

  virtual TqdKeyFieldDescriptor* Add(int32_t aFieldNumber, const TqdKeyFieldDescriptorClass* aClass = nullptr);
  // The number of the field of that name in the related fields descriptor
  // (8712 without one; an unknown name gives -1, which validation refuses).
  TqdKeyFieldDescriptor* Add(qdStringView aFieldName, const TqdKeyFieldDescriptorClass* aClass = nullptr);
  virtual TqdKeyFieldDescriptor* Insert(int32_t aInx, int32_t aFieldNumber,
                                        const TqdKeyFieldDescriptorClass* aClass = nullptr);
  TqdKeyFieldDescriptor* Insert(int32_t aInx, qdStringView aFieldName,
                                const TqdKeyFieldDescriptorClass* aClass = nullptr);
  void Delete(int32_t aInx);
  void Move(int32_t aFrom, int32_t aTo);
  virtual const TqdKeyFieldDescriptorClass& DefaultKeyFieldClass() const;

  int32_t KeyFieldCount() const { return static_cast<int32_t>(ckdKeyFields.size()); }
  // aInx in 0..KeyFieldCount-1 (9999).
  TqdKeyFieldDescriptor* KeyField(int32_t aInx) const;
  TqdKeyFieldDescriptor* ckdGetKeyField(int32_t aInx) const { return KeyField(aInx); }
  // Forgets the cached length; key fields call it when they change.
  void DropCachedKeyLen() { ckdKeyLen = -1; }

  int32_t GetKeyLen() override;
  bool CanContainNulls() override;
  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  // The sum of the key field lengths.
  int32_t KeyFieldsLength() const;

 private:
  TqdKeyFieldDescriptor* CreateKeyField(int32_t aFieldNumber, const TqdKeyFieldDescriptorClass* aClass);
  int32_t FieldNumberFromName(qdStringView aFieldName);
  void FreeKeyFields();

  std::vector<TqdKeyFieldDescriptor*> ckdKeyFields;
  // Computed on demand, also on a shared dictionary.
  std::atomic<int32_t> ckdKeyLen{-1};
};

// A composite key without null flags: every key field must be filled by the
// field itself (required, system-maintained or defaulted).
class TqdNoNullCompKeyDescriptor : public TqdCompKeyDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdNoNullCompKeyDescriptorException)
 public:
  using TqdCompKeyDescriptor::TqdCompKeyDescriptor;

  int32_t GetKeyLen() override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
};

class TqdKeyFieldDescriptor : public TqdLocalizedDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyFieldDescriptorClass, EqdKeyFieldDescriptorException)
 public:
  // Registers for field notices unless aFieldNumber is kRelatedFieldNumber.
  TqdKeyFieldDescriptor(TqdPersistent* aParent, int32_t aFieldNumber);
  ~TqdKeyFieldDescriptor() override;

  int32_t FieldNumber() const { return kfdFieldNumber; }
  void SetFieldNumber(int32_t aValue);
  const qdString& Desc() const { return kfdDesc; }
  void SetDesc(qdStringView aValue);
  const qdString& KeyFieldEngine() const { return kfdKeyFieldEngine; }
  void SetKeyFieldEngine(qdStringView aValue);
  bool Ascend() const { return kfdAscend; }
  void SetAscend(bool aValue);
  int32_t OverrideLengthBytes() const { return kfdOverrideLengthBytes; }
  void SetOverrideLengthBytes(int32_t aValue);
  int32_t OverrideLengthChars() const { return kfdOverrideLengthChars; }
  void SetOverrideLengthChars(int32_t aValue);
  TqdNullBehaviour NullBehaviour() const { return kfdNullBehaviour; }
  void SetNullBehaviour(TqdNullBehaviour aValue);

  // The field: by number through the related fields descriptor, or the
  // related field descriptor for kRelatedFieldNumber; nil when not found.
  TqdFieldDescriptor* Field();
  // Bytes and characters of this key field (0 when the field is unknown).
  int32_t KeyLength();
  int32_t KeyChars();

  // The field number lies in the table's field list.
  virtual bool IsValidForTable(TqdBaseTableDescriptor* aTableDescriptor);
  // False for nbFilterNull or a required field.
  virtual bool CanContainNulls();

  TqdLocaleDescriptor* GetInheritedLocaleDescriptor() override;
  void FieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField) override;
  bool ItemRequiresPack() override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void DropOwnerKeyLen();
  void UpdateRegistration();

  int32_t kfdFieldNumber;
  qdString kfdDesc;
  qdString kfdKeyFieldEngine;
  bool kfdAscend = true;
  int32_t kfdOverrideLengthBytes = 0;
  int32_t kfdOverrideLengthChars = 0;
  TqdNullBehaviour kfdNullBehaviour = nbTop;
};

class TqdTextKeyFieldDescriptor : public TqdKeyFieldDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyFieldDescriptorClass, EqdTextKeyFieldDescriptorException)
 public:
  using TqdKeyFieldDescriptor::TqdKeyFieldDescriptor;

  bool IgnoreCase() const { return tkfIgnoreCase; }
  void SetIgnoreCase(bool aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  bool tkfIgnoreCase = false;
};

class TqdExtTextKeyFieldDescriptor : public TqdTextKeyFieldDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyFieldDescriptorClass, EqdExtTextKeyFieldDescriptorException)
 public:
  using TqdTextKeyFieldDescriptor::TqdTextKeyFieldDescriptor;

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
};

// --- Indexes ----------------------------------------------------------------------------------

class TqdIndexDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdIndexDescriptorClass, EqdIndexDescriptorException)
 public:
  static constexpr char16_t kDefaultEngine[] = u"qd1xDefault";
  static constexpr char16_t kCacheEngine[] = u"CacheKeylessBStarTree";
  static constexpr char16_t kSequentialAccessIndex[] = u"Sequential Access Index";

  // Identifier check (10022); registers for file notices; builds the key of
  // aKeyClass (nil: a composite key).
  TqdIndexDescriptor(TqdPersistent* aParent, qdStringView aName, int32_t aFileNumber,
                     const TqdKeyDescriptorClass* aKeyClass);
  ~TqdIndexDescriptor() override;

  // Without a parent; Number = aNumber. aClass nil: TqdIndexDescriptor.
  static TqdIndexDescriptor* CreateStandalone(int32_t aNumber, qdStringView aName, int32_t aFileNumber,
                                              const TqdKeyDescriptorClass* aKeyClass,
                                              const TqdIndexDescriptorClass* aClass = nullptr);
  // Class name, key class name, number, name, file number, body.
  void SaveStandalone(TqdWriter& aWriter, int32_t aVersion) const;
  static TqdIndexDescriptor* CreateStandaloneFromReader(TqdReader& aReader);

  const qdString& Name() const { return idName; }
  void SetName(qdStringView aValue);
  const qdString& IndexEngine() const { return idIndexEngine; }
  void SetIndexEngine(qdStringView aValue);
  const qdString& Desc() const { return idDesc; }
  void SetDesc(qdStringView aValue);
  int32_t FileNumber() const { return idFileNumber; }
  void SetFileNumber(int32_t aValue);
  TqdIndexDups Dups() const { return idDups; }
  void SetDups(TqdIndexDups aValue);
  int32_t Number() const { return idNumber; }
  TqdBaseKeyDescriptor* KeyDescriptor() const { return idKeyDescriptor; }
  // Frees the key and builds an empty one of aKeyClass (nil: composite).
  TqdBaseKeyDescriptor* ReplaceKeyDescriptor(const TqdKeyDescriptorClass* aKeyClass);
  // The file descriptor of FileNumber; nil without a related files list.
  TqdFileDescriptor* IndexFile();

  // The file lies in the table's list and the key is valid for the table.
  virtual bool IsValidForTable(TqdBaseTableDescriptor* aTableDescriptor);
  // Converts the index for a cache table.
  virtual void MakeInCache();

  void FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  friend class TqdBaseIndicesDescriptor;

  qdString idName;
  qdString idIndexEngine{kDefaultEngine};
  qdString idDesc;
  int32_t idFileNumber;
  TqdBaseKeyDescriptor* idKeyDescriptor = nullptr;
  TqdIndexDups idDups = idNone;
  int32_t idNumber = 0;
};

class TqdBaseIndicesDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdIndicesDescriptorClass, EqdBaseIndicesDescriptorException)
 public:
  TqdBaseIndicesDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection);
  ~TqdBaseIndicesDescriptor() override;

  const std::string& HeaderSection() const { return bidHeaderSection; }
  int32_t IndexCount() const { return static_cast<int32_t>(bidIndexes.size()); }
  // aIndex in 0..IndexCount-1 (9999).
  TqdIndexDescriptor* IndexDescriptor(int32_t aIndex) const;
  const qdString& IndicesEngine() const { return bidIndicesEngine; }
  void SetIndicesEngine(qdStringView aValue);

  virtual const TqdKeyDescriptorClass& DefaultKeyClass() const;
  virtual const TqdIndexDescriptorClass& DefaultIndexClass() const;
  // Calls IndexChangeNotification on every registered item in list order.
  virtual void IndexChangeNotify(bool aBefore, int32_t aOldIndex, int32_t aNewIndex);
  virtual void MakeInCache();

  // Read-only and identifier checks (10022); 10027 for a name present;
  // with a related files list the file must exist (9999). Appends with the
  // next number and sends (after, -1, number).
  TqdIndexDescriptor* AddIndex(qdStringView aName, int32_t aFileNumber, TqdIndexDups aDups, qdStringView aDesc,
                               const TqdKeyDescriptorClass* aKeyClass = nullptr,
                               const TqdIndexDescriptorClass* aIndexClass = nullptr);
  // False means idNone, true idAll.
  TqdIndexDescriptor* AddIndex(qdStringView aName, int32_t aFileNumber, bool aDups, qdStringView aDesc,
                               const TqdKeyDescriptorClass* aKeyClass = nullptr,
                               const TqdIndexDescriptorClass* aIndexClass = nullptr);
  // A copy of an index of another list; a failure leaves the list unchanged.
  TqdIndexDescriptor* AddIndex(const TqdIndexDescriptor* aIndexDescriptor);
  TqdIndexDescriptor* InsertIndexAt(int32_t aInx, qdStringView aName, int32_t aFileNumber, TqdIndexDups aDups,
                                    qdStringView aDesc, const TqdKeyDescriptorClass* aKeyClass = nullptr,
                                    const TqdIndexDescriptorClass* aIndexClass = nullptr);
  TqdIndexDescriptor* InsertIndexAt(int32_t aInx, qdStringView aName, int32_t aFileNumber, bool aDups,
                                    qdStringView aDesc, const TqdKeyDescriptorClass* aKeyClass = nullptr,
                                    const TqdIndexDescriptorClass* aIndexClass = nullptr);
  void MoveIndex(int32_t aFrom, int32_t aTo);
  // An index outside the list is ignored.
  void RemoveIndex(int32_t aInx);
  void RemoveIndex(qdStringView aName);
  int32_t GetIndexFromName(qdStringView aIndexName) const;
  TqdIndexDescriptor* GetDescriptorFromName(qdStringView aIndexName) const;
  // The first index whose duplicates rule is in aDups and whose key is a
  // composite key without filter over exactly these fields in this order.
  bool HasIndex(std::span<const int32_t> aFields, int32_t& aIndex, TqdIndexDupsSet aDups) const;

  TqdChangeNotifyList& IndexChangeNotifies() { return bidIndexChangeNotifies; }

  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void CheckIndexName(qdStringView aName) const;
  // AddIndex without the notice.
  TqdIndexDescriptor* AddIndexQuietly(qdStringView aName, int32_t aFileNumber, TqdIndexDups aDups, qdStringView aDesc,
                                      const TqdKeyDescriptorClass* aKeyClass,
                                      const TqdIndexDescriptorClass* aIndexClass);
  void Renumber(int32_t aFrom);
  void FreeIndexes();

  std::string bidHeaderSection;
  TqdChangeNotifyList bidIndexChangeNotifies{TqdChangeNotifyKind::cnkIndex};
  std::vector<TqdIndexDescriptor*> bidIndexes;
  qdString bidIndicesEngine{TqdIndexDescriptor::kDefaultEngine};
};

class TqdMainIndicesDescriptor : public TqdBaseIndicesDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdIndicesDescriptorClass, EqdMainIndicesDescriptorException)
 public:
  using TqdBaseIndicesDescriptor::TqdBaseIndicesDescriptor;

  // -1 exactly when there are no indexes.
  int32_t DefaultIndex() const { return midDefaultIndex; }
  // Read-only check; no indexes: -1; negative: 0; beyond the last index:
  // 9999 "Invalid default index number: %d".
  void SetDefaultIndex(int32_t aValue);

  void IndexChangeNotify(bool aBefore, int32_t aOldIndex, int32_t aNewIndex) override;
  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  int32_t midDefaultIndex = -1;
};

// Indexes the engine keeps for itself; their names begin with "$".
class TqdInternalIndicesDescriptor : public TqdBaseIndicesDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdIndicesDescriptorClass, EqdInternalIndicesDescriptorException)
 public:
  using TqdBaseIndicesDescriptor::TqdBaseIndicesDescriptor;

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
};

}  // namespace qd
