// Fields and the record image: IqdFieldDescriptor and IqdFieldsSource (how
// filter engines and converters read fields), TqdFieldDescriptor and
// TqdFieldsDescriptor with the layout of a record buffer.
// Part of the data dictionary unit (dictionary/qdsdDataDictionary.h, which
// describes the tree as a whole); implemented in qdsdDataDictionary_Fields.cpp, the values as
// Variants in qdsdDataDictionary_Variants.cpp.
#pragma once

#include "dictionary/qdsdDataDictionary_Items.h"

namespace qd {

// The exception classes of these descriptors (the tree mirrors the classes).
QD_DECLARE_EXCEPTION_CLASS(EqdFieldDescriptorException, EqdLocalizedDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdFieldsDescriptorException, EqdDictionaryItemException);

// --- Fields and the record image -----------------------------------------------------------
//
// A fields descriptor lays out a record buffer:
//
//   offset               size                         meaning
//   0                    sum of the field lengths     field i: fdLength bytes at fdOffset,
//                        (fsdLogRecLen)               packed in field order, no gaps
//   fsdLogRecLen         up to fsdLogRecLenAlign      zero padding
//   fsdLogRecLenAlign    4 * ceil(FieldCount / 32)    null bitmap: LE 32-bit words, field
//                                                     n = bit (n mod 32) of word (n div 32),
//                                                     bit set = NULL
//
// fsdLogRecLenAlign is fsdLogRecLen rounded up to 4; a version-1 dictionary
// puts the bitmap right after the data (no padding) and still reports the
// record length as fsdLogRecLen rounded up to 4 plus the bitmap. Buffers of a
// layout are record length + 4 bytes long. A null field's data bytes are zero
// whenever its null flag was set through the descriptor.

// What filters and converters read of a field.
class IqdFieldDescriptor {
 public:
  virtual qdString GetName() = 0;
  virtual TqdFieldType GetFieldType() = 0;
  virtual int32_t GetUnits() = 0;
  virtual int32_t GetDecPl() = 0;
  virtual TqdLocaleDescriptor* GetUsedLocaleDescriptor() = 0;
  virtual uint16_t GetUsedStorageCodePage() = 0;

 protected:
  ~IqdFieldDescriptor() = default;
};

// How filter engines see the fields of the buffers they are given: a table's
// fields descriptor (record images), a key engine (key images) or a cursor.
// Not counted: the source outlives every filter engine bound to it (a key
// engine owns its filter engine; a cursor frees its filters before itself).
// Sources that are shared between threads answer every operation without
// changing their own state.
class IqdFieldsSource {
 public:
  // Field aField (0-based) of aData: its type, units, null flag, the address
  // of its value image and the code page of its text; false when there is
  // no such field. For qdtShortString aSize is the text's length and aValue
  // points at its first character. A source may select the field by aName
  // when it is not empty (key engines do; a fields descriptor ignores it).
  virtual bool GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType,
                                 int32_t& aSize, bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage) = 0;
  virtual TqdVariant GetFieldAsVariant(const uint8_t* aBuffer, int32_t aField) = 0;
  // Whether BLOB fields can be read through this source.
  virtual bool BlobsSupported() = 0;
  // -1 when unknown.
  virtual int32_t GetFieldFromName(qdStringView aFieldName) = 0;
  virtual int32_t GetFieldCount() = 0;
  virtual IqdFieldDescriptor* GetFieldDescriptor(int32_t aIndex) = 0;
  // The cursor behind the source, or nil (a fields descriptor, a key engine).
  virtual TqdAbstractCursor* GetCursor() = 0;
  // Offset of the first field image in a buffer.
  virtual int32_t GetFieldsOffset() = 0;

 protected:
  ~IqdFieldsSource() = default;
};

class TqdFieldDescriptor : public TqdLocalizedDictionaryItem, public IqdFieldDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdFieldDescriptorClass, EqdFieldDescriptorException)
 public:
  // Identifier check (10038), then the setup rule on units, decimals,
  // required flag and length.
  TqdFieldDescriptor(TqdPersistent* aParent, qdStringView aName, qdStringView aDesc, TqdFieldType aType, int32_t aUnits,
                     int32_t aDecPl, bool aRequired);
  ~TqdFieldDescriptor() override;

  // Normalises a requested units/decimals/required triple for a type and
  // computes the bytes in the record image. Byte arrays and the three string
  // types refuse units of 0 or less (10001 "Units must be > 0"): such a field
  // would overlap its neighbours.
  static void SetupField(TqdFieldType aType, int32_t& aUnits, int32_t& aDecPl, bool& aRequired, int32_t& aLength);
  // SetupField on the descriptor's own values.
  void UpdateSetup();

  const qdString& Name() const { return fdName; }
  const qdString& NameLowerCase() const { return fdNameLowerCase; }
  int32_t Number() const { return fdNumber; }
  const qdString& Desc() const { return fdDesc; }
  TqdFieldType FieldType() const { return fdType; }
  int32_t Units() const { return fdUnits; }
  int32_t DecPl() const { return fdDecPl; }
  int32_t Offset() const { return fdOffset; }
  int32_t Length() const { return fdLength; }
  bool Required() const { return fdRequired; }
  bool NoClientAccess() const { return fdNoClientAccess; }
  void SetNoClientAccess(bool aValue);
  int32_t BlobIndex() const { return fdBlobIndex; }
  TqdFieldDescriptor* SameHashNext() const { return fdSameHashNext; }
  TqdBaseDefaultValueDescriptor* DefaultValue() const { return fdDefaultValue; }
  TqdFieldValidationsDescriptor* Validations() const { return fdValidations; }

  // Read-only and identifier checks; 10009 when the owning list already
  // knows the name (this field included, case ignored).
  void ChangeName(qdStringView aNewName);
  TqdBaseDefaultValueDescriptor* AddDefaultValue(const TqdDefaultValueDescriptorClass* aClass = nullptr);
  void RemoveDefaultValue();
  TqdFieldValidationsDescriptor* AddValidations(const TqdFieldValidationsDescriptorClass* aClass = nullptr);
  TqdFieldValidationsDescriptor* EnsureValidations();
  void RemoveValidations();

  // Frees the default value (unless it is a next-LSN one) and the
  // validations.
  virtual void RemoveConstraints();
  virtual bool IsValidForTable(TqdBaseTableDescriptor* aTableDescriptor);

  // "[2] Title - NullString(20)".
  qdString ToString() const;

  // The field's bytes through the native converter; a nil buffer reads as
  // Null. Writing Null or Empty zero-fills the field; a conversion that
  // raises zero-fills it too before the exception passes on.
  TqdVariant fdGetBufferAsVariant(const uint8_t* aFieldBuffer);
  void fdSetBufferAsVariant(uint8_t* aFieldBuffer, const TqdVariant& aValue);

  // One field outside any dictionary: Integer 1, class name, name,
  // description, type identifier, units, decimals, required, body.
  void SaveStandalone(TqdWriter& aWriter, int32_t aVersion) const;
  static TqdFieldDescriptor* CreateStandaloneFromReader(TqdReader& aReader);

  // IqdFieldDescriptor.
  qdString GetName() override { return fdName; }
  TqdFieldType GetFieldType() override { return fdType; }
  int32_t GetUnits() override { return fdUnits; }
  int32_t GetDecPl() override { return fdDecPl; }
  TqdLocaleDescriptor* GetUsedLocaleDescriptor() override;
  uint16_t GetUsedStorageCodePage() override { return UsedStorageCodePage(); }

  bool FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                   TqdDictionaryItem* aFrom) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  friend class TqdFieldsDescriptor;
  friend class TqdDataDictionary;

  // Type, units, decimals and required flag as written ahead of the body.
  void SaveHeadToWriter(TqdWriter& aWriter, int32_t aClientVersion) const;
  TqdFieldsDescriptor* OwnerList() const;

  qdString fdName;
  int32_t fdNumber = 0;
  qdString fdNameLowerCase;
  TqdFieldDescriptor* fdSameHashNext = nullptr;
  qdString fdDesc;
  TqdFieldType fdType;
  int32_t fdUnits;
  int32_t fdDecPl;
  int32_t fdOffset = 0;
  int32_t fdLength = 0;
  TqdBaseDefaultValueDescriptor* fdDefaultValue = nullptr;
  TqdFieldValidationsDescriptor* fdValidations = nullptr;
  bool fdRequired;
  bool fdNoClientAccess = false;
  int32_t fdBlobIndex = -1;
};

class TqdFieldsDescriptor : public TqdDictionaryItem, public IqdFieldsSource {
  QD_DICTIONARY_ITEM_CLASS(TqdFieldsDescriptorClass, EqdFieldsDescriptorException)
 public:
  explicit TqdFieldsDescriptor(TqdPersistent* aParent);
  // Clears without notices and releases the cached infos.
  ~TqdFieldsDescriptor() override;

  int32_t FieldCount() const { return static_cast<int32_t>(fsdFields.size()); }
  // aIndex must lie in 0..FieldCount-1 (9999 "Index out of bounds: %d").
  TqdFieldDescriptor* FieldDescriptor(int32_t aIndex) const;
  TqdFieldsValidationsDescriptor* Validations() const { return fsdValidations; }
  TqdFieldsValidationsDescriptor* AddValidations(const TqdFieldValidationsDescriptorClass* aClass = nullptr);
  TqdFieldsValidationsDescriptor* EnsureValidations();
  void RemoveValidations();

  // Read-only and identifier checks; 10009 "Duplicated field name: %s";
  // appends the field at the end of the data area. No notice.
  TqdFieldDescriptor* AddField(qdStringView aName, qdStringView aDesc, TqdFieldType aType, int32_t aUnits,
                               int32_t aDecPl, bool aRequired, const TqdFieldDescriptorClass* aClass = nullptr);
  // A copy of a field of another list, with its body; the new field keeps
  // its own ID, offset and length. A failure leaves the list unchanged.
  TqdFieldDescriptor* AddField(const TqdFieldDescriptor* aFieldDescriptor);
  // aInx in 0..FieldCount (9999); notices (before/after, -1, aInx).
  TqdFieldDescriptor* InsertFieldAt(int32_t aInx, qdStringView aName, qdStringView aDesc, TqdFieldType aType,
                                    int32_t aUnits, int32_t aDecPl, bool aRequired,
                                    const TqdFieldDescriptorClass* aClass = nullptr);
  // Both in 0..FieldCount-1 (9999 naming the bad one, aFrom first).
  void MoveField(int32_t aFrom, int32_t aTo);
  // An index outside the list is ignored; a field an index still uses is
  // refused (15502) before anything changes.
  void RemoveField(int32_t aInx);

  // -1 when unknown; ASCII letters fold.
  int32_t GetFieldFromName(qdStringView aFieldName) const;
  // aFieldName already lower case.
  int32_t GetFieldFromNameFast(qdStringView aFieldName) const;
  // Clears aStrings and adds every name with its field descriptor, in field
  // order.
  void GetFields(TqdStringList& aStrings) const;

  // --- Record access ---
  // Zero-fills the record and sets every field's null flag.
  void InitRecord(uint8_t* aData) const;
  // 9999 for a bad number; a nil record counts as NULL.
  bool IsRecordFieldNull(int32_t aField, const uint8_t* aData) const;
  // No checks: the caller passes a valid number and a record.
  bool IsRecordFieldNullFast(int32_t aField, const uint8_t* aData) const;
  void GetRecordField(int32_t aField, const uint8_t* aData, bool& aIsNull, void* aValue) const;
  // aValue nil sets the null flag and zero-fills the field.
  void SetRecordField(int32_t aField, uint8_t* aData, const void* aValue) const;
  void SetRecordFieldNull(int32_t aField, uint8_t* aData, bool aIsNull) const;
  // The field's bytes, nil when null or without a record; the number is not
  // checked.
  const uint8_t* GetRecordFieldForFilter(int32_t aField, const uint8_t* aData) const;
  bool GetRecordFieldForFilter(int32_t aField, const uint8_t* aData, TqdFieldType& aType, int32_t& aSize,
                               const uint8_t*& aValue) const;
  // --- IqdFieldsSource: record images of this layout ---
  // aName is not read: the field is named by its number.
  bool GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType, int32_t& aSize,
                         bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage) override;
  // fsdGetFieldByIndexAsVariant.
  TqdVariant GetFieldAsVariant(const uint8_t* aBuffer, int32_t aField) override;
  bool BlobsSupported() override { return false; }
  int32_t GetFieldFromName(qdStringView aFieldName) override;
  int32_t GetFieldCount() override { return FieldCount(); }
  // 9999 for a bad index.
  IqdFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override;
  TqdAbstractCursor* GetCursor() override { return nullptr; }
  int32_t GetFieldsOffset() override { return 0; }

  // A field of a record as a Variant (null field or nil record: Null) and
  // back (Null or Empty sets the field null). A bad index raises 9999
  // before anything is touched; an unknown name is the index -1.
  TqdVariant fsdGetFieldByIndexAsVariant(const uint8_t* aRecordBuffer, int32_t aIndex) const;
  TqdVariant fsdGetFieldByNameAsVariant(const uint8_t* aRecordBuffer, qdStringView aName) const;
  void fsdSetFieldByIndexAsVariant(uint8_t* aRecordBuffer, int32_t aIndex, const TqdVariant& aValue) const;
  void fsdSetFieldByNameAsVariant(uint8_t* aRecordBuffer, qdStringView aName, const TqdVariant& aValue) const;
  // One line per field: name, ": ", the value's text or "<?>" when null.
  qdString RecordBufferToString(const uint8_t* aRecordBuffer) const;

  // --- Special fields ---
  bool HasAutoIncField(int32_t& aField) const { return HasSpecialField(sftAutoInc, aField); }
  bool HasAutoGuidField(int32_t& aField) const { return HasSpecialField(sftAutoGuid, aField); }
  bool HasRecRevField(int32_t& aField) const { return HasSpecialField(sftRecRev, aField); }
  bool HasRefNrField(int32_t& aField) const { return HasSpecialField(sftRefNr, aField); }
  bool HasModifyLSNField(int32_t& aField) const { return HasSpecialField(sftModifyLSN, aField); }
  bool HasInsertLSNField(int32_t& aField) const { return HasSpecialField(sftInsertLSN, aField); }
  // The BLOB field numbers in field order; true when there is one.
  bool HasBlobFields(TqdBlobFields& aBlobFields) const;
  bool HasBlobFields() const;
  // Same count and, field by field, equal length and compatible type; the
  // BLOB field numbers go to aBlobFields when given.
  bool HasSameFields(const TqdFieldsDescriptor* aSource, TqdBlobFields* aBlobFields) const;
  void FillSpecialFieldsInfo(TqdSpecialFieldsInfo& aSpecialFieldsInfo, bool aRebuildHash);
  // Releases what the variable holds; hands out the cached info or a new
  // private one.
  void GetSpecialFieldsInfo(TqdSpecialFieldsInfo*& aSpecialFieldsInfo);
  void GetDiffCompressionInfo(TqdDiffCompressorInfo*& aDCI);

  // --- Layout ---
  void UpdateSetupAndOffsets();
  void UpdateLogRecLenAlign();
  int32_t RecordLength() const;
  int32_t LogicalRecordLength() const { return fsdLogRecLenAlign; }
  // The sum of the field lengths.
  int32_t DataLength() const { return fsdLogRecLen; }
  int32_t FieldsOffset() const { return 0; }
  // The pool of record buffers (record length + 4 bytes) of this layout.
  TqdMemoryPool RecordAllocator() const;
  int32_t OriginalFieldCount() const;
  void SetOriginalFieldCount(int32_t aValue);
  const TqdClassInfo* CachedEngineClass() const { return fsdCachedEngineClass; }
  void SetCachedEngineClass(const TqdClassInfo* aClass) { fsdCachedEngineClass = aClass; }

  // Tells every registered item about a change of the field list.
  void fsdFieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField);
  TqdChangeNotifyList& FieldChangeNotifies() { return fsdFieldChangeNotifies; }

  virtual void RemoveConstraints();

  void ActivateCache() override;
  void DeactivateCache() override;
  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void CheckFieldIndex(int32_t aField) const;
  bool HasSpecialField(TqdSpecialFieldType aType, int32_t& aField) const;
  // The special type a field stands for, or false.
  static bool SpecialFieldTypeOf(const TqdFieldDescriptor* aField, TqdSpecialFieldType& aType);
  // Numbers and offsets from aFrom on, then the lengths.
  void Renumber(int32_t aFrom);
  bool IsVersion1() const;
  void ClearFields(bool aNotify);
  // Takes the stored data and aligned lengths after the fields were read;
  // they must describe the packed layout of those fields (15498).
  void SetStoredLengths(int32_t aLogRecLen, int32_t aLogRecLenAlign);

  friend class TqdDataDictionary;

  TqdFieldsValidationsDescriptor* fsdValidations = nullptr;
  int32_t fsdLogRecLen = 0;
  int32_t fsdLogRecLenAlign = 0;
  int32_t fsdCachedGetRecordLength = 0;
  TqdMemoryPool fsdRecordAllocator;
  TqdChangeNotifyList fsdFieldChangeNotifies{TqdChangeNotifyKind::cnkField};
  const TqdClassInfo* fsdCachedEngineClass = nullptr;
  std::vector<TqdFieldDescriptor*> fsdFieldHashList;
  TqdSpecialFieldsInfo* fsdCachedSpecialFieldsInfo = nullptr;
  TqdDiffCompressorInfo* fsdCachedDiffCompressorInfo = nullptr;
  std::vector<TqdFieldDescriptor*> fsdFields;
};

}  // namespace qd
