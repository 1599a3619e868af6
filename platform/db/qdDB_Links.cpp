// Data sources, data links, master links, and the definitions and
// parameters of a dataset.
#include <algorithm>

#include "foundation/qdllUtils.h"
#include "platform/db/qdDB.h"
#include "platform/db/qdDBConsts.h"
#include "platform/qdFormat.h"
#include "platform/qdNls.h"

namespace qd {

using namespace dbconsts;

namespace {

bool editModes(TDataSetState aState) { return aState == dsEdit || aState == dsInsert || aState == dsSetKey; }

// The ";"-separated names of a list, blanks around each name removed.
std::vector<qdString> splitNames(qdStringView aNames) {
  std::vector<qdString> names;
  size_t start = 0;
  while (start <= aNames.size()) {
    size_t end = aNames.find(u';', start);
    if (end == qdStringView::npos) end = aNames.size();
    qdStringView name = aNames.substr(start, end - start);
    while (!name.empty() && name.front() <= u' ') name.remove_prefix(1);
    while (!name.empty() && name.back() <= u' ') name.remove_suffix(1);
    if (!name.empty()) names.emplace_back(name);
    start = end + 1;
  }
  return names;
}

bool sameNames(const std::vector<qdString>& aLeft, const std::vector<qdString>& aRight, size_t aCount) {
  if (aLeft.size() < aCount || aRight.size() < aCount) return false;
  for (size_t i = 0; i < aCount; ++i)
    if (!DBSameText(aLeft[i], aRight[i])) return false;
  return true;
}

}  // namespace

// --- TDataSource -----------------------------------------------------------------------

const TqdComponentClass TDataSource::ClassInfo{{u"TDataSource", &TqdComponent::ClassInfo, nullptr}, nullptr, nullptr};

TDataSource::TDataSource(TqdComponent* aOwner) : TqdComponent(aOwner) {}

TDataSource::~TDataSource() {
  for (TDataLink* link : fDataLinks) link->fDataSource = nullptr;
  if (fDataSet != nullptr) {
    auto& sources = fDataSet->fDataSources;
    sources.erase(std::remove(sources.begin(), sources.end(), this), sources.end());
  }
}

void TDataSource::BeforeDestruction() {
  if (!IsDestroying()) {
    // Links hear that their source went inactive before it goes.
    const std::vector<TDataLink*> links = fDataLinks;
    for (TDataLink* link : links) link->SetDataSource(nullptr);
    SetDataSet(nullptr);
  }
  TqdComponent::BeforeDestruction();
}

void TDataSource::SetDataSet(TDataSet* aDataSet) {
  if (aDataSet == fDataSet) return;
  if (fDataSet != nullptr) {
    auto& sources = fDataSet->fDataSources;
    sources.erase(std::remove(sources.begin(), sources.end(), this), sources.end());
    RemoveDependency(fDataSet);
  }
  fDataSet = aDataSet;
  if (fDataSet != nullptr) {
    fDataSet->fDataSources.push_back(this);
    AddDependency(fDataSet);
    fDataSet->UpdateBufferCount();
  }
  UpdateState();
}

void TDataSource::HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) {
  if (aOperation == qdnoFree && aSender == fDataSet && fDataSet != nullptr) {
    auto& sources = fDataSet->fDataSources;
    sources.erase(std::remove(sources.begin(), sources.end(), this), sources.end());
    fDataSet = nullptr;
    UpdateState();
  }
  TqdComponent::HandleNotification(aSender, aOperation, aData);
}

void TDataSource::SetEnabled(bool aValue) {
  if (aValue == fEnabled) return;
  fEnabled = aValue;
  UpdateState();
}

void TDataSource::Edit() {
  if (fAutoEdit && fState == dsBrowse && fDataSet != nullptr) fDataSet->Edit();
}

bool TDataSource::IsLinkedTo(TDataSet* aDataSet) const {
  std::vector<TDataSet*> seen;
  while (aDataSet != nullptr) {
    TDataSource* source = aDataSet->GetDataSource();
    if (source == nullptr) return false;
    if (source == this) return true;
    if (std::find(seen.begin(), seen.end(), aDataSet) != seen.end()) return true;
    seen.push_back(aDataSet);
    aDataSet = source->DataSet();
  }
  return false;
}

void TDataSource::UpdateState() {
  const TDataSetState state = fEnabled && fDataSet != nullptr ? fDataSet->State() : dsInactive;
  if (state != fState) {
    fState = state;
    const std::vector<TDataLink*> links = fDataLinks;
    for (TDataLink* link : links) link->UpdateState();
    if (OnStateChange) OnStateChange(fDataSet);
  }
}

void TDataSource::DataEvent(TDataEvent aEvent, intptr_t aInfo) {
  if (aEvent == deUpdateState) {
    UpdateState();
    return;
  }
  if (fState == dsInactive) return;
  NotifyDataLinks(aEvent, aInfo);
  switch (aEvent) {
    case deFieldChange:
      if (OnDataChange) OnDataChange(this, reinterpret_cast<TField*>(aInfo));
      break;
    case deRecordChange:
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(this);
      break;
    default:
      break;
  }
}

void TDataSource::NotifyDataLinks(TDataEvent aEvent, intptr_t aInfo) {
  const std::vector<TDataLink*> links = fDataLinks;
  for (TDataLink* link : links)
    if (std::find(fDataLinks.begin(), fDataLinks.end(), link) != fDataLinks.end()) link->DataEvent(aEvent, aInfo);
}

void TDataSource::AddDataLink(TDataLink* aLink) {
  fDataLinks.push_back(aLink);
  if (fDataSet != nullptr) fDataSet->UpdateBufferCount();
}

void TDataSource::RemoveDataLink(TDataLink* aLink) {
  fDataLinks.erase(std::remove(fDataLinks.begin(), fDataLinks.end(), aLink), fDataLinks.end());
  if (fDataSet != nullptr) fDataSet->UpdateBufferCount();
}

// --- TDataLink -----------------------------------------------------------------------------

TDataLink::~TDataLink() {
  if (fDataSource != nullptr) fDataSource->RemoveDataLink(this);
}

void TDataLink::SetDataSource(TDataSource* aSource) {
  if (aSource == fDataSource) return;
  if (fDataSource != nullptr) fDataSource->RemoveDataLink(this);
  fDataSource = aSource;
  if (fDataSource != nullptr) fDataSource->AddDataLink(this);
  UpdateState();
}

void TDataLink::SetReadOnly(bool aValue) {
  if (aValue == fReadOnly) return;
  fReadOnly = aValue;
  UpdateState();
}

void TDataLink::SetBufferCount(int32_t aValue) {
  if (aValue < 1) aValue = 1;
  if (aValue == fBufferCount) return;
  fBufferCount = aValue;
  if (TDataSet* dataSet = DataSet()) dataSet->UpdateBufferCount();
  UpdateRange();
}

int32_t TDataLink::ActiveRecord() const {
  const TDataSet* dataSet = DataSet();
  return fActive && dataSet != nullptr ? dataSet->fActiveRecord - fFirstRecord : 0;
}

int32_t TDataLink::RecordCount() const {
  const TDataSet* dataSet = DataSet();
  if (!fActive || dataSet == nullptr) return 0;
  return std::min(fBufferCount, dataSet->fRecordCount - fFirstRecord);
}

bool TDataLink::Edit() {
  if (!fReadOnly && fDataSource != nullptr) fDataSource->Edit();
  return fEditing;
}

void TDataLink::UpdateRecord() {
  fUpdating = true;
  try {
    UpdateData();
  } catch (...) {
    fUpdating = false;
    throw;
  }
  fUpdating = false;
}

void TDataLink::UpdateState() {
  // Active only once the dataset is: a dataset that is opening is not yet.
  const bool active = fDataSource != nullptr && fDataSource->Enabled() && fDataSource->DataSet() != nullptr &&
                      fDataSource->DataSet()->Active();
  SetActive(active);
  SetEditing(active && editModes(fDataSource->State()) && !fReadOnly);
}

void TDataLink::SetActive(bool aValue) {
  if (aValue == fActive) return;
  fActive = aValue;
  fFirstRecord = 0;
  if (fActive) UpdateRange();
  ActiveChanged();
}

void TDataLink::SetEditing(bool aValue) {
  if (aValue == fEditing) return;
  fEditing = aValue;
  EditingChanged();
}

// Keeps the dataset's active record inside the window the link shows.
void TDataLink::UpdateRange() {
  const TDataSet* dataSet = DataSet();
  if (!fActive || dataSet == nullptr) return;
  const int32_t active = dataSet->fActiveRecord;
  if (active < fFirstRecord) fFirstRecord = active;
  if (active >= fFirstRecord + fBufferCount) fFirstRecord = active - fBufferCount + 1;
  fFirstRecord = std::max(0, std::min(fFirstRecord, std::max(0, dataSet->fRecordCount - fBufferCount)));
  if (active < fFirstRecord) fFirstRecord = active;
}

void TDataLink::DataEvent(TDataEvent aEvent, intptr_t aInfo) {
  switch (aEvent) {
    case deFieldChange:
    case deRecordChange:
      if (!fUpdating) RecordChanged(reinterpret_cast<TField*>(aInfo));
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange: {
      const int32_t oldFirst = fFirstRecord;
      UpdateRange();
      if (aEvent == deDataSetScroll)
        DataSetScrolled(static_cast<int32_t>(aInfo) + (oldFirst - fFirstRecord));
      else if (aEvent == deLayoutChange)
        LayoutChanged();
      else
        DataSetChanged();
      break;
    }
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case deFocusControl:
      FocusControl(reinterpret_cast<TField*>(aInfo));
      break;
    default:
      break;
  }
}

// --- Master links --------------------------------------------------------------------------

void TMasterDataLink::SetDataSource(TDataSource* aSource) {
  if (fDataSet != nullptr) fDataSet->CheckNotLinkedTo(aSource);
  TDetailDataLink::SetDataSource(aSource);
}

void TMasterDataLink::SetFieldNames(const qdString& aValue) {
  if (aValue == fFieldNames) return;
  fFieldNames = aValue;
  ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
  fFields.clear();
  if (Active()) {
    try {
      DataSet()->GetFieldList(fFields, fFieldNames);
    } catch (...) {
      fFields.clear();
      throw;
    }
  }
  // A closed detail has nothing to follow.
  if (fDataSet == nullptr || fDataSet->IsDestroying() || !fDataSet->Active()) return;
  if (Active() && !fFields.empty()) {
    if (OnMasterChange) OnMasterChange(fDataSet);
  } else if (OnMasterDisable) {
    OnMasterDisable(fDataSet);
  }
}

void TMasterDataLink::CheckBrowseMode() {
  if (fDataSet != nullptr && fDataSet->Active()) fDataSet->CheckBrowseMode();
}

void TMasterDataLink::LayoutChanged() { ActiveChanged(); }

void TMasterDataLink::RecordChanged(TField* aField) {
  if (DataSource() == nullptr || DataSource()->State() == dsSetKey || fFields.empty() || fDataSet == nullptr ||
      !fDataSet->Active())
    return;
  if (aField != nullptr && std::find(fFields.begin(), fFields.end(), aField) == fFields.end()) return;
  if (OnMasterChange) OnMasterChange(fDataSet);
}

// --- Field definitions -----------------------------------------------------------------

void TFieldDef::SetRequired(bool aValue) {
  Attributes = aValue ? static_cast<TFieldAttributes>(Attributes | faRequired)
                      : static_cast<TFieldAttributes>(Attributes & ~faRequired);
}

TField* TFieldDef::CreateField(TDataSet* aDataSet) const {
  const TFieldClass factory = aDataSet->GetFieldClass(DataType);
  if (factory == nullptr) return nullptr;
  TField* field = factory(aDataSet);
  try {
    field->SetFieldName(Name);
    switch (DataType) {
      case ftString:
      case ftFixedChar:
      case ftWideString:
      case ftFixedWideChar:
      case ftBytes:
      case ftVarBytes:
        field->SetSize(Size);
        break;
      default:
        break;
    }
    if (auto* bcd = dynamic_cast<TBCDField*>(field)) {
      bcd->SetPrecision(Precision);
      bcd->TField::SetSize(Size);
    }
    field->SetRequired(Required());
    field->SetReadOnly((Attributes & faReadonly) != 0);
    field->SetVisible((Attributes & faHiddenCol) == 0);
    if (InternalCalcField) field->SetFieldKind(fkInternalCalc);
  } catch (...) {
    delete field;
    throw;
  }
  return field;
}

TFieldDef* TFieldDefs::AddFieldDef() {
  fList.push_back(std::make_unique<TFieldDef>());
  fList.back()->FieldNo = Count();
  return fList.back().get();
}

TFieldDef* TFieldDefs::Add(const qdString& aName, TFieldType aType, int32_t aSize, bool aRequired) {
  TFieldDef* def = AddFieldDef();
  def->Name = aName;
  def->DataType = aType;
  def->Size = aSize;
  def->SetRequired(aRequired);
  return def;
}

void TFieldDefs::Clear() {
  fList.clear();
  fUpdated = false;
}

int32_t TFieldDefs::IndexOf(qdStringView aName) const {
  for (size_t i = 0; i < fList.size(); ++i)
    if (DBSameText(fList[i]->Name, aName)) return static_cast<int32_t>(i);
  return -1;
}

TFieldDef* TFieldDefs::Find(qdStringView aName) const {
  const int32_t index = IndexOf(aName);
  if (index < 0) DatabaseErrorFmt(SFieldDefNotFound, {aName}, fDataSet);
  return Items(index);
}

void TFieldDefs::Update() {
  if (fDataSet != nullptr) fDataSet->InitFieldDefs();
}

// --- Index definitions -----------------------------------------------------------------

TIndexDef* TIndexDefs::AddIndexDef() {
  fList.push_back(std::make_unique<TIndexDef>());
  return fList.back().get();
}

TIndexDef* TIndexDefs::Add(const qdString& aName, const qdString& aFields, TIndexOptions aOptions) {
  TIndexDef* def = AddIndexDef();
  def->Name = aName;
  def->Fields = aFields;
  def->Options = aOptions;
  return def;
}

int32_t TIndexDefs::IndexOf(qdStringView aName) const {
  for (size_t i = 0; i < fList.size(); ++i)
    if (DBSameText(fList[i]->Name, aName)) return static_cast<int32_t>(i);
  return -1;
}

TIndexDef* TIndexDefs::Find(qdStringView aName) const {
  const int32_t index = IndexOf(aName);
  if (index < 0) DatabaseErrorFmt(SIndexNotFound, {aName}, fDataSet);
  return Items(index);
}

TIndexDef* TIndexDefs::GetIndexForFields(qdStringView aFields, bool aCaseInsensitive) const {
  const std::vector<qdString> wanted = splitNames(aFields);
  if (wanted.empty()) return nullptr;
  TIndexDef* prefixMatch = nullptr;
  for (const auto& def : fList) {
    if (((def->Options & ixCaseInsensitive) != 0) != aCaseInsensitive) continue;
    const std::vector<qdString> fields = splitNames(def->Fields);
    if (!sameNames(fields, wanted, wanted.size())) continue;
    if (fields.size() == wanted.size()) return def.get();
    if (prefixMatch == nullptr) prefixMatch = def.get();
  }
  return prefixMatch;
}

TIndexDef* TIndexDefs::FindIndexForFields(qdStringView aFields) const {
  TIndexDef* def = GetIndexForFields(aFields, false);
  if (def == nullptr) def = GetIndexForFields(aFields, true);
  if (def == nullptr) DatabaseErrorFmt(SNoIndexForFields, {aFields}, fDataSet);
  return def;
}

void TIndexDefs::Update() { fUpdated = true; }

// --- Parameters -----------------------------------------------------------------------

void TParam::SetDataType(TFieldType aValue) {
  fDataType = aValue;
  if (!IsNull()) {
    // The value keeps its meaning in the new type when it converts.
    try {
      std::vector<uint8_t> probe(static_cast<size_t>(std::max(FieldDataSize(aValue, fSize), 1)));
      if (FieldDataSize(aValue, fSize) > 0) ValueToFieldBuffer(aValue, std::max(fSize, 1), fValue, probe.data());
    } catch (const Exception&) {
      fValue = TqdVariant::Null();
    }
  }
}

void TParam::SetValue(const TqdVariant& aValue) {
  if (fDataType == ftUnknown) {
    switch (aValue.VarType()) {
      case varSmallint:
      case varShortInt:
      case varByte:
        fDataType = ftSmallint;
        break;
      case varInteger:
      case varWord:
        fDataType = ftInteger;
        break;
      case varLongWord:
      case varInt64:
      case varUInt64:
        fDataType = ftLargeint;
        break;
      case varSingle:
      case varDouble:
        fDataType = ftFloat;
        break;
      case varCurrency:
        fDataType = ftCurrency;
        break;
      case varDate:
        fDataType = ftDateTime;
        break;
      case varBoolean:
        fDataType = ftBoolean;
        break;
      case varString:
        fDataType = ftString;
        break;
      case varUString:
        fDataType = ftWideString;
        break;
      case varFmtBcd:
        fDataType = ftFMTBcd;
        break;
      case varByteArray:
        fDataType = ftBlob;
        break;
      default:
        break;
    }
  }
  fValue = aValue.IsEmpty() ? TqdVariant::Null() : aValue;
  fBound = true;
}

void TParam::SetTyped(TFieldType aType, TqdVariant aValue) {
  fDataType = aType;
  fValue = std::move(aValue);
  fBound = true;
}

qdString TParam::AsString() const { return IsNull() ? qdString() : fValue.AsString(); }
void TParam::SetAsString(const qdString& aValue) { SetTyped(ftString, aValue); }
void TParam::SetAsWideString(const qdString& aValue) { SetTyped(ftWideString, aValue); }
int32_t TParam::AsInteger() const { return IsNull() ? 0 : fValue.AsInteger(); }
void TParam::SetAsInteger(int32_t aValue) { SetTyped(ftInteger, aValue); }
void TParam::SetAsSmallInt(int16_t aValue) { SetTyped(ftSmallint, aValue); }
int64_t TParam::AsLargeInt() const { return IsNull() ? 0 : fValue.AsInt64(); }
void TParam::SetAsLargeInt(int64_t aValue) { SetTyped(ftLargeint, aValue); }
double TParam::AsFloat() const { return IsNull() ? 0.0 : fValue.AsDouble(); }
void TParam::SetAsFloat(double aValue) { SetTyped(ftFloat, aValue); }
double TParam::AsCurrency() const { return AsFloat(); }
void TParam::SetAsCurrency(double aValue) {
  TqdCurrency value;
  if (!qdTryDoubleToCurrency(aValue, value)) throw EConvertError(u"Currency out of range");
  SetTyped(ftCurrency, value);
}
TBcd TParam::AsBCD() const { return (IsNull() ? TqdVariant(int32_t{0}) : fValue).AsBcd(); }
void TParam::SetAsBCD(const TBcd& aValue) { SetTyped(ftBCD, TqdVariant::FromBcd(aValue)); }
void TParam::SetAsFMTBCD(const TBcd& aValue) { SetTyped(ftFMTBcd, TqdVariant::FromBcd(aValue)); }
bool TParam::AsBoolean() const { return !IsNull() && fValue.AsBoolean(); }
void TParam::SetAsBoolean(bool aValue) { SetTyped(ftBoolean, aValue); }
TDateTime TParam::AsDateTime() const { return IsNull() ? 0.0 : fValue.AsDateTime(); }
void TParam::SetAsDateTime(TDateTime aValue) { SetTyped(ftDateTime, TqdVariant::FromDate(aValue)); }
void TParam::SetAsDate(TDateTime aValue) { SetTyped(ftDate, TqdVariant::FromDate(aValue)); }
void TParam::SetAsTime(TDateTime aValue) { SetTyped(ftTime, TqdVariant::FromDate(aValue)); }
void TParam::SetAsBytes(const std::vector<uint8_t>& aValue) { SetTyped(ftBlob, TqdVariant::FromBytes(aValue)); }
void TParam::SetAsMemo(const qdString& aValue) { SetTyped(ftMemo, aValue); }

void TParam::AssignField(const TField* aField) {
  fName = aField->FieldName();
  AssignFieldValue(aField, aField->AsVariant());
}

void TParam::AssignFieldValue(const TField* aField, const TqdVariant& aValue) {
  fDataType = aField->DataType();
  fSize = aField->Size();
  fValue = aValue.IsEmpty() ? TqdVariant::Null() : aValue;
  fBound = true;
}

void TParam::Assign(const TParam& aSource) {
  fName = aSource.fName;
  fParamType = aSource.fParamType;
  fDataType = aSource.fDataType;
  fSize = aSource.fSize;
  fPrecision = aSource.fPrecision;
  fNumericScale = aSource.fNumericScale;
  fBound = aSource.fBound;
  fValue = aSource.fValue;
}

// A text parameter without a size takes the room its value needs.
int32_t TParam::GetDataSize() const {
  int32_t size = fSize;
  if (size <= 0 && !IsNull()) {
    if (fDataType == ftString || fDataType == ftFixedChar) {
      std::string bytes;
      if (fValue.VarType() == varString)
        bytes = fValue.AsAnsiString();
      else if (!qdEncodeCodePage(static_cast<uint32_t>(std::max(qdThreadLocaleAnsiCodePage(), 0)), fValue.AsString(),
                                 bytes))
        bytes.clear();
      size = static_cast<int32_t>(bytes.size());
    } else if (fDataType == ftWideString || fDataType == ftFixedWideChar) {
      size = static_cast<int32_t>(fValue.AsString().size());
    } else if (fDataType == ftBytes || fDataType == ftVarBytes) {
      size = VarIsByteArray(fValue) ? static_cast<int32_t>(fValue.Bytes().size()) : 0;
    }
  }
  return FieldDataSize(fDataType, size);
}

bool TParam::GetData(uint8_t* aBuffer) const {
  if (IsNull()) return false;
  const int32_t dataSize = GetDataSize();
  int32_t size = fSize;
  switch (fDataType) {
    case ftString:
    case ftFixedChar:
      size = dataSize - 1;
      break;
    case ftWideString:
    case ftFixedWideChar:
      size = dataSize / 2 - 1;
      break;
    case ftVarBytes:
      size = dataSize - 2;
      break;
    case ftBytes:
      size = dataSize;
      break;
    default:
      break;
  }
  ValueToFieldBuffer(fDataType, size, fValue, aBuffer);
  return true;
}

TParam* TParams::AddParam() {
  fList.push_back(std::make_unique<TParam>());
  return fList.back().get();
}

TParam* TParams::CreateParam(TFieldType aType, const qdString& aName, TParamType aParamType) {
  TParam* param = AddParam();
  param->SetName(aName);
  param->SetParamType(aParamType);
  param->SetDataType(aType);
  return param;
}

TParam* TParams::FindParam(qdStringView aName) const {
  for (const auto& param : fList)
    if (DBSameText(param->Name(), aName)) return param.get();
  return nullptr;
}

TParam* TParams::ParamByName(qdStringView aName) const {
  TParam* param = FindParam(aName);
  if (param == nullptr) DatabaseErrorFmt(SParameterNotFound, {aName});
  return param;
}

void TParams::AssignValues(const TParams& aSource) {
  for (const auto& source : aSource.fList)
    for (const auto& param : fList)
      if (DBSameText(param->Name(), source->Name())) {
        // Only the value travels; the kind of the parameter stays.
        const TParamType kind = param->ParamType();
        param->Assign(*source);
        param->SetParamType(kind);
      }
}

void TParams::Assign(const TParams& aSource) {
  if (&aSource == this) return;
  fList.clear();
  for (const auto& source : aSource.fList) AddParam()->Assign(*source);
}

}  // namespace qd
