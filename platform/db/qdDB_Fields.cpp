// Fields: buffer formats, the field classes and the field list.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "foundation/qdllUtils.h"
#include "platform/db/qdDB.h"
#include "platform/db/qdDBConsts.h"
#include "platform/qdDateTime.h"
#include "platform/qdExtended.h"
#include "platform/qdFormat.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdMath.h"
#include "platform/qdNls.h"

namespace qd {

namespace {

using namespace dbconsts;

// The code page of 8-bit field text: the calling thread's ANSI code page.
uint32_t fieldCodePage() {
  const int32_t codePage = qdThreadLocaleAnsiCodePage();
  return codePage > 0 ? static_cast<uint32_t>(codePage) : CP_ACP;
}

std::string encodeAnsi(const TqdVariant& aValue) {
  if (aValue.VarType() == varString) return aValue.AsAnsiString();
  std::string bytes;
  if (!qdEncodeCodePage(fieldCodePage(), aValue.AsString(), bytes)) throw EConvertError(u"Text conversion failed");
  return bytes;
}

qdString decodeAnsi(std::string_view aBytes) {
  qdString text;
  if (!aBytes.empty() && !qdDecodeCodePage(fieldCodePage(), aBytes, text))
    throw EConvertError(u"Text conversion failed");
  return text;
}

template <class T>
T checkedIntegral(const TqdVariant& aValue) {
  const int64_t value = aValue.AsInt64();
  if (value < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
      value > static_cast<int64_t>(std::numeric_limits<T>::max()))
    throw ERangeError(u"Range check error");
  return static_cast<T>(value);
}

TTimeStamp timeStampOf(const TqdVariant& aValue) { return DateTimeToTimeStamp(aValue.AsDateTime()); }

}  // namespace

qdString FieldTypeName(TFieldType aType) {
  static constexpr const char16_t* kNames[kFieldTypeCount] = {
      u"Unknown",    u"String",          u"SmallInt",      u"Integer",     u"Word",         u"Boolean",
      u"Float",      u"Currency",        u"BCD",           u"Date",        u"Time",         u"DateTime",
      u"Bytes",      u"VarBytes",        u"AutoInc",       u"Blob",        u"Memo",         u"Graphic",
      u"FmtMemo",    u"ParadoxOle",      u"DBaseOle",      u"TypedBinary", u"Cursor",       u"FixedChar",
      u"WideString", u"Largeint",        u"ADT",           u"Array",       u"Reference",    u"DataSet",
      u"OraBlob",    u"OraClob",         u"Variant",       u"Interface",   u"IDispatch",    u"Guid",
      u"TimeStamp",  u"FMTBcd",          u"FixedWideChar", u"WideMemo",    u"OraTimeStamp", u"OraInterval",
      u"LongWord",   u"Shortint",        u"Byte",          u"Extended",    u"Connection",   u"Params",
      u"Stream",     u"TimeStampOffset", u"Object",        u"Single"};
  return aType < kFieldTypeCount ? qdString(kNames[aType]) : qdString(u"Unknown");
}

bool DBSameText(qdStringView aLeft, qdStringView aRight) {
  return aLeft.size() == aRight.size() && qdUpperCase(aLeft) == qdUpperCase(aRight);
}

bool IsBlobFieldType(TFieldType aType) {
  switch (aType) {
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob:
    case ftOraClob:
    case ftWideMemo:
      return true;
    default:
      return false;
  }
}

// --- Buffer formats -------------------------------------------------------------

int32_t FieldDataSize(TFieldType aType, int32_t aSize) {
  switch (aType) {
    case ftString:
    case ftFixedChar:
    case ftGuid:
      return aSize + 1;
    case ftWideString:
    case ftFixedWideChar:
      return (aSize + 1) * 2;
    case ftShortint:
    case ftByte:
      return 1;
    case ftSmallint:
    case ftWord:
    case ftBoolean:
      return 2;
    case ftInteger:
    case ftLongWord:
    case ftAutoInc:
    case ftDate:
    case ftTime:
    case ftSingle:
      return 4;
    case ftLargeint:
    case ftFloat:
    case ftCurrency:
    case ftDateTime:
    case ftTimeStamp:
      return 8;
    case ftExtended:
      return 10;
    case ftBCD:
    case ftFMTBcd:
      return static_cast<int32_t>(sizeof(TBcd::Bytes));
    case ftBytes:
      return aSize;
    case ftVarBytes:
      return aSize + 2;
    default:
      return IsBlobFieldType(aType) ? 8 : 0;
  }
}

void ValueToFieldBuffer(TFieldType aType, int32_t aSize, const TqdVariant& aValue, uint8_t* aBuffer) {
  switch (aType) {
    case ftString:
    case ftFixedChar:
    case ftGuid: {
      const std::string bytes = encodeAnsi(aValue);
      const size_t n = qdCharBoundaryLength(fieldCodePage(), bytes, static_cast<size_t>(aSize));
      std::memset(aBuffer, 0, static_cast<size_t>(aSize) + 1);
      std::memcpy(aBuffer, bytes.data(), n);
      return;
    }
    case ftWideString:
    case ftFixedWideChar: {
      const qdString text = aValue.AsString();
      const size_t n = std::min(text.size(), static_cast<size_t>(aSize));
      for (size_t i = 0; i < n; ++i) qdPutLE<uint16_t>(aBuffer + 2 * i, text[i]);
      qdPutLE<uint16_t>(aBuffer + 2 * n, 0);
      return;
    }
    case ftShortint:
      qdPutLE<int8_t>(aBuffer, checkedIntegral<int8_t>(aValue));
      return;
    case ftByte:
      qdPutLE<uint8_t>(aBuffer, checkedIntegral<uint8_t>(aValue));
      return;
    case ftSmallint:
      qdPutLE<int16_t>(aBuffer, checkedIntegral<int16_t>(aValue));
      return;
    case ftWord:
      qdPutLE<uint16_t>(aBuffer, checkedIntegral<uint16_t>(aValue));
      return;
    case ftInteger:
    case ftAutoInc:
      qdPutLE<int32_t>(aBuffer, checkedIntegral<int32_t>(aValue));
      return;
    case ftLongWord:
      qdPutLE<uint32_t>(aBuffer, checkedIntegral<uint32_t>(aValue));
      return;
    case ftLargeint:
      qdPutLE<int64_t>(aBuffer, aValue.AsInt64());
      return;
    case ftBoolean:
      qdPutLE<int16_t>(aBuffer, aValue.AsBoolean() ? -1 : 0);
      return;
    case ftFloat:
    case ftCurrency:
      qdPutLE<double>(aBuffer, aValue.AsDouble());
      return;
    case ftSingle:
      qdPutLE<float>(aBuffer, aValue.AsSingle());
      return;
    case ftExtended: {
      const TqdExtended value = qdDoubleToExtended(aValue.AsDouble());
      std::memcpy(aBuffer, value.Bytes.data(), value.Bytes.size());
      return;
    }
    case ftDate:
      qdPutLE<int32_t>(aBuffer, timeStampOf(aValue).Date);
      return;
    case ftTime:
      qdPutLE<int32_t>(aBuffer, timeStampOf(aValue).Time);
      return;
    case ftDateTime:
    case ftTimeStamp:
      qdPutLE<double>(aBuffer, static_cast<double>(TimeStampToMSecs(timeStampOf(aValue))));
      return;
    case ftBCD:
    case ftFMTBcd: {
      const TBcd value = aValue.AsBcd();
      std::memcpy(aBuffer, value.Bytes.data(), value.Bytes.size());
      return;
    }
    case ftBytes:
    case ftVarBytes: {
      const std::vector<uint8_t> bytes = VarIsByteArray(aValue) ? aValue.Bytes() : [&] {
        const std::string ansi = encodeAnsi(aValue);
        return std::vector<uint8_t>(ansi.begin(), ansi.end());
      }();
      const size_t n = std::min(bytes.size(), static_cast<size_t>(aSize));
      uint8_t* data = aBuffer;
      if (aType == ftVarBytes) {
        qdPutLE<uint16_t>(aBuffer, static_cast<uint16_t>(n));
        data += 2;
      }
      std::memset(data, 0, static_cast<size_t>(aSize));
      if (n > 0) std::memcpy(data, bytes.data(), n);
      return;
    }
    default:
      if (IsBlobFieldType(aType)) {
        qdPutLE<int64_t>(aBuffer, aValue.AsInt64());
        return;
      }
      throw EConvertError(u"Field type " + FieldTypeName(aType) + u" has no buffer form");
  }
}

TqdVariant FieldBufferToValue(TFieldType aType, int32_t aSize, const uint8_t* aBuffer) {
  switch (aType) {
    case ftString:
    case ftFixedChar:
    case ftGuid: {
      const char* text = reinterpret_cast<const char*>(aBuffer);
      return decodeAnsi(std::string_view(text, strnlen(text, static_cast<size_t>(aSize) + 1)));
    }
    case ftWideString:
    case ftFixedWideChar: {
      qdString text;
      for (int32_t i = 0; i <= aSize; ++i) {
        const char16_t unit = qdGetLE<uint16_t>(aBuffer + 2 * i);
        if (unit == 0) break;
        text.push_back(unit);
      }
      return text;
    }
    case ftShortint:
      return qdGetLE<int8_t>(aBuffer);
    case ftByte:
      return qdGetLE<uint8_t>(aBuffer);
    case ftSmallint:
      return qdGetLE<int16_t>(aBuffer);
    case ftWord:
      return qdGetLE<uint16_t>(aBuffer);
    case ftInteger:
    case ftAutoInc:
      return qdGetLE<int32_t>(aBuffer);
    case ftLongWord:
      return qdGetLE<uint32_t>(aBuffer);
    case ftLargeint:
      return qdGetLE<int64_t>(aBuffer);
    case ftBoolean:
      return TqdVariant(qdGetLE<int16_t>(aBuffer) != 0);
    case ftFloat:
      return qdGetLE<double>(aBuffer);
    case ftCurrency: {
      TqdCurrency value;
      if (!qdTryDoubleToCurrency(qdGetLE<double>(aBuffer), value)) throw EConvertError(u"Currency out of range");
      return value;
    }
    case ftSingle:
      return qdGetLE<float>(aBuffer);
    case ftExtended: {
      TqdExtended value;
      std::memcpy(value.Bytes.data(), aBuffer, value.Bytes.size());
      return qdExtendedToDouble(value);
    }
    case ftDate:
      return TqdVariant::FromDate(TimeStampToDateTime(TTimeStamp{0, qdGetLE<int32_t>(aBuffer)}));
    case ftTime:
      return TqdVariant::FromDate(TimeStampToDateTime(TTimeStamp{qdGetLE<int32_t>(aBuffer), kDateDelta}));
    case ftDateTime:
    case ftTimeStamp: {
      const double ms = qdGetLE<double>(aBuffer);
      if (!std::isfinite(ms) || !qdFitsInt64(std::trunc(ms))) throw EConvertError(u"Invalid time stamp");
      return TqdVariant::FromDate(TimeStampToDateTime(MSecsToTimeStamp(qdRound(ms))));
    }
    case ftBCD:
    case ftFMTBcd: {
      TBcd value;
      std::memcpy(value.Bytes.data(), aBuffer, value.Bytes.size());
      return TqdVariant::FromBcd(value);
    }
    case ftBytes:
      return TqdVariant::FromBytes(std::vector<uint8_t>(aBuffer, aBuffer + aSize));
    case ftVarBytes: {
      const uint16_t n = std::min<uint16_t>(qdGetLE<uint16_t>(aBuffer), static_cast<uint16_t>(aSize));
      return TqdVariant::FromBytes(std::vector<uint8_t>(aBuffer + 2, aBuffer + 2 + n));
    }
    default:
      if (IsBlobFieldType(aType)) return qdGetLE<int64_t>(aBuffer);
      throw EConvertError(u"Field type " + FieldTypeName(aType) + u" has no buffer form");
  }
}

// --- TField -----------------------------------------------------------------------

TField::TField(TDataSet* aDataSet, TFieldType aDataType) : fDataType(aDataType) { SetDataSet(aDataSet); }

TField::~TField() {
  if (fDataSet != nullptr) {
    auto& list = fDataSet->fFields.fList;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

void TField::SetDataSet(TDataSet* aDataSet) {
  if (aDataSet == fDataSet) return;
  if (fDataSet != nullptr) {
    fDataSet->CheckInactive();
    auto& list = fDataSet->fFields.fList;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  if (aDataSet != nullptr) {
    aDataSet->CheckInactive();
    aDataSet->fFields.fList.push_back(this);
  }
  fDataSet = aDataSet;
}

void TField::SetFieldName(const qdString& aName) {
  CheckInactive();
  fFieldName = aName;
}

void TField::SetSize(int32_t aSize) {
  CheckInactive();
  fSize = aSize;
}

void TField::SetFieldKind(TFieldKind aKind) {
  CheckInactive();
  fFieldKind = aKind;
}

int32_t TField::Index() const { return fDataSet != nullptr ? fDataSet->fFields.IndexOf(this) : -1; }

void TField::CheckInactive() const {
  if (fDataSet != nullptr) fDataSet->CheckInactive();
}

bool TField::GetData(void* aBuffer) const {
  if (fDataSet == nullptr) DatabaseErrorFmt(SFieldNotFound, {fFieldName});
  return fDataSet->GetFieldData(this, aBuffer);
}

void TField::SetData(const void* aBuffer) {
  if (fDataSet == nullptr) DatabaseErrorFmt(SFieldNotFound, {fFieldName});
  fDataSet->SetFieldData(this, aBuffer);
}

bool TField::IsNull() const { return !GetData(nullptr); }

TqdVariant TField::AsVariant() const {
  std::vector<uint8_t> buffer(static_cast<size_t>(std::max(DataSize(), 1)));
  if (!GetData(buffer.data())) return TqdVariant::Null();
  return FieldBufferToValue(fDataType, fSize, buffer.data());
}

void TField::SetVarValue(const TqdVariant& aValue) {
  if (aValue.IsNull() || aValue.IsEmpty()) {
    Clear();
    return;
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(std::max(DataSize(), 1)));
  try {
    ValueToFieldBuffer(fDataType, fSize, aValue, buffer.data());
  } catch (const EDatabaseError&) {
    throw;
  } catch (const Exception&) {
    DatabaseErrorFmt(SFieldValueError, {DisplayName()});
  }
  SetData(buffer.data());
}

void TField::SetAsVariant(const TqdVariant& aValue) { SetVarValue(aValue); }

qdString TField::AsString() const {
  const TqdVariant value = AsVariant();
  return value.IsNull() ? qdString() : value.AsString();
}
void TField::SetAsString(const qdString& aValue) { SetVarValue(aValue); }

qdAnsiString TField::AsAnsiString() const {
  const TqdVariant value = AsVariant();
  return value.IsNull() ? qdAnsiString() : encodeAnsi(value);
}
void TField::SetAsAnsiString(const qdAnsiString& aValue) { SetVarValue(TqdVariant::FromAnsi(aValue)); }

int32_t TField::AsInteger() const {
  const TqdVariant value = AsVariant();
  return value.IsNull() ? 0 : value.AsInteger();
}
void TField::SetAsInteger(int32_t aValue) { SetVarValue(aValue); }

int64_t TField::AsLargeInt() const {
  const TqdVariant value = AsVariant();
  return value.IsNull() ? 0 : value.AsInt64();
}
void TField::SetAsLargeInt(int64_t aValue) { SetVarValue(aValue); }

double TField::AsFloat() const {
  const TqdVariant value = AsVariant();
  return value.IsNull() ? 0.0 : value.AsDouble();
}
void TField::SetAsFloat(double aValue) { SetVarValue(aValue); }

double TField::AsCurrency() const { return AsFloat(); }
void TField::SetAsCurrency(double aValue) {
  TqdCurrency value;
  if (!qdTryDoubleToCurrency(aValue, value)) DatabaseErrorFmt(SFieldValueError, {DisplayName()});
  SetVarValue(value);
}

bool TField::AsBoolean() const {
  const TqdVariant value = AsVariant();
  return !value.IsNull() && value.AsBoolean();
}
void TField::SetAsBoolean(bool aValue) { SetVarValue(aValue); }

TDateTime TField::AsDateTime() const {
  const TqdVariant value = AsVariant();
  return value.IsNull() ? 0.0 : value.AsDateTime();
}
void TField::SetAsDateTime(TDateTime aValue) { SetVarValue(TqdVariant::FromDate(aValue)); }

TBcd TField::AsBCD() const {
  const TqdVariant value = AsVariant();
  return (value.IsNull() ? TqdVariant(int32_t{0}) : value).AsBcd();
}
void TField::SetAsBCD(const TBcd& aValue) { SetVarValue(TqdVariant::FromBcd(aValue)); }

std::vector<uint8_t> TField::AsBytes() const {
  std::vector<uint8_t> buffer(static_cast<size_t>(DataSize()));
  if (!GetData(buffer.data())) return {};
  return buffer;
}
void TField::SetAsBytes(const std::vector<uint8_t>& aValue) { SetVarValue(TqdVariant::FromBytes(aValue)); }

qdString TField::DisplayText() const {
  qdString text = AsString();
  if (OnGetText) OnGetText(const_cast<TField*>(this), text);
  return text;
}

void TField::Bind(bool /*aBinding*/) {}

void TField::Validate(const void* /*aBuffer*/) {
  if (OnValidate) OnValidate(this);
}

void TField::Change() {
  if (OnChange) OnChange(this);
}

void TField::FocusControl() {
  if (fDataSet != nullptr && fDataSet->Active()) fDataSet->DataEvent(deFocusControl, reinterpret_cast<intptr_t>(this));
}

void TField::AccessError(qdStringView aTypeName) const {
  DatabaseErrorFmt(SFieldAccessError, {DisplayName(), aTypeName});
}

// --- Field classes -------------------------------------------------------------------

TStringField::TStringField(TDataSet* aDataSet, TFieldType aType) : TField(aDataSet, aType) { SetSize(20); }

TGuidField::TGuidField(TDataSet* aDataSet) : TStringField(aDataSet, ftGuid) { TField::SetSize(38); }

void TGuidField::SetSize(int32_t aSize) {
  // A GUID's registry text is always 38 characters.
  if (aSize != 38) DatabaseErrorFmt(SFieldValueError, {DisplayName()});
  TField::SetSize(aSize);
}

int64_t TIntegerField::MinValue() const {
  switch (DataType()) {
    case ftShortint:
      return INT8_MIN;
    case ftSmallint:
      return INT16_MIN;
    case ftByte:
    case ftWord:
    case ftLongWord:
      return 0;
    case ftLargeint:
      return INT64_MIN;
    default:
      return INT32_MIN;
  }
}

int64_t TIntegerField::MaxValue() const {
  switch (DataType()) {
    case ftShortint:
      return INT8_MAX;
    case ftSmallint:
      return INT16_MAX;
    case ftByte:
      return UINT8_MAX;
    case ftWord:
      return UINT16_MAX;
    case ftLongWord:
      return UINT32_MAX;
    case ftLargeint:
      return INT64_MAX;
    default:
      return INT32_MAX;
  }
}

void TIntegerField::SetVarValue(const TqdVariant& aValue) {
  if (!aValue.IsNull() && !aValue.IsEmpty()) {
    int64_t value = 0;
    try {
      value = aValue.AsInt64();
    } catch (const Exception&) {
      DatabaseErrorFmt(SFieldValueError, {DisplayName()});
    }
    if (value < MinValue() || value > MaxValue())
      DatabaseErrorFmt(SFieldRangeError, {value, DisplayName(), MinValue(), MaxValue()});
  }
  TField::SetVarValue(aValue);
}

TqdVariant TUnsignedAutoIncField::AsVariant() const {
  uint8_t buffer[4];
  if (!GetData(buffer)) return TqdVariant::Null();
  return static_cast<int64_t>(qdGetLE<uint32_t>(buffer));
}

void TUnsignedAutoIncField::SetVarValue(const TqdVariant& aValue) {
  if (aValue.IsNull() || aValue.IsEmpty()) {
    Clear();
    return;
  }
  const int64_t value = aValue.AsInt64();
  if (value < 0 || value > UINT32_MAX) DatabaseErrorFmt(SFieldRangeError, {value, DisplayName(), 0, UINT32_MAX});
  uint8_t buffer[4];
  qdPutLE<uint32_t>(buffer, static_cast<uint32_t>(value));
  SetData(buffer);
}

qdString TBooleanField::AsString() const {
  const TqdVariant value = AsVariant();
  return value.IsNull() ? qdString() : BoolToStr(value.AsBoolean(), true);
}

void TBooleanField::SetAsString(const qdString& aValue) {
  if (aValue.empty()) {
    Clear();
    return;
  }
  bool value = false;
  if (!TryStrToBool(aValue, value)) DatabaseErrorFmt(SFieldValueError, {DisplayName()});
  SetAsBoolean(value);
}

// BLOB values travel through the dataset's streams; the buffer keeps only
// the number.
std::vector<uint8_t> TBlobField::AsBytes() const {
  std::unique_ptr<TStream> stream = DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  if (!stream) DatabaseErrorFmt(SNotBlobStream, {DisplayName()});
  std::vector<uint8_t> bytes(static_cast<size_t>(stream->Size()));
  if (!bytes.empty()) stream->ReadBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
  return bytes;
}

void TBlobField::SetAsBytes(const std::vector<uint8_t>& aValue) {
  std::unique_ptr<TStream> stream = DataSet()->CreateBlobStream(this, bmWrite);
  if (!stream) DatabaseErrorFmt(SNotBlobStream, {DisplayName()});
  if (!aValue.empty()) stream->WriteBuffer(aValue.data(), static_cast<int32_t>(aValue.size()));
}

qdAnsiString TBlobField::AsAnsiString() const {
  const std::vector<uint8_t> bytes = AsBytes();
  return qdAnsiString(bytes.begin(), bytes.end());
}

void TBlobField::SetAsAnsiString(const qdAnsiString& aValue) {
  SetAsBytes(std::vector<uint8_t>(aValue.begin(), aValue.end()));
}

qdString TBlobField::AsString() const {
  const std::vector<uint8_t> bytes = AsBytes();
  if (DataType() == ftWideMemo) {
    qdString text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = qdGetLE<uint16_t>(bytes.data() + 2 * i);
    return text;
  }
  return decodeAnsi(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void TBlobField::SetAsString(const qdString& aValue) {
  if (DataType() == ftWideMemo) {
    std::vector<uint8_t> bytes(aValue.size() * 2);
    for (size_t i = 0; i < aValue.size(); ++i) qdPutLE<uint16_t>(bytes.data() + 2 * i, aValue[i]);
    SetAsBytes(bytes);
    return;
  }
  const std::string bytes = encodeAnsi(aValue);
  SetAsBytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

TqdVariant TBlobField::AsVariant() const {
  if (IsNull()) return TqdVariant::Null();
  if (DataType() == ftMemo || DataType() == ftWideMemo || DataType() == ftFmtMemo) return AsString();
  return TqdVariant::FromBytes(AsBytes());
}

void TBlobField::SetVarValue(const TqdVariant& aValue) {
  if (aValue.IsNull() || aValue.IsEmpty()) {
    Clear();
    return;
  }
  if (VarIsByteArray(aValue))
    SetAsBytes(aValue.Bytes());
  else
    SetAsString(aValue.AsString());
}

int64_t TBlobField::BlobSize() const {
  if (IsNull()) return 0;
  std::unique_ptr<TStream> stream = DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  return stream ? stream->Size() : 0;
}

void TBlobField::LoadFromStream(TStream* aStream) {
  std::unique_ptr<TStream> stream = DataSet()->CreateBlobStream(this, bmWrite);
  if (!stream) DatabaseErrorFmt(SNotBlobStream, {DisplayName()});
  stream->CopyFrom(aStream, 0);
}

void TBlobField::SaveToStream(TStream* aStream) const {
  std::unique_ptr<TStream> stream = DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  if (!stream) DatabaseErrorFmt(SNotBlobStream, {DisplayName()});
  aStream->CopyFrom(stream.get(), 0);
}

void TVariantField::SetVarValue(const TqdVariant& aValue) {
  Validate(nullptr);
  fValue = aValue.IsEmpty() ? TqdVariant::Null() : aValue;
  if (DataSet() != nullptr && DataSet()->Active())
    DataSet()->DataEvent(deFieldChange, reinterpret_cast<intptr_t>(this));
}

namespace {
template <class F>
TField* make(TDataSet* aDataSet) {
  return new F(aDataSet);
}
}  // namespace

TFieldClass DefaultFieldClass(TFieldType aType) {
  switch (aType) {
    case ftString:
    case ftFixedChar:
      return [](TDataSet* aDataSet) -> TField* { return new TStringField(aDataSet); };
    case ftWideString:
    case ftFixedWideChar:
      return make<TWideStringField>;
    case ftGuid:
      return make<TGuidField>;
    case ftSmallint:
      return make<TSmallintField>;
    case ftShortint:
      return make<TShortintField>;
    case ftByte:
      return make<TByteField>;
    case ftWord:
      return make<TWordField>;
    case ftInteger:
      return make<TIntegerField>;
    case ftLongWord:
      return make<TLongWordField>;
    case ftAutoInc:
      return make<TAutoIncField>;
    case ftLargeint:
      return make<TLargeintField>;
    case ftFloat:
      return make<TFloatField>;
    case ftCurrency:
      return make<TCurrencyField>;
    case ftSingle:
      return make<TSingleField>;
    case ftExtended:
      return make<TExtendedField>;
    case ftBoolean:
      return make<TBooleanField>;
    case ftDate:
      return make<TDateField>;
    case ftTime:
      return make<TTimeField>;
    case ftDateTime:
    case ftTimeStamp:
      return make<TDateTimeField>;
    case ftBCD:
      return make<TBCDField>;
    case ftFMTBcd:
      return make<TFMTBCDField>;
    case ftBytes:
      return make<TBytesField>;
    case ftVarBytes:
      return make<TVarBytesField>;
    case ftBlob:
    case ftTypedBinary:
    case ftParadoxOle:
    case ftDBaseOle:
      return make<TBlobField>;
    case ftMemo:
    case ftFmtMemo:
      return make<TMemoField>;
    case ftWideMemo:
      return make<TWideMemoField>;
    case ftGraphic:
      return make<TGraphicField>;
    case ftVariant:
      return make<TVariantField>;
    default:
      return nullptr;
  }
}

// --- TFields -------------------------------------------------------------------------

TField* TFields::FindField(qdStringView aName) const {
  for (TField* field : fList)
    if (DBSameText(field->FieldName(), aName)) return field;
  return nullptr;
}

TField* TFields::FieldByName(qdStringView aName) const {
  TField* field = FindField(aName);
  if (field == nullptr) DatabaseErrorFmt(SFieldNotFound, {aName}, fDataSet);
  return field;
}

TField* TFields::FieldByNumber(int32_t aFieldNo) const {
  for (TField* field : fList)
    if (field->FieldNo() == aFieldNo) return field;
  return nullptr;
}

int32_t TFields::IndexOf(const TField* aField) const {
  const auto it = std::find(fList.begin(), fList.end(), aField);
  return it == fList.end() ? -1 : static_cast<int32_t>(it - fList.begin());
}

}  // namespace qd
