// The dataset framework the client datasets extend: datasets with states and
// a ring of record buffers, navigation, editing steps and events; fields over
// record buffers in fixed formats; field, index and parameter definitions;
// data sources and data links (master and detail); the provider interface.
// It knows nothing of the engine and nothing of a user interface: a dataset
// subclass supplies the records, data-aware controls wrap the data links.
//
// Classes: EDatabaseError, EUpdateError, TField and one class per field type,
// TFields, TFieldDef(s), TIndexDef(s), TParam(s), IProviderSupport, TDataSet,
// TDataSource, TDataLink, TDetailDataLink, TMasterDataLink,
// TqdPrivateBufferAccess, TDataSetStateGuard.
//
// Ownership: a dataset owns its fields (default and persistent alike), its
// field and index definitions and its record buffers; a data source refers
// to its dataset (cleared by free notification) and to its links; a link
// refers to its data source and is removed from it when the link goes.
// Nothing here is shared between threads: a dataset, its sources and links
// are used from the thread that owns them.
//
// Record buffers. The ring holds BufferCount() + 1 buffers (the last one is
// where the next fetched record lands). A subclass may lay buffers out as it
// likes by overriding the buffer steps; the defaults lay a buffer out as:
//
//   offset                   size                content
//   0                        RecordSize          per data field in field-number
//                                                order: flag byte (bit 0 =
//                                                has a value), then DataSize
//   RecordSize               CalcFieldsSize      per calculated field: flag
//                                                byte, then DataSize (Offset)
//   RecordSize + calc size   1                   bookmark flag
//   + 1                      BookmarkSize        bookmark
//
// Field buffer formats (what GetData/SetData exchange, little-endian):
//   ftString, ftFixedChar, ftGuid  Size + 1 bytes, thread ANSI code page, NUL
//   ftWideString                   (Size + 1) UTF-16 units, NUL
//   ftSmallint/ftWord 2, ftInteger/ftLongWord/ftAutoInc 4, ftShortint/ftByte
//   1, ftLargeint 8, ftBoolean 2 (-1 / 0), ftFloat/ftCurrency 8 (double),
//   ftSingle 4, ftExtended 10, ftDate Int32 days (0001-01-01 = 1), ftTime
//   Int32 ms of the day, ftDateTime/ftTimeStamp double ms since 0001-01-01
//   less one day (the time-stamp scale), ftBCD/ftFMTBcd the 34-byte TBcd,
//   ftBytes Size bytes, ftVarBytes Word length + Size bytes, BLOB types the
//   8-byte BLOB number.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/qdllComponent.h"
#include "platform/qdStream.h"
#include "platform/qdSysUtils.h"
#include "platform/qdVariant.h"

namespace qd {

class TDataSet;
class TDataSource;
class TDataLink;
class TField;
class TFieldDefs;
class TIndexDefs;
class TParams;

// --- Enumerations ------------------------------------------------------------

enum TFieldType : uint8_t {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftCursor,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
  ftOraBlob,
  ftOraClob,
  ftVariant,
  ftInterface,
  ftIDispatch,
  ftGuid,
  ftTimeStamp,
  ftFMTBcd,
  ftFixedWideChar,
  ftWideMemo,
  ftOraTimeStamp,
  ftOraInterval,
  ftLongWord,
  ftShortint,
  ftByte,
  ftExtended,
  ftConnection,
  ftParams,
  ftStream,
  ftTimeStampOffset,
  ftObject,
  ftSingle,
};
inline constexpr int32_t kFieldTypeCount = ftSingle + 1;

// The type's name as messages show it ("Integer", "WideString", ...).
qdString FieldTypeName(TFieldType aType);
bool IsBlobFieldType(TFieldType aType);

enum TDataSetState : uint8_t {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsBlockRead,
  dsInternalCalc,
  dsOpening,
};

enum TDataEvent : uint8_t {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
  dePropertyChange,
  deFieldListChange,
  deFocusControl,
  deParentScroll,
  deConnectChange,
  deDisabledStateChange,
};

enum TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : uint8_t { grOK, grBOF, grEOF, grError };
enum TBookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TDataAction : uint8_t { daFail, daAbort, daRetry };
enum TBlobStreamMode : uint8_t { bmRead, bmWrite, bmReadWrite };
enum TFieldKind : uint8_t { fkData, fkCalculated, fkInternalCalc };
enum TParamType : uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };
enum TUpdateKind : uint8_t { ukModify, ukInsert, ukDelete };

// Small sets, one bit per value.
using TResyncMode = uint8_t;
inline constexpr TResyncMode rmExact = 1;
inline constexpr TResyncMode rmCenter = 2;

using TLocateOptions = uint8_t;
inline constexpr TLocateOptions loCaseInsensitive = 1;
inline constexpr TLocateOptions loPartialKey = 2;

using TFilterOptions = uint8_t;
inline constexpr TFilterOptions foCaseInsensitive = 1;
inline constexpr TFilterOptions foNoPartialCompare = 2;

using TFieldAttributes = uint8_t;
inline constexpr TFieldAttributes faHiddenCol = 1;
inline constexpr TFieldAttributes faReadonly = 2;
inline constexpr TFieldAttributes faRequired = 4;
inline constexpr TFieldAttributes faLink = 8;
inline constexpr TFieldAttributes faUnNamed = 16;
inline constexpr TFieldAttributes faFixed = 32;

using TIndexOptions = uint8_t;
inline constexpr TIndexOptions ixPrimary = 1;
inline constexpr TIndexOptions ixUnique = 2;
inline constexpr TIndexOptions ixDescending = 4;
inline constexpr TIndexOptions ixCaseInsensitive = 8;
inline constexpr TIndexOptions ixExpression = 16;
inline constexpr TIndexOptions ixNonMaintained = 32;

using TBookmark = std::vector<uint8_t>;

// --- Errors ------------------------------------------------------------------

class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

// An error of one update sent through a provider: the engine's code of the
// failure and of the failure before it (0 when none), and the original.
class EUpdateError : public EDatabaseError {
 public:
  EUpdateError(qdString aMessage, qdString aContext, int32_t aErrorCode, int32_t aPreviousError,
               std::exception_ptr aOriginalException);
  const qdString& Context() const { return ueContext; }
  int32_t ErrorCode() const { return ueErrorCode; }
  int32_t PreviousError() const { return uePreviousError; }
  const std::exception_ptr& OriginalException() const { return ueOriginalException; }

 private:
  qdString ueContext;
  int32_t ueErrorCode;
  int32_t uePreviousError;
  std::exception_ptr ueOriginalException;
};

// Raises EDatabaseError with the text, prefixed by "<name>: " when a
// component with a name is given.
[[noreturn]] void DatabaseError(qdStringView aMessage, const TqdComponent* aComponent = nullptr);
[[noreturn]] void DatabaseErrorFmt(qdStringView aMessage, std::initializer_list<TqdVarRec> aArgs,
                                   const TqdComponent* aComponent = nullptr);

// Names of fields, indexes and parameters compare without regard to case.
bool DBSameText(qdStringView aLeft, qdStringView aRight);

// --- Field buffer formats --------------------------------------------------------

// Bytes a value of the type takes in a record buffer (see the top of this
// header); 0 for types without a buffer form.
int32_t FieldDataSize(TFieldType aType, int32_t aSize);
// Writes aValue (not null) in the buffer form of the type. Text is cut at a
// character boundary to the size. Values that do not convert raise.
void ValueToFieldBuffer(TFieldType aType, int32_t aSize, const TqdVariant& aValue, uint8_t* aBuffer);
// Reads a buffer written in the type's form.
TqdVariant FieldBufferToValue(TFieldType aType, int32_t aSize, const uint8_t* aBuffer);

// --- Fields ------------------------------------------------------------------

using TFieldNotifyEvent = std::function<void(TField* aSender)>;

// A field of a dataset: reads and writes one value of the current record
// through the dataset's GetFieldData/SetFieldData. Typed accessors go
// through the value's variant form; the classes below set the type and
// adjust what differs.
class TField : public TqdObject {
 public:
  // Joins aDataSet's fields (the dataset then owns the field) when given.
  TField(TDataSet* aDataSet, TFieldType aDataType);
  ~TField() override;
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  TDataSet* DataSet() const { return fDataSet; }
  void SetDataSet(TDataSet* aDataSet);

  const qdString& FieldName() const { return fFieldName; }
  void SetFieldName(const qdString& aName);
  // No object fields here: the full name is the field name.
  const qdString& FullName() const { return fFieldName; }
  qdString DisplayName() const { return fDisplayLabel.empty() ? fFieldName : fDisplayLabel; }
  const qdString& DisplayLabel() const { return fDisplayLabel; }
  void SetDisplayLabel(const qdString& aLabel) { fDisplayLabel = aLabel; }
  // Data fields 1-based; calculated fields -1, -2, ... once bound.
  int32_t FieldNo() const { return fFieldNo; }
  TFieldType DataType() const { return fDataType; }
  int32_t Size() const { return fSize; }
  virtual void SetSize(int32_t aSize);
  int32_t DataSize() const { return FieldDataSize(fDataType, fSize); }
  TFieldKind FieldKind() const { return fFieldKind; }
  void SetFieldKind(TFieldKind aKind);
  // Place of a calculated field's flag byte in the calculated-fields area.
  int32_t Offset() const { return fOffset; }
  bool ReadOnly() const { return fReadOnly; }
  void SetReadOnly(bool aValue) { fReadOnly = aValue; }
  bool Required() const { return fRequired; }
  void SetRequired(bool aValue) { fRequired = aValue; }
  bool Visible() const { return fVisible; }
  void SetVisible(bool aValue) { fVisible = aValue; }
  int32_t Index() const;
  bool Calculated() const { return fFieldKind != fkData; }
  bool IsBlob() const { return IsBlobFieldType(fDataType); }

  // The value in the current record (see TDataSet::GetFieldData).
  [[nodiscard]] bool GetData(void* aBuffer) const;
  void SetData(const void* aBuffer);
  bool IsNull() const;
  void Clear() { SetData(nullptr); }

  virtual TqdVariant AsVariant() const;
  virtual void SetVarValue(const TqdVariant& aValue);
  void SetAsVariant(const TqdVariant& aValue);
  virtual qdString AsString() const;
  virtual void SetAsString(const qdString& aValue);
  virtual qdAnsiString AsAnsiString() const;
  virtual void SetAsAnsiString(const qdAnsiString& aValue);
  int32_t AsInteger() const;
  void SetAsInteger(int32_t aValue);
  int64_t AsLargeInt() const;
  void SetAsLargeInt(int64_t aValue);
  double AsFloat() const;
  void SetAsFloat(double aValue);
  // Currency as a double, as the platform's field hands it out.
  double AsCurrency() const;
  void SetAsCurrency(double aValue);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool aValue);
  TDateTime AsDateTime() const;
  void SetAsDateTime(TDateTime aValue);
  TBcd AsBCD() const;
  void SetAsBCD(const TBcd& aValue);
  virtual std::vector<uint8_t> AsBytes() const;
  virtual void SetAsBytes(const std::vector<uint8_t>& aValue);
  // The text a control shows: OnGetText when assigned, else AsString.
  virtual qdString DisplayText() const;

  // Called by the dataset when it binds (true) or unbinds its fields.
  virtual void Bind(bool aBinding);
  // Before the dataset stores a new value (aBuffer: the value, nil = null).
  virtual void Validate(const void* aBuffer);
  // After the value changed.
  virtual void Change();
  void FocusControl();

  TFieldNotifyEvent OnValidate;
  TFieldNotifyEvent OnChange;
  std::function<void(TField* aSender, qdString& aText)> OnGetText;

 protected:
  [[noreturn]] void AccessError(qdStringView aTypeName) const;
  void CheckInactive() const;

 private:
  friend class TDataSet;
  friend class TFields;
  TDataSet* fDataSet = nullptr;
  qdString fFieldName;
  qdString fDisplayLabel;
  int32_t fFieldNo = 0;
  TFieldType fDataType;
  int32_t fSize = 0;
  TFieldKind fFieldKind = fkData;
  int32_t fOffset = 0;
  bool fReadOnly = false;
  bool fRequired = false;
  bool fVisible = true;
  bool fDefaultField = false;
};

// 8-bit text in the thread's ANSI code page, Size characters' room.
class TStringField : public TField {
 public:
  explicit TStringField(TDataSet* aDataSet, TFieldType aType = ftString);
  // Read by the engine's mappers: whether text crosses code pages.
  bool Transliterate() const { return fTransliterate; }
  void SetTransliterate(bool aValue) { fTransliterate = aValue; }
  bool FixedChar() const { return DataType() == ftFixedChar; }

 private:
  bool fTransliterate = true;
};
class TWideStringField : public TField {
 public:
  explicit TWideStringField(TDataSet* aDataSet) : TField(aDataSet, ftWideString) { SetSize(20); }
};
class TGuidField : public TStringField {
 public:
  explicit TGuidField(TDataSet* aDataSet);
  void SetSize(int32_t aSize) override;
};

// Integers of every width; the range of the type is checked on writing.
class TIntegerField : public TField {
 public:
  explicit TIntegerField(TDataSet* aDataSet, TFieldType aType = ftInteger) : TField(aDataSet, aType) {}
  void SetVarValue(const TqdVariant& aValue) override;
  int64_t MinValue() const;
  int64_t MaxValue() const;
};
class TSmallintField : public TIntegerField {
 public:
  explicit TSmallintField(TDataSet* aDataSet) : TIntegerField(aDataSet, ftSmallint) {}
};
class TShortintField : public TIntegerField {
 public:
  explicit TShortintField(TDataSet* aDataSet) : TIntegerField(aDataSet, ftShortint) {}
};
class TByteField : public TIntegerField {
 public:
  explicit TByteField(TDataSet* aDataSet) : TIntegerField(aDataSet, ftByte) {}
};
class TWordField : public TIntegerField {
 public:
  explicit TWordField(TDataSet* aDataSet) : TIntegerField(aDataSet, ftWord) {}
};
class TLongWordField : public TIntegerField {
 public:
  explicit TLongWordField(TDataSet* aDataSet, TFieldType aType = ftLongWord) : TIntegerField(aDataSet, aType) {}
};
class TAutoIncField : public TIntegerField {
 public:
  explicit TAutoIncField(TDataSet* aDataSet) : TIntegerField(aDataSet, ftAutoInc) {}
};
// An auto-increment field read as an unsigned 32-bit number.
class TUnsignedAutoIncField : public TLongWordField {
 public:
  explicit TUnsignedAutoIncField(TDataSet* aDataSet) : TLongWordField(aDataSet, ftAutoInc) {}
  TqdVariant AsVariant() const override;
  void SetVarValue(const TqdVariant& aValue) override;
};
class TLargeintField : public TIntegerField {
 public:
  explicit TLargeintField(TDataSet* aDataSet) : TIntegerField(aDataSet, ftLargeint) {}
};
class TFloatField : public TField {
 public:
  explicit TFloatField(TDataSet* aDataSet, TFieldType aType = ftFloat) : TField(aDataSet, aType) {}
};
class TCurrencyField : public TFloatField {
 public:
  explicit TCurrencyField(TDataSet* aDataSet) : TFloatField(aDataSet, ftCurrency) {}
};
class TSingleField : public TFloatField {
 public:
  explicit TSingleField(TDataSet* aDataSet) : TFloatField(aDataSet, ftSingle) {}
};
class TExtendedField : public TFloatField {
 public:
  explicit TExtendedField(TDataSet* aDataSet) : TFloatField(aDataSet, ftExtended) {}
};
class TBooleanField : public TField {
 public:
  explicit TBooleanField(TDataSet* aDataSet) : TField(aDataSet, ftBoolean) {}
  qdString AsString() const override;
  void SetAsString(const qdString& aValue) override;
};
class TDateTimeField : public TField {
 public:
  explicit TDateTimeField(TDataSet* aDataSet, TFieldType aType = ftDateTime) : TField(aDataSet, aType) {}
};
class TDateField : public TDateTimeField {
 public:
  explicit TDateField(TDataSet* aDataSet) : TDateTimeField(aDataSet, ftDate) {}
};
class TTimeField : public TDateTimeField {
 public:
  explicit TTimeField(TDataSet* aDataSet) : TDateTimeField(aDataSet, ftTime) {}
};
class TBCDField : public TField {
 public:
  explicit TBCDField(TDataSet* aDataSet, TFieldType aType = ftBCD) : TField(aDataSet, aType) {}
  int32_t Precision() const { return fPrecision; }
  void SetPrecision(int32_t aValue) { fPrecision = aValue; }

 private:
  int32_t fPrecision = 0;
};
class TFMTBCDField : public TBCDField {
 public:
  explicit TFMTBCDField(TDataSet* aDataSet) : TBCDField(aDataSet, ftFMTBcd) {}
};
class TBytesField : public TField {
 public:
  explicit TBytesField(TDataSet* aDataSet, TFieldType aType = ftBytes) : TField(aDataSet, aType) { SetSize(16); }
};
class TVarBytesField : public TBytesField {
 public:
  explicit TVarBytesField(TDataSet* aDataSet) : TBytesField(aDataSet, ftVarBytes) {}
};

// A BLOB field: the buffer holds the 8-byte BLOB number; the value itself
// is read and written through the dataset's BLOB streams.
class TBlobField : public TField {
 public:
  explicit TBlobField(TDataSet* aDataSet, TFieldType aType = ftBlob) : TField(aDataSet, aType) {}
  bool Modified() const { return fModified; }
  void SetModified(bool aValue) { fModified = aValue; }
  TqdVariant AsVariant() const override;
  void SetVarValue(const TqdVariant& aValue) override;
  qdString AsString() const override;
  void SetAsString(const qdString& aValue) override;
  qdAnsiString AsAnsiString() const override;
  void SetAsAnsiString(const qdAnsiString& aValue) override;
  std::vector<uint8_t> AsBytes() const override;
  void SetAsBytes(const std::vector<uint8_t>& aValue) override;
  int64_t BlobSize() const;
  void LoadFromStream(TStream* aStream);
  void SaveToStream(TStream* aStream) const;

 private:
  bool fModified = false;
};
class TMemoField : public TBlobField {
 public:
  explicit TMemoField(TDataSet* aDataSet, TFieldType aType = ftMemo) : TBlobField(aDataSet, aType) {}
};
class TWideMemoField : public TBlobField {
 public:
  explicit TWideMemoField(TDataSet* aDataSet) : TBlobField(aDataSet, ftWideMemo) {}
};
class TGraphicField : public TBlobField {
 public:
  explicit TGraphicField(TDataSet* aDataSet) : TBlobField(aDataSet, ftGraphic) {}
};

// A field whose value is a variant held by the field itself (no buffer
// bytes); subclasses compute it.
class TVariantField : public TField {
 public:
  explicit TVariantField(TDataSet* aDataSet) : TField(aDataSet, ftVariant) {}
  TqdVariant AsVariant() const override { return fValue; }
  void SetVarValue(const TqdVariant& aValue) override;

 private:
  TqdVariant fValue = TqdVariant::Null();
};

// Makes a field of a class for a dataset.
using TFieldClass = TField* (*)(TDataSet* aDataSet);
// The framework's class for each type (nil for types without one).
TFieldClass DefaultFieldClass(TFieldType aType);

// The fields of a dataset in order. The dataset owns them.
class TFields {
 public:
  explicit TFields(TDataSet* aDataSet) : fDataSet(aDataSet) {}
  int32_t Count() const { return static_cast<int32_t>(fList.size()); }
  TField* Fields(int32_t aIndex) const { return fList.at(static_cast<size_t>(aIndex)); }
  TField* operator[](int32_t aIndex) const { return Fields(aIndex); }
  TField* FindField(qdStringView aName) const;  // case-insensitive
  TField* FieldByName(qdStringView aName) const;
  TField* FieldByNumber(int32_t aFieldNo) const;
  int32_t IndexOf(const TField* aField) const;
  auto begin() const { return fList.begin(); }
  auto end() const { return fList.end(); }

 private:
  friend class TField;
  friend class TDataSet;
  TDataSet* fDataSet;
  std::vector<TField*> fList;
};

// --- Definitions ---------------------------------------------------------------

class TFieldDef {
 public:
  qdString Name;
  TFieldType DataType = ftUnknown;
  int32_t Size = 0;
  int32_t Precision = 0;
  TFieldAttributes Attributes = 0;
  int32_t FieldNo = 0;  // 1-based
  bool InternalCalcField = false;

  bool Required() const { return (Attributes & faRequired) != 0; }
  void SetRequired(bool aValue);
  // A field of the dataset's class for this type, named and sized as the
  // definition says.
  TField* CreateField(TDataSet* aDataSet) const;
};

class TFieldDefs {
 public:
  explicit TFieldDefs(TDataSet* aDataSet) : fDataSet(aDataSet) {}
  int32_t Count() const { return static_cast<int32_t>(fList.size()); }
  TFieldDef* Items(int32_t aIndex) const { return fList.at(static_cast<size_t>(aIndex)).get(); }
  TFieldDef* AddFieldDef();
  TFieldDef* Add(const qdString& aName, TFieldType aType, int32_t aSize = 0, bool aRequired = false);
  void Clear();
  int32_t IndexOf(qdStringView aName) const;
  TFieldDef* Find(qdStringView aName) const;  // raises when absent
  bool Updated() const { return fUpdated; }
  void SetUpdated(bool aValue) { fUpdated = aValue; }
  // Brings the definitions up to date (the dataset's InitFieldDefs).
  void Update();
  void BeginUpdate() { ++fUpdateCount; }
  void EndUpdate() { --fUpdateCount; }

 private:
  TDataSet* fDataSet;
  std::vector<std::unique_ptr<TFieldDef>> fList;
  bool fUpdated = false;
  int32_t fUpdateCount = 0;
};

class TIndexDef {
 public:
  qdString Name;
  qdString Fields;         // ";"-separated
  qdString CaseInsFields;  // ";"-separated
  qdString DescFields;     // ";"-separated
  TIndexOptions Options = 0;
};

class TIndexDefs {
 public:
  explicit TIndexDefs(TDataSet* aDataSet) : fDataSet(aDataSet) {}
  int32_t Count() const { return static_cast<int32_t>(fList.size()); }
  TIndexDef* Items(int32_t aIndex) const { return fList.at(static_cast<size_t>(aIndex)).get(); }
  TIndexDef* AddIndexDef();
  TIndexDef* Add(const qdString& aName, const qdString& aFields, TIndexOptions aOptions);
  void Clear() { fList.clear(); }
  int32_t IndexOf(qdStringView aName) const;
  TIndexDef* Find(qdStringView aName) const;  // raises when absent
  // The index whose fields are aFields, else the first one that starts with
  // them; with aCaseInsensitive only case-insensitive indexes count, without
  // only the others. Nil when none.
  TIndexDef* GetIndexForFields(qdStringView aFields, bool aCaseInsensitive) const;
  TIndexDef* FindIndexForFields(qdStringView aFields) const;  // raises when none
  bool Updated() const { return fUpdated; }
  void SetUpdated(bool aValue) { fUpdated = aValue; }
  // Brings the definitions up to date (the dataset's UpdateIndexDefs).
  void Update();

 private:
  TDataSet* fDataSet;
  std::vector<std::unique_ptr<TIndexDef>> fList;
  bool fUpdated = false;
};

// --- Parameters ----------------------------------------------------------------

class TParam {
 public:
  TParam() = default;
  TParam(qdString aName, TParamType aParamType, TFieldType aDataType = ftUnknown)
      : fName(std::move(aName)), fParamType(aParamType), fDataType(aDataType) {}

  const qdString& Name() const { return fName; }
  void SetName(const qdString& aName) { fName = aName; }
  TParamType ParamType() const { return fParamType; }
  void SetParamType(TParamType aValue) { fParamType = aValue; }
  TFieldType DataType() const { return fDataType; }
  void SetDataType(TFieldType aValue);
  int32_t Size() const { return fSize; }
  void SetSize(int32_t aValue) { fSize = aValue; }
  int32_t Precision() const { return fPrecision; }
  void SetPrecision(int32_t aValue) { fPrecision = aValue; }
  int32_t NumericScale() const { return fNumericScale; }
  void SetNumericScale(int32_t aValue) { fNumericScale = aValue; }
  bool Bound() const { return fBound; }
  void SetBound(bool aValue) { fBound = aValue; }

  const TqdVariant& Value() const { return fValue; }
  // Keeps the data type; an unknown type is taken from the value's kind.
  void SetValue(const TqdVariant& aValue);
  bool IsNull() const { return fValue.IsNull() || fValue.IsEmpty(); }
  void Clear() { fValue = TqdVariant::Null(); }

  qdString AsString() const;
  void SetAsString(const qdString& aValue);
  void SetAsWideString(const qdString& aValue);
  int32_t AsInteger() const;
  void SetAsInteger(int32_t aValue);
  void SetAsSmallInt(int16_t aValue);
  int64_t AsLargeInt() const;
  void SetAsLargeInt(int64_t aValue);
  double AsFloat() const;
  void SetAsFloat(double aValue);
  double AsCurrency() const;
  void SetAsCurrency(double aValue);
  TBcd AsBCD() const;
  void SetAsBCD(const TBcd& aValue);
  void SetAsFMTBCD(const TBcd& aValue);
  bool AsBoolean() const;
  void SetAsBoolean(bool aValue);
  TDateTime AsDateTime() const;
  void SetAsDateTime(TDateTime aValue);
  void SetAsDate(TDateTime aValue);
  void SetAsTime(TDateTime aValue);
  void SetAsBytes(const std::vector<uint8_t>& aValue);
  void SetAsMemo(const qdString& aValue);

  // Name, type and value of the field's current value.
  void AssignField(const TField* aField);
  void AssignFieldValue(const TField* aField, const TqdVariant& aValue);
  void Assign(const TParam& aSource);
  // The value in the field-buffer format of DataType (see the top of this
  // header); false (nothing written) for a null value.
  int32_t GetDataSize() const;
  [[nodiscard]] bool GetData(uint8_t* aBuffer) const;

 private:
  void SetTyped(TFieldType aType, TqdVariant aValue);
  qdString fName;
  TParamType fParamType = ptUnknown;
  TFieldType fDataType = ftUnknown;
  int32_t fSize = 0;
  int32_t fPrecision = 0;
  int32_t fNumericScale = 0;
  bool fBound = false;
  TqdVariant fValue = TqdVariant::Null();
};

class TParams {
 public:
  TParams() = default;
  TParams(const TParams& aOther) { Assign(aOther); }
  TParams& operator=(const TParams& aOther) {
    Assign(aOther);
    return *this;
  }
  int32_t Count() const { return static_cast<int32_t>(fList.size()); }
  TParam* Items(int32_t aIndex) const { return fList.at(static_cast<size_t>(aIndex)).get(); }
  TParam* operator[](int32_t aIndex) const { return Items(aIndex); }
  TParam* AddParam();
  TParam* CreateParam(TFieldType aType, const qdString& aName, TParamType aParamType);
  void Clear() { fList.clear(); }
  TParam* FindParam(qdStringView aName) const;    // case-insensitive; nil when absent
  TParam* ParamByName(qdStringView aName) const;  // raises when absent
  // Copies the values of the parameters with the same name; others stay.
  void AssignValues(const TParams& aSource);
  // Copies the whole list.
  void Assign(const TParams& aSource);

 private:
  std::vector<std::unique_ptr<TParam>> fList;
};

// --- Provider support --------------------------------------------------------------

// What a data provider asks of a dataset. The dataset answers with the
// defaults below; the engine datasets override what they support.
class IProviderSupport {
 public:
  virtual ~IProviderSupport() = default;
  virtual void PSStartTransaction() {}
  virtual void PSEndTransaction(bool /*aCommit*/) {}
  virtual bool PSInTransaction() { return false; }
  // Rows affected; with aResultSet the open result set (the caller owns it).
  virtual int32_t PSExecuteStatement(const qdString& aSQL, TParams* aParams);
  virtual int32_t PSExecuteStatement(const qdString& aSQL, TParams* aParams, TDataSet*& aResultSet);
  virtual int32_t PSExecuteStatement(const qdString& aSQL, TParams* aParams, TDataSet** aResultSet);
  virtual qdString PSGetQuoteChar() { return {}; }
  // A new update error for the exception (the caller owns it).
  virtual std::unique_ptr<EUpdateError> PSGetUpdateException(const std::exception_ptr& aError,
                                                             const EUpdateError* aPrevious);
  virtual bool PSIsSQLBased() { return false; }
  virtual bool PSIsSQLSupported() { return false; }
  virtual void PSReset() {}
  virtual qdString PSGetKeyFields() { return {}; }
  // A new copy the caller owns; nil when there is none.
  virtual std::unique_ptr<TIndexDef> PSGetDefaultOrder() { return nullptr; }
  virtual TIndexDefs* PSGetIndexDefs(TIndexOptions /*aOptions*/) { return nullptr; }
  virtual TParams* PSGetParams() { return nullptr; }
  virtual void PSSetParams(TParams* /*aParams*/) {}
  virtual qdString PSGetTableName() { return {}; }
  virtual void PSSetCommandText(const qdString& /*aCommandText*/) {}
  virtual void PSExecute();
};

// --- Dataset --------------------------------------------------------------------

class TDataSet;
using TDataSetNotifyEvent = std::function<void(TDataSet* aDataSet)>;
using TDataSetErrorEvent = std::function<void(TDataSet* aDataSet, EDatabaseError& aError, TDataAction& aAction)>;
using TFilterRecordEvent = std::function<void(TDataSet* aDataSet, bool& aAccept)>;

// The dataset's view of its record ring: the five ring values and the two
// flags, each a reference to the dataset's own member.
struct TqdPrivateBufferAccess {
  int32_t& FBufferCount;
  int32_t& FRecordCount;
  int32_t& FActiveRecord;
  int32_t& FCurrentRecord;
  std::vector<uint8_t*>& FBuffers;
  bool& FBOF;
  bool& FEOF;
};

class TDataSet : public TqdComponent, public IProviderSupport {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }

  explicit TDataSet(TqdComponent* aOwner);
  ~TDataSet() override;
  // Closes the dataset while the whole object still exists.
  void BeforeDestruction() override;

  // State and activity.
  TDataSetState State() const { return fState; }
  bool Active() const { return fState != dsInactive && fState != dsOpening; }
  virtual void SetActive(bool aValue);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool Modified() const { return fModified; }
  void SetModified(bool aValue) { fModified = aValue; }
  bool Bof() const { return fBOF; }
  bool Eof() const { return fEOF; }
  bool IsEmpty() const { return fActiveRecord >= fRecordCount; }
  bool IsUniDirectional() const { return fIsUniDirectional; }
  bool Found() const { return fFound; }
  bool CanModify() { return GetCanModify(); }
  virtual int32_t RecordCount() { return GetRecordCount(); }
  virtual int32_t RecNo() { return -1; }
  virtual void SetRecNo(int32_t /*aValue*/) {}
  virtual bool IsSequenced() { return false; }

  // Navigation.
  virtual void First();
  void Last();
  void Next();
  void Prior();
  virtual int32_t MoveBy(int32_t aDistance);
  virtual void Resync(TResyncMode aMode);
  void Refresh();
  bool FindFirst() { return SetFound(FindRecord(true, true)); }
  bool FindLast() { return SetFound(FindRecord(true, false)); }
  bool FindNext() { return SetFound(FindRecord(false, true)); }
  bool FindPrior() { return SetFound(FindRecord(false, false)); }

  // Editing.
  void Edit();
  void Insert();
  void Append();
  virtual void Post();
  void Cancel();
  void Delete();
  void InsertRecord(const std::vector<TqdVariant>& aValues);
  void AppendRecord(const std::vector<TqdVariant>& aValues);
  void CheckBrowseMode();
  // Sends the controls' pending edits into the record (data links update).
  void UpdateRecord();
  void ClearFields();

  // Controls.
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return fDisableCount != 0; }

  // Fields.
  TFields& Fields() { return fFields; }
  const TFields& Fields() const { return fFields; }
  int32_t FieldCount() const { return fFields.Count(); }
  TField* FindField(qdStringView aName) const { return fFields.FindField(aName); }
  TField* FieldByName(qdStringView aName) const { return fFields.FieldByName(aName); }
  // The fields named in a ";"-separated list, in its order; raises for a
  // name that is not a field.
  void GetFieldList(std::vector<TField*>& aList, qdStringView aFieldNames) const;
  TqdVariant FieldValues(qdStringView aFieldNames) const;
  TFieldDefs& FieldDefs() { return fFieldDefs; }
  TIndexDefs& IndexDefs() { return fIndexDefs; }
  bool DefaultFields() const { return fDefaultFields; }
  virtual TFieldClass GetFieldClass(TFieldType aType);
  // Field data of the current record in the field's buffer format; false
  // when the value is null (nothing is copied) or there is no record.
  virtual bool GetFieldData(const TField* aField, void* aBuffer);
  virtual void SetFieldData(TField* aField, const void* aBuffer);
  // The same with a byte array: at most its length is copied; an empty
  // array sets null.
  virtual bool GetFieldData(const TField* aField, std::vector<uint8_t>& aBuffer);
  virtual void SetFieldData(TField* aField, const std::vector<uint8_t>& aBuffer);
  // Frees what the BLOB field of the active record holds (nothing here).
  virtual void CloseBlob(TField* /*aField*/) {}
  // Reads the active record into aBuffer again; false when there is none.
  virtual bool GetCurrentRecord(uint8_t* /*aBuffer*/) { return false; }
  virtual std::unique_ptr<TStream> CreateBlobStream(TField* aField, TBlobStreamMode aMode);

  // Bookmarks.
  virtual TBookmark GetBookmark();
  void GotoBookmark(const TBookmark& aBookmark);
  virtual bool BookmarkValid(const TBookmark& /*aBookmark*/) { return false; }
  virtual int32_t CompareBookmarks(const TBookmark& aLeft, const TBookmark& aRight);

  // Filters, locate and lookup.
  const qdString& Filter() const { return fFilterText; }
  virtual void SetFilterText(const qdString& aValue) { fFilterText = aValue; }
  bool Filtered() const { return fFiltered; }
  virtual void SetFiltered(bool aValue) { fFiltered = aValue; }
  TFilterOptions FilterOptions() const { return fFilterOptions; }
  virtual void SetFilterOptions(TFilterOptions aValue) { fFilterOptions = aValue; }
  const TFilterRecordEvent& OnFilterRecord() const { return fOnFilterRecord; }
  virtual void SetOnFilterRecord(TFilterRecordEvent aValue) { fOnFilterRecord = std::move(aValue); }
  virtual bool Locate(qdStringView aKeyFields, const TqdVariant& aKeyValues, TLocateOptions aOptions);
  virtual TqdVariant Lookup(qdStringView aKeyFields, const TqdVariant& aKeyValues, qdStringView aResultFields);

  // Block read: a positive size reads forward without the ring.
  int32_t BlockReadSize() const { return fBlockReadSize; }
  virtual void SetBlockReadSize(int32_t aValue);

  // Links.
  // The data source of this dataset's master (nil when it has none).
  virtual TDataSource* GetDataSource() { return nullptr; }
  // True when aSource's dataset is this one or follows its master chain to
  // this one.
  bool IsLinkedTo(TDataSource* aSource);
  // Raises "Circular data link ..." when IsLinkedTo(aSource).
  void CheckNotLinkedTo(TDataSource* aSource);
  void GetDetailDataSets(std::vector<TDataSet*>& aList);
  virtual void DataEvent(TDataEvent aEvent, intptr_t aInfo);

  // Checks that raise the framework's errors.
  void CheckActive() const;
  void CheckInactive() const;
  void CheckBiDirectional() const;

  // Events.
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert, BeforeEdit, AfterEdit,
      BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete, AfterDelete, BeforeScroll, AfterScroll,
      BeforeRefresh, AfterRefresh, OnCalcFields, OnNewRecord;
  TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;

 protected:
  // Ring.
  TqdPrivateBufferAccess PrivateBufferAccess() {
    return {fBufferCount, fRecordCount, fActiveRecord, fCurrentRecord, fBuffers, fBOF, fEOF};
  }
  int32_t BufferCount() const { return fBufferCount; }
  void SetBufferCount(int32_t aValue);
  virtual void UpdateBufferCount();
  uint8_t* ActiveBuffer() const { return fRecordCount > 0 ? fBuffers[static_cast<size_t>(fActiveRecord)] : nullptr; }
  uint8_t* TempBuffer() const { return fTempBuffer; }
  uint8_t* CalcBuffer() const { return fCalcBuffer; }
  int32_t ActiveRecordIndex() const { return fActiveRecord; }
  void ActivateBuffers();
  void ClearBuffers();
  virtual bool GetNextRecord();
  virtual bool GetPriorRecord();
  virtual int32_t GetNextRecords();
  virtual int32_t GetPriorRecords();
  virtual void SetCurrentRecord(int32_t aIndex);
  void UpdateCursorPos();
  void CursorPosChanged() { fCurrentRecord = -1; }
  void SetUniDirectional(bool aValue) { fIsUniDirectional = aValue; }
  virtual void BlockReadNext();

  // Buffers and records.
  virtual uint8_t* AllocRecordBuffer();
  virtual void FreeRecordBuffer(uint8_t*& aBuffer);
  virtual uint16_t GetRecordSize() { return static_cast<uint16_t>(fDataSize); }
  int32_t CalcFieldsSize() const { return fCalcFieldsSize; }
  int32_t BookmarkSize() const { return fBookmarkSize; }
  void SetBookmarkSize(int32_t aValue) { fBookmarkSize = aValue; }
  virtual TGetResult GetRecord(uint8_t* aBuffer, TGetMode aGetMode, bool aDoCheck) = 0;
  virtual void InitRecord(uint8_t* aBuffer);
  virtual void InternalInitRecord(uint8_t* aBuffer);
  virtual void ClearCalcFields(uint8_t* aBuffer);
  virtual TBookmarkFlag GetBookmarkFlag(const uint8_t* aBuffer);
  virtual void SetBookmarkFlag(uint8_t* aBuffer, TBookmarkFlag aValue);
  virtual void GetBookmarkData(const uint8_t* aBuffer, TBookmark& aData);
  virtual void SetBookmarkData(uint8_t* aBuffer, const TBookmark& aData);
  // The buffer the field values of the current state come from (nil: none).
  virtual uint8_t* GetActiveRecBuf();
  virtual bool GetCanModify() { return true; }
  virtual int32_t GetRecordCount() { return -1; }
  virtual bool FindRecord(bool /*aRestart*/, bool /*aGoForward*/) { return false; }
  bool SetFound(bool aValue) {
    fFound = aValue;
    return aValue;
  }
  virtual void CheckFieldCompatibility(const TField* aField, const TFieldDef* aFieldDef);

  // Cursor steps a subclass implements.
  virtual bool IsCursorOpen() = 0;
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual void InternalHandleException() {}
  virtual void InternalInitFieldDefs() = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void InternalSetToRecord(uint8_t* aBuffer) = 0;
  virtual void InternalGotoBookmark(const TBookmark& aBookmark) = 0;
  virtual void InternalRefresh() {}
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalPost() {}
  virtual void InternalCancel() {}
  virtual void InternalDelete() = 0;
  virtual void InternalAddRecord(uint8_t* aBuffer, bool aAppend) = 0;
  virtual void OpenCursor(bool aInfoQuery);
  virtual void CloseCursor();
  // Framework helpers for InternalOpen/InternalClose.
  void InitFieldDefs();
  virtual void CreateFields();
  virtual void DestroyFields();
  virtual void BindFields(bool aBinding);
  virtual void FreeFieldBuffers() {}
  void CheckRequiredFields();

  // States and calculated fields.
  void SetState(TDataSetState aValue);
  TDataSetState SetTempState(TDataSetState aValue);
  void RestoreState(TDataSetState aValue);
  virtual void CalculateFields(uint8_t* aBuffer);
  void GetCalcFields(uint8_t* aBuffer);
  bool HasCalcFields() const { return fCalcFieldsSize > 0 || static_cast<bool>(OnCalcFields); }

  // The before/after steps; each runs its event.
  virtual void DoBeforeOpen() { Fire(BeforeOpen); }
  virtual void DoAfterOpen() { Fire(AfterOpen); }
  virtual void DoBeforeClose() { Fire(BeforeClose); }
  virtual void DoAfterClose() { Fire(AfterClose); }
  virtual void DoBeforeInsert() { Fire(BeforeInsert); }
  virtual void DoAfterInsert() { Fire(AfterInsert); }
  virtual void DoBeforeEdit() { Fire(BeforeEdit); }
  virtual void DoAfterEdit() { Fire(AfterEdit); }
  virtual void DoBeforePost() { Fire(BeforePost); }
  virtual void DoAfterPost() { Fire(AfterPost); }
  virtual void DoBeforeCancel() { Fire(BeforeCancel); }
  virtual void DoAfterCancel() { Fire(AfterCancel); }
  virtual void DoBeforeDelete() { Fire(BeforeDelete); }
  virtual void DoAfterDelete() { Fire(AfterDelete); }
  virtual void DoBeforeScroll() { Fire(BeforeScroll); }
  virtual void DoAfterScroll() { Fire(AfterScroll); }
  virtual void DoBeforeRefresh() { Fire(BeforeRefresh); }
  virtual void DoAfterRefresh() { Fire(AfterRefresh); }
  virtual void DoOnCalcFields() { Fire(OnCalcFields); }
  virtual void DoOnNewRecord() { Fire(OnNewRecord); }

  // Runs aOperation; a database error goes to aErrorEvent, which may retry
  // it, abort silently (EAbort) or let it propagate.
  void CheckOperation(const std::function<void()>& aOperation, const TDataSetErrorEvent& aErrorEvent);

  bool InternalOpenComplete() const { return fInternalOpenComplete; }
  // Where a field's flag byte and value lie in a record buffer of the
  // default layout (nil for a field the layout does not hold).
  uint8_t* FieldSlot(const TField* aField, uint8_t* aRecord) const;

 private:
  friend class TDataSource;
  friend class TDataLink;
  friend class TField;
  friend class TFieldDefs;
  friend class TDataSetStateGuard;
  void Fire(const TDataSetNotifyEvent& aEvent) {
    if (aEvent) aEvent(this);
  }
  void DoInternalOpen();
  void BeginInsertAppend();
  void EndInsertAppend();
  void AddRecord(const std::vector<TqdVariant>& aValues, bool aAppend);
  void AllocateBuffers(int32_t aCount);
  void FreeBuffers();
  void MoveBuffer(int32_t aFrom, int32_t aTo);
  void ComputeLayout();
  int32_t DataOffset(const TField* aField) const;

  TDataSetState fState = dsInactive;
  bool fModified = false;
  bool fBOF = true;
  bool fEOF = true;
  bool fFound = false;
  bool fIsUniDirectional = false;
  bool fDefaultFields = false;
  bool fInternalOpenComplete = false;
  int32_t fBufferCount = 0;
  int32_t fRecordCount = 0;
  int32_t fActiveRecord = 0;
  int32_t fCurrentRecord = -1;
  std::vector<uint8_t*> fBuffers;
  uint8_t* fTempBuffer = nullptr;
  uint8_t* fCalcBuffer = nullptr;
  int32_t fDataSize = 0;
  int32_t fCalcFieldsSize = 0;
  int32_t fBookmarkSize = 0;
  std::vector<int32_t> fDataOffsets;  // per field number (index 0 unused)
  int32_t fDisableCount = 0;
  TDataSetState fDisableState = dsInactive;
  int32_t fBlockReadSize = 0;
  qdString fFilterText;
  bool fFiltered = false;
  TFilterOptions fFilterOptions = 0;
  TFilterRecordEvent fOnFilterRecord;
  TFields fFields;
  TFieldDefs fFieldDefs;
  TIndexDefs fIndexDefs;
  std::vector<TDataSource*> fDataSources;
};

// A temporary state for the lifetime of the guard; the previous state comes
// back also when an exception leaves the scope.
class TDataSetStateGuard {
 public:
  TDataSetStateGuard(TDataSet* aDataSet, TDataSetState aState)
      : fDataSet(aDataSet), fSaved(aDataSet->SetTempState(aState)) {}
  ~TDataSetStateGuard() { fDataSet->RestoreState(fSaved); }
  TDataSetStateGuard(const TDataSetStateGuard&) = delete;
  TDataSetStateGuard& operator=(const TDataSetStateGuard&) = delete;

 private:
  TDataSet* fDataSet;
  TDataSetState fSaved;
};

// --- Data sources and links -----------------------------------------------------------

class TDataSource : public TqdComponent {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }

  explicit TDataSource(TqdComponent* aOwner);
  ~TDataSource() override;
  void BeforeDestruction() override;

  TDataSet* DataSet() const { return fDataSet; }
  void SetDataSet(TDataSet* aDataSet);
  bool Enabled() const { return fEnabled; }
  void SetEnabled(bool aValue);
  bool AutoEdit() const { return fAutoEdit; }
  void SetAutoEdit(bool aValue) { fAutoEdit = aValue; }
  TDataSetState State() const { return fState; }
  // Puts the dataset into edit mode when AutoEdit allows it.
  void Edit();
  // True when aDataSet's master chain reaches this source.
  bool IsLinkedTo(TDataSet* aDataSet) const;

  TDataSetNotifyEvent OnStateChange;  // the dataset given is the source's
  std::function<void(TDataSource* aSender, TField* aField)> OnDataChange;
  std::function<void(TDataSource* aSender)> OnUpdateData;

  void HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) override;

 private:
  friend class TDataSet;
  friend class TDataLink;
  void DataEvent(TDataEvent aEvent, intptr_t aInfo);
  void NotifyDataLinks(TDataEvent aEvent, intptr_t aInfo);
  void UpdateState();
  void AddDataLink(TDataLink* aLink);
  void RemoveDataLink(TDataLink* aLink);

  TDataSet* fDataSet = nullptr;
  bool fEnabled = true;
  bool fAutoEdit = true;
  TDataSetState fState = dsInactive;
  std::vector<TDataLink*> fDataLinks;
};

// The link of a control (or of a detail dataset) to a data source. The
// virtual steps are what the link hears of its dataset.
class TDataLink : public TqdObject {
 public:
  TDataLink() = default;
  ~TDataLink() override;
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return fDataSource; }
  virtual void SetDataSource(TDataSource* aSource);
  TDataSet* DataSet() const { return fDataSource != nullptr ? fDataSource->DataSet() : nullptr; }
  bool Active() const { return fActive; }
  bool Editing() const { return fEditing; }
  bool ReadOnly() const { return fReadOnly; }
  void SetReadOnly(bool aValue);
  // Records the link shows at once; the dataset keeps at least as many.
  int32_t BufferCount() const { return fBufferCount; }
  void SetBufferCount(int32_t aValue);
  // The dataset's active record relative to the first record the link shows.
  int32_t ActiveRecord() const;
  int32_t RecordCount() const;
  bool Edit();
  void UpdateRecord();

 protected:
  friend class TDataSource;
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int32_t /*aDistance*/) { DataSetChanged(); }
  virtual void EditingChanged() {}
  virtual void FocusControl(TField* /*aField*/) {}
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField* /*aField*/) {}
  virtual void UpdateData() {}
  virtual void DataEvent(TDataEvent aEvent, intptr_t aInfo);

 private:
  void UpdateState();
  void SetActive(bool aValue);
  void SetEditing(bool aValue);
  void UpdateRange();

  TDataSource* fDataSource = nullptr;
  bool fActive = false;
  bool fEditing = false;
  bool fReadOnly = false;
  bool fUpdating = false;
  int32_t fBufferCount = 1;
  int32_t fFirstRecord = 0;
};

// A link through which a master dataset reaches its detail dataset.
class TDetailDataLink : public TDataLink {
 public:
  virtual TDataSet* DetailDataSet() const { return nullptr; }
};

// The link of a detail dataset to its master: resolves the master fields
// named in FieldNames and tells the detail when the master moves to another
// record or changes a link field (OnMasterChange) and when it closes or no
// link field is left (OnMasterDisable).
class TMasterDataLink : public TDetailDataLink {
 public:
  explicit TMasterDataLink(TDataSet* aDataSet) : fDataSet(aDataSet) {}
  TDataSet* DetailDataSet() const override { return fDataSet; }
  // Refuses a source whose dataset is, or leads back to, the detail.
  void SetDataSource(TDataSource* aSource) override;
  const qdString& FieldNames() const { return fFieldNames; }
  void SetFieldNames(const qdString& aValue);
  const std::vector<TField*>& Fields() const { return fFields; }

  TDataSetNotifyEvent OnMasterChange;   // called with the detail
  TDataSetNotifyEvent OnMasterDisable;  // called with the detail

 protected:
  void ActiveChanged() override;
  void CheckBrowseMode() override;
  void LayoutChanged() override;
  void RecordChanged(TField* aField) override;

 private:
  TDataSet* fDataSet;
  qdString fFieldNames;
  std::vector<TField*> fFields;
};

}  // namespace qd
