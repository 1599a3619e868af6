// Default values and validations: what a field holds (TqdBaseDefaultValueDescriptor
// and its constant, date/time, user, GUID, empty and next-LSN kinds; the
// list TqdFieldValidationsDescriptor of TqdBaseFieldValidationDescriptor with
// its min/max, no-change and SQL-check kinds) and the record-level list
// TqdFieldsValidationsDescriptor of a fields descriptor.
// Part of the data dictionary unit (dictionary/qdsdDataDictionary.h, which
// describes the tree as a whole); implemented in qdsdDataDictionary_Defaults.cpp.
#pragma once

#include "dictionary/qdsdDataDictionary_Items.h"

namespace qd {

// The exception classes of these descriptors (the tree mirrors the classes).
QD_DECLARE_EXCEPTION_CLASS(EqdBaseDefaultValueDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdConstDefaultValueDescriptorException, EqdBaseDefaultValueDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdAutoGuidDefaultValueDescriptorException, EqdBaseDefaultValueDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdNextLSNDefaultValueDescriptorException, EqdBaseDefaultValueDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseFieldValidationDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdMinMaxValidationDescriptorException, EqdBaseFieldValidationDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdNoChangeValidationDescriptorException, EqdBaseFieldValidationDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdSqlCheckValidationDescriptorException, EqdBaseFieldValidationDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdFieldValidationsDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdFieldsValidationsDescriptorException, EqdFieldValidationsDescriptorException);

// --- Default values and validations held by fields ----------------------------------------
//
// A field holds one default-value descriptor and one list of validations, a
// fields descriptor one list of record validations. They only describe what
// a record gets and must pass; the record engines act on them.

enum TqdApplyAt : uint8_t { aaServer, aaClient };
using TqdApplyAtSet = TqdSet<TqdApplyAt, uint8_t>;

class TqdBaseDefaultValueDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdBaseDefaultValueDescriptorException)
 public:
  explicit TqdBaseDefaultValueDescriptor(TqdPersistent* aParent) : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {}

  // Filled by the record engines on first use; every thread stores the same
  // class.
  const TqdClassInfo* CachedEngineClass() const { return bdvCachedEngineClass; }
  void SetCachedEngineClass(const TqdClassInfo* aClass) { bdvCachedEngineClass = aClass; }
  TqdApplyAtSet ApplyAt() const { return bdvApplyAt; }
  virtual void SetApplyAt(TqdApplyAtSet aValue);
  bool ApplyOnInsert() const { return bdvApplyOnInsert; }
  virtual void SetApplyOnInsert(bool aValue);
  bool ApplyOnModify() const { return bdvApplyOnModify; }
  virtual void SetApplyOnModify(bool aValue);
  // False: the default only fills a null field.
  bool OverwriteNonNull() const { return bdvOverwriteNonNull; }
  virtual void SetOverwriteNonNull(bool aValue);
  // The field types the class cannot serve.
  virtual TqdFieldTypes GetInvalidFieldTypes() const;

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  // Refuses (10001, naming aClass) a related field of a BLOB type; the
  // concrete classes pass their own class, which the item cannot yet tell
  // while its parent part is built.
  TqdBaseDefaultValueDescriptor(TqdPersistent* aParent, const TqdClassInfo& aClass);
  // 10001 naming aClass and aType when the class cannot serve aType.
  void CheckFieldType(const TqdClassInfo& aClass, TqdFieldType aType, TqdFieldTypes aInvalid) const;

  const TqdClassInfo* bdvCachedEngineClass = nullptr;
  TqdApplyAtSet bdvApplyAt{aaServer, aaClient};
  bool bdvApplyOnInsert = true;
  bool bdvApplyOnModify = false;
  bool bdvOverwriteNonNull = false;
};

// A constant kept in the field's own storage layout, with the layout it was
// encoded for so that a changed field can be followed.
class TqdConstDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdConstDefaultValueDescriptorException)
 public:
  explicit TqdConstDefaultValueDescriptor(TqdPersistent* aParent);

  const std::vector<uint8_t>& DefaultValue() const { return cdvDefaultValue; }
  // Reading follows a changed field layout (in a copy when the dictionary is
  // read-only); setting is refused on a read-only dictionary (15500).
  TqdVariant AsVariant();
  void SetAsVariant(const TqdVariant& aValue);
  // Follows a changed field layout: the array is resized and zeroed and,
  // when aConvert, the old value re-encoded (10002 when it cannot be). The
  // snapshot moves to the current layout in every case.
  void AdaptToField(bool aConvert);
  // The value in the field's current layout, the descriptor unchanged
  // (10002 when it cannot be re-encoded).
  std::vector<uint8_t> ValueForField() const;

  TqdFieldTypes GetInvalidFieldTypes() const override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdFieldDescriptor* Field();
  void TakeSnapshot(TqdFieldDescriptor* aField);
  bool MatchesField(TqdFieldDescriptor* aField) const;
  std::vector<uint8_t> ConvertedForField(TqdFieldDescriptor* aField) const;

  TqdFieldType cdvFieldType = qdtBoolean;
  uint16_t cdvFieldCodePage = 0;
  int32_t cdvFieldUnits = 0;
  int32_t cdvFieldDecPl = 0;
  int32_t cdvFieldLength = 0;
  std::vector<uint8_t> cdvDefaultValue;
};

class TqdCurrentDateTimeDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdBaseDefaultValueDescriptorException)
 public:
  explicit TqdCurrentDateTimeDefaultValueDescriptor(TqdPersistent* aParent)
      : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {}
  TqdFieldTypes GetInvalidFieldTypes() const override;
};

class TqdCurrentUserDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdBaseDefaultValueDescriptorException)
 public:
  explicit TqdCurrentUserDefaultValueDescriptor(TqdPersistent* aParent)
      : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {}
  TqdFieldTypes GetInvalidFieldTypes() const override;
};

class TqdAutoGuidDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdAutoGuidDefaultValueDescriptorException)
 public:
  explicit TqdAutoGuidDefaultValueDescriptor(TqdPersistent* aParent)
      : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {}
  TqdFieldTypes GetInvalidFieldTypes() const override;
};

class TqdEmptyDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdBaseDefaultValueDescriptorException)
 public:
  explicit TqdEmptyDefaultValueDescriptor(TqdPersistent* aParent) : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {}
  TqdFieldTypes GetInvalidFieldTypes() const override;
};

// The table engine fills such an Int64 field with the log sequence number:
// the insert LSN when ApplyOnModify is false, the modify LSN when true. It
// always applies on the server, on insert and over any value.
class TqdNextLSNDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdNextLSNDefaultValueDescriptorException)
 public:
  explicit TqdNextLSNDefaultValueDescriptor(TqdPersistent* aParent);

  void SetApplyAt(TqdApplyAtSet aValue) override;
  void SetApplyOnInsert(bool aValue) override;
  void SetOverwriteNonNull(bool aValue) override;
  TqdFieldTypes GetInvalidFieldTypes() const override;
};

// A named check a record must pass.
class TqdBaseFieldValidationDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdValidationDescriptorClass, EqdBaseFieldValidationDescriptorException)
 public:
  // Identifier check on aName (10068).
  TqdBaseFieldValidationDescriptor(TqdPersistent* aParent, qdStringView aName);

  const qdString& Name() const { return bvdName; }
  virtual TqdApplyAtSet ApplyAt() const { return bvdApplyAt; }
  virtual void SetApplyAt(TqdApplyAtSet aValue);
  TqdFieldTypes GetInvalidFieldTypes() const { return InvalidFieldTypes(); }

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  virtual TqdFieldTypes InvalidFieldTypes() const { return qdBlobFieldTypes; }
  // 10001 when the related field's type is one the class cannot check.
  void CheckFieldType() const;

  qdString bvdName;
  TqdApplyAtSet bvdApplyAt{aaServer};
};

// Validations that may also stand in the list of a whole record.
class TqdBaseFieldsValidationDescriptor : public TqdBaseFieldValidationDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdValidationDescriptorClass, EqdBaseFieldValidationDescriptorException)
 public:
  using TqdBaseFieldValidationDescriptor::TqdBaseFieldValidationDescriptor;
};

// Bounds in the field's storage layout; the key field says how values
// compare.
class TqdMinMaxValidationDescriptor : public TqdBaseFieldValidationDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdValidationDescriptorClass, EqdMinMaxValidationDescriptorException)
 public:
  using TqdBaseFieldValidationDescriptor::TqdBaseFieldValidationDescriptor;
  ~TqdMinMaxValidationDescriptor() override;

  // Empty: no bound.
  const std::vector<uint8_t>& Min() const { return mmvdMin; }
  const std::vector<uint8_t>& Max() const { return mmvdMax; }
  TqdKeyFieldDescriptor* KeyField() const { return mmvdKeyField; }
  // Null when the bound is absent. Empty or Null clears the bound; a value
  // that cannot be converted leaves it cleared. No read-only check.
  TqdVariant MinAsVariant();
  void SetMinAsVariant(const TqdVariant& aValue);
  TqdVariant MaxAsVariant();
  void SetMaxAsVariant(const TqdVariant& aValue);
  TqdKeyFieldDescriptor* AddKeyField(const TqdKeyFieldDescriptorClass* aClass = nullptr);
  void RemoveKeyField();

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdVariant BoundAsVariant(const std::vector<uint8_t>& aBound);
  void SetBound(std::vector<uint8_t>& aBound, const TqdVariant& aValue);

  std::vector<uint8_t> mmvdMin;
  std::vector<uint8_t> mmvdMax;
  TqdKeyFieldDescriptor* mmvdKeyField = nullptr;
};

// The field may not change once written.
class TqdNoChangeValidationDescriptor : public TqdBaseFieldValidationDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdValidationDescriptorClass, EqdNoChangeValidationDescriptorException)
 public:
  using TqdBaseFieldValidationDescriptor::TqdBaseFieldValidationDescriptor;
  ~TqdNoChangeValidationDescriptor() override;

  TqdKeyFieldDescriptor* KeyField() const { return ncvdKeyField; }
  TqdKeyFieldDescriptor* AddKeyField(const TqdKeyFieldDescriptorClass* aClass = nullptr);
  void RemoveKeyField();

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdKeyFieldDescriptor* ncvdKeyField = nullptr;
};

// An SQL condition; it runs on the server only.
class TqdSqlCheckValidationDescriptor : public TqdBaseFieldsValidationDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdValidationDescriptorClass, EqdSqlCheckValidationDescriptorException)
 public:
  using TqdBaseFieldsValidationDescriptor::TqdBaseFieldsValidationDescriptor;

  TqdApplyAtSet ApplyAt() const override;
  void SetApplyAt(TqdApplyAtSet aValue) override;
  const qdString& Constraint() const { return scvdConstraint; }
  void SetConstraint(qdStringView aValue);
  // Empty: the standard text.
  const qdString& ErrorMessage() const { return scvdErrorMessage; }
  void SetErrorMessage(qdStringView aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString scvdConstraint;
  qdString scvdErrorMessage;
};

// The validations of one field, owned, in insertion order.
class TqdFieldValidationsDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdFieldValidationsDescriptorClass, EqdFieldValidationsDescriptorException)
 public:
  explicit TqdFieldValidationsDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}
  ~TqdFieldValidationsDescriptor() override;

  int32_t ValidationCount() const { return static_cast<int32_t>(fvdValidations.size()); }
  TqdBaseFieldValidationDescriptor* ValidationDescriptor(int32_t aInx) const { return fvdValidations.at(aInx); }
  // The class every entry descends from.
  virtual const TqdValidationDescriptorClass& ValidationClass() const;

  // Read-only and identifier checks, 10009 for a name already held (ASCII
  // case ignored), 9986 for a class of another family; nil = ValidationClass.
  TqdBaseFieldValidationDescriptor* AddValidation(qdStringView aName,
                                                  const TqdValidationDescriptorClass* aClass = nullptr);
  // Nothing for an index or name not held.
  void RemoveValidation(int32_t aInx);
  void RemoveValidation(qdStringView aName);
  // -1 when there is none (ASCII case ignored).
  int32_t GetValidationDescriptorFromName(qdStringView aValidationDescriptorName) const;
  int32_t GetValidationDescriptorFromClassName(qdStringView aValidationDescriptorClassName) const;

  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void FreeValidations();

  std::vector<TqdBaseFieldValidationDescriptor*> fvdValidations;
};

// The record-level validations of a fields descriptor.
class TqdFieldsValidationsDescriptor : public TqdFieldValidationsDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdFieldValidationsDescriptorClass, EqdFieldsValidationsDescriptorException)
 public:
  using TqdFieldValidationsDescriptor::TqdFieldValidationsDescriptor;

  const TqdValidationDescriptorClass& ValidationClass() const override;
};

}  // namespace qd
