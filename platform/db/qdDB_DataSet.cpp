// The dataset: states, the record ring, navigation, editing and events.
#include <algorithm>
#include <cstring>

#include "platform/db/qdDB.h"
#include "platform/db/qdDBConsts.h"
#include "platform/qdFormat.h"

namespace qd {

using namespace dbconsts;

const TqdComponentClass TDataSet::ClassInfo{{u"TDataSet", &TqdComponent::ClassInfo, nullptr}, nullptr, nullptr};

void DatabaseError(qdStringView aMessage, const TqdComponent* aComponent) {
  if (aComponent != nullptr && !aComponent->Name().empty())
    throw EDatabaseError(aComponent->Name() + u": " + qdString(aMessage));
  throw EDatabaseError(qdString(aMessage));
}

void DatabaseErrorFmt(qdStringView aMessage, std::initializer_list<TqdVarRec> aArgs, const TqdComponent* aComponent) {
  DatabaseError(Format(aMessage, aArgs), aComponent);
}

EUpdateError::EUpdateError(qdString aMessage, qdString aContext, int32_t aErrorCode, int32_t aPreviousError,
                           std::exception_ptr aOriginalException)
    : EDatabaseError(std::move(aMessage)),
      ueContext(std::move(aContext)),
      ueErrorCode(aErrorCode),
      uePreviousError(aPreviousError),
      ueOriginalException(std::move(aOriginalException)) {}

// --- Provider defaults ---------------------------------------------------------------

int32_t IProviderSupport::PSExecuteStatement(const qdString& /*aSQL*/, TParams* /*aParams*/) {
  DatabaseError(SNoProviderSupport);
}

int32_t IProviderSupport::PSExecuteStatement(const qdString& aSQL, TParams* aParams, TDataSet*& aResultSet) {
  aResultSet = nullptr;
  return PSExecuteStatement(aSQL, aParams);
}

int32_t IProviderSupport::PSExecuteStatement(const qdString& aSQL, TParams* aParams, TDataSet** aResultSet) {
  if (aResultSet != nullptr) return PSExecuteStatement(aSQL, aParams, *aResultSet);
  return PSExecuteStatement(aSQL, aParams);
}

std::unique_ptr<EUpdateError> IProviderSupport::PSGetUpdateException(const std::exception_ptr& aError,
                                                                     const EUpdateError* aPrevious) {
  qdString message;
  try {
    std::rethrow_exception(aError);
  } catch (const Exception& e) {
    message = e.Message();
  } catch (const std::exception& e) {
    message = Utf8ToString(e.what());
  } catch (...) {
  }
  return std::make_unique<EUpdateError>(message, qdString(), 0, aPrevious != nullptr ? aPrevious->ErrorCode() : 0,
                                        aError);
}

void IProviderSupport::PSExecute() { DatabaseError(SNoProviderSupport); }

// --- Construction -------------------------------------------------------------------

TDataSet::TDataSet(TqdComponent* aOwner) : TqdComponent(aOwner), fFields(this), fFieldDefs(this), fIndexDefs(this) {}

TDataSet::~TDataSet() {
  FreeBuffers();
  while (!fFields.fList.empty()) delete fFields.fList.back();  // each leaves the list
  for (TDataSource* source : fDataSources) source->fDataSet = nullptr;
}

void TDataSet::BeforeDestruction() {
  if (!IsDestroying()) {
    SetDestroying();
    try {
      SetActive(false);
    } catch (...) {
      // A dataset that cannot close cleanly is still freed: its buffers and
      // fields go with it.
    }
    // Detach every data source so that their links stop asking this dataset.
    const std::vector<TDataSource*> sources = fDataSources;
    for (TDataSource* source : sources) source->SetDataSet(nullptr);
  }
  TqdComponent::BeforeDestruction();
}

// --- Checks --------------------------------------------------------------------------

void TDataSet::CheckActive() const {
  if (fState == dsInactive) DatabaseError(SDataSetClosed, this);
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError(SDataSetOpen, this);
}

void TDataSet::CheckBiDirectional() const {
  if (fIsUniDirectional) DatabaseError(SDataSetUnidirectional, this);
}

// --- States and events -------------------------------------------------------------

void TDataSet::SetState(TDataSetState aValue) {
  if (fState == aValue) return;
  fState = aValue;
  fModified = false;
  DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState aValue) {
  const TDataSetState saved = fState;
  fState = aValue;
  ++fDisableCount;
  fModified = false;
  return saved;
}

void TDataSet::RestoreState(TDataSetState aValue) {
  --fDisableCount;
  fState = aValue;
  fModified = false;
}

void TDataSet::DataEvent(TDataEvent aEvent, intptr_t aInfo) {
  switch (aEvent) {
    case deFieldChange: {
      auto* field = reinterpret_cast<TField*>(aInfo);
      if (field != nullptr && field->FieldKind() == fkData && fState != dsSetKey && HasCalcFields() &&
          fState != dsCalcFields && ActiveBuffer() != nullptr)
        CalculateFields(ActiveBuffer());
      fModified = true;
      if (field != nullptr) field->Change();
      break;
    }
    case deUpdateState:
      if (fDisableCount > 0) {
        // Remembered: EnableControls reports the state once it differs.
        return;
      }
      break;
    default:
      break;
  }
  // While controls are disabled (or a temporary state runs) nothing is
  // sent; EnableControls makes up for it with one change.
  if (fDisableCount > 0) return;
  const std::vector<TDataSource*> sources = fDataSources;
  for (TDataSource* source : sources) source->DataEvent(aEvent, aInfo);
}

void TDataSet::DisableControls() {
  if (fDisableCount == 0) fDisableState = fState;
  ++fDisableCount;
}

void TDataSet::EnableControls() {
  if (fDisableCount == 0) return;
  if (--fDisableCount > 0) return;
  if (fDisableState != fState) DataEvent(deUpdateState, 0);
  // One change event stands for everything that happened meanwhile.
  if (Active()) DataEvent(deDataSetChange, 0);
}

// --- Opening and closing ---------------------------------------------------------------

void TDataSet::SetActive(bool aValue) {
  if (aValue == Active()) return;
  if (aValue) {
    if (fState == dsOpening) return;
    DoBeforeOpen();
    SetState(dsOpening);
    try {
      OpenCursor(false);
    } catch (...) {
      fState = dsInactive;
      try {
        CloseCursor();
      } catch (...) {
        // The open's own error is the one to report.
      }
      DataEvent(deUpdateState, 0);
      throw;
    }
    if (!IsCursorOpen() || !fInternalOpenComplete) {
      // The open found no cursor: the dataset stays closed.
      fState = dsInactive;
      CloseCursor();
      DataEvent(deUpdateState, 0);
      return;
    }
    SetState(dsBrowse);
    DoAfterOpen();
    if (!IsEmpty()) DoAfterScroll();
  } else {
    if (fState == dsEdit || fState == dsInsert || fState == dsSetKey) Cancel();
    DoBeforeClose();
    SetState(dsInactive);
    CloseCursor();
    DoAfterClose();
  }
}

void TDataSet::OpenCursor(bool /*aInfoQuery*/) { DoInternalOpen(); }

void TDataSet::DoInternalOpen() {
  fDefaultFields = fFields.Count() == 0;
  InternalOpen();
  fInternalOpenComplete = true;
  ComputeLayout();
  UpdateBufferCount();
  fBOF = true;
}

void TDataSet::CloseCursor() {
  fBlockReadSize = 0;
  fInternalOpenComplete = false;
  FreeFieldBuffers();
  ClearBuffers();
  InternalClose();
  FreeBuffers();
  fBufferCount = 0;
}

void TDataSet::InitFieldDefs() {
  if (fInternalOpenComplete) return;
  fFieldDefs.BeginUpdate();
  try {
    InternalInitFieldDefs();
  } catch (...) {
    fFieldDefs.EndUpdate();
    throw;
  }
  fFieldDefs.EndUpdate();
  fFieldDefs.SetUpdated(true);
}

void TDataSet::CreateFields() {
  for (int32_t i = 0; i < fFieldDefs.Count(); ++i) {
    const TFieldDef* def = fFieldDefs.Items(i);
    if ((def->Attributes & faHiddenCol) != 0) continue;
    if (TField* field = def->CreateField(this)) field->fDefaultField = true;
  }
}

void TDataSet::DestroyFields() {
  const std::vector<TField*> fields = fFields.fList;
  for (TField* field : fields)
    if (field->fDefaultField) delete field;
}

void TDataSet::CheckFieldCompatibility(const TField* aField, const TFieldDef* aFieldDef) {
  const bool sameType = aField->DataType() == aFieldDef->DataType ||
                        (aField->DataType() == ftString && aFieldDef->DataType == ftFixedChar) ||
                        (aField->DataType() == ftFixedChar && aFieldDef->DataType == ftString);
  if (!sameType)
    DatabaseErrorFmt(SFieldTypeMismatch,
                     {aField->DisplayName(), FieldTypeName(aField->DataType()), FieldTypeName(aFieldDef->DataType)},
                     this);
}

void TDataSet::BindFields(bool aBinding) {
  int32_t calcNumber = 0;
  for (TField* field : fFields) {
    if (aBinding) {
      if (field->FieldKind() == fkCalculated) {
        field->fFieldNo = --calcNumber;
      } else {
        const int32_t index = fFieldDefs.IndexOf(field->FieldName());
        if (index < 0) DatabaseErrorFmt(SFieldNotFound, {field->DisplayName()}, this);
        const TFieldDef* def = fFieldDefs.Items(index);
        CheckFieldCompatibility(field, def);
        field->fFieldNo = def->FieldNo;
        if (def->InternalCalcField) field->fFieldKind = fkInternalCalc;
      }
    } else {
      field->fFieldNo = 0;
    }
    field->Bind(aBinding);
  }
}

// The default buffer layout (see the header): data fields by number, then
// calculated fields, then the bookmark flag and the bookmark.
void TDataSet::ComputeLayout() {
  int32_t maxFieldNo = 0;
  for (const TField* field : fFields) maxFieldNo = std::max(maxFieldNo, field->FieldNo());
  fDataOffsets.assign(static_cast<size_t>(maxFieldNo) + 1, -1);
  fDataSize = 0;
  for (int32_t no = 1; no <= maxFieldNo; ++no) {
    const TField* field = fFields.FieldByNumber(no);
    if (field == nullptr) continue;
    fDataOffsets[static_cast<size_t>(no)] = fDataSize;
    fDataSize += 1 + field->DataSize();
  }
  fCalcFieldsSize = 0;
  for (TField* field : fFields) {
    if (field->FieldNo() > 0) continue;
    field->fOffset = fCalcFieldsSize;
    fCalcFieldsSize += 1 + field->DataSize();
  }
}

int32_t TDataSet::DataOffset(const TField* aField) const {
  const auto no = static_cast<size_t>(aField->FieldNo());
  return no < fDataOffsets.size() ? fDataOffsets[no] : -1;
}

uint8_t* TDataSet::FieldSlot(const TField* aField, uint8_t* aRecord) const {
  if (aField->FieldNo() > 0) {
    const int32_t offset = DataOffset(aField);
    return offset < 0 ? nullptr : aRecord + offset;
  }
  return aRecord + fDataSize + aField->Offset();
}

// --- Buffers ----------------------------------------------------------------------------

uint8_t* TDataSet::AllocRecordBuffer() {
  const size_t size = static_cast<size_t>(GetRecordSize()) + static_cast<size_t>(fCalcFieldsSize) + 1 +
                      static_cast<size_t>(fBookmarkSize);
  auto* buffer = new uint8_t[size];
  std::memset(buffer, 0, size);
  return buffer;
}

void TDataSet::FreeRecordBuffer(uint8_t*& aBuffer) {
  delete[] aBuffer;
  aBuffer = nullptr;
}

void TDataSet::AllocateBuffers(int32_t aCount) {
  // One buffer more than the ring shows: where the next fetch lands.
  while (static_cast<int32_t>(fBuffers.size()) < aCount + 1) fBuffers.push_back(AllocRecordBuffer());
  while (static_cast<int32_t>(fBuffers.size()) > aCount + 1) {
    uint8_t* buffer = fBuffers.back();
    fBuffers.pop_back();
    FreeRecordBuffer(buffer);
  }
  if (fTempBuffer == nullptr) fTempBuffer = AllocRecordBuffer();
}

void TDataSet::FreeBuffers() {
  for (uint8_t*& buffer : fBuffers) FreeRecordBuffer(buffer);
  fBuffers.clear();
  if (fTempBuffer != nullptr) FreeRecordBuffer(fTempBuffer);
  fCalcBuffer = nullptr;
}

void TDataSet::SetBufferCount(int32_t aValue) {
  if (aValue < 1) aValue = 1;
  if (aValue == fBufferCount && static_cast<int32_t>(fBuffers.size()) == aValue + 1) return;
  if (aValue < fRecordCount) {
    // Drop records before the active one first, then after it.
    const int32_t drop = fRecordCount - aValue;
    const int32_t before = std::min(drop, fActiveRecord);
    for (int32_t i = 0; i < before; ++i) MoveBuffer(0, fRecordCount - 1 + 1);
    fActiveRecord -= before;
    fRecordCount -= drop;
    CursorPosChanged();
  }
  AllocateBuffers(aValue);
  fBufferCount = aValue;
  if (Active() || fState == dsOpening) GetNextRecords();
}

void TDataSet::UpdateBufferCount() {
  if (!fInternalOpenComplete) return;
  int32_t count = 1;
  if (!fIsUniDirectional)
    for (const TDataSource* source : fDataSources)
      for (const TDataLink* link : source->fDataLinks) count = std::max(count, link->BufferCount());
  SetBufferCount(count);
}

// Takes the buffer at aFrom out of the array and puts it at aTo; the ones
// between shift by one.
void TDataSet::MoveBuffer(int32_t aFrom, int32_t aTo) {
  if (aFrom == aTo) return;
  uint8_t* buffer = fBuffers[static_cast<size_t>(aFrom)];
  fBuffers.erase(fBuffers.begin() + aFrom);
  fBuffers.insert(fBuffers.begin() + aTo, buffer);
}

void TDataSet::ActivateBuffers() {
  fRecordCount = 1;
  fActiveRecord = 0;
  fCurrentRecord = 0;
  fBOF = false;
  fEOF = false;
}

void TDataSet::ClearBuffers() {
  fRecordCount = 0;
  fActiveRecord = 0;
  fCurrentRecord = -1;
  fBOF = true;
  fEOF = true;
}

void TDataSet::SetCurrentRecord(int32_t aIndex) {
  if (fCurrentRecord == aIndex || fIsUniDirectional) return;
  uint8_t* buffer = fBuffers[static_cast<size_t>(aIndex)];
  switch (GetBookmarkFlag(buffer)) {
    case bfCurrent:
    case bfInserted:
      InternalSetToRecord(buffer);
      break;
    case bfBOF:
      InternalFirst();
      break;
    case bfEOF:
      InternalLast();
      break;
  }
  fCurrentRecord = aIndex;
}

void TDataSet::UpdateCursorPos() {
  if (fRecordCount > 0) SetCurrentRecord(fActiveRecord);
}

bool TDataSet::GetNextRecord() {
  TGetMode mode = gmNext;
  if (fRecordCount > 0) {
    // A record inserted at the end is not in the cursor yet: the record to
    // read after it is the one the cursor is on.
    if (fState == dsInsert && fActiveRecord == fRecordCount - 1 && GetBookmarkFlag(ActiveBuffer()) == bfCurrent)
      mode = gmCurrent;
    SetCurrentRecord(fRecordCount - 1);
  }
  if (GetRecord(fBuffers[static_cast<size_t>(fRecordCount)], mode, true) != grOK) {
    CursorPosChanged();
    return false;
  }
  if (fRecordCount == 0) {
    ActivateBuffers();
  } else if (fRecordCount < fBufferCount) {
    ++fRecordCount;
  } else {
    // Full ring: the first record leaves; the active one keeps its record.
    MoveBuffer(0, fRecordCount);
    if (fActiveRecord > 0) --fActiveRecord;
  }
  fCurrentRecord = fRecordCount - 1;
  return true;
}

bool TDataSet::GetPriorRecord() {
  CheckBiDirectional();
  if (fRecordCount > 0) SetCurrentRecord(0);
  if (GetRecord(fBuffers[static_cast<size_t>(fRecordCount)], gmPrior, true) != grOK) {
    CursorPosChanged();
    return false;
  }
  if (fRecordCount == 0) {
    ActivateBuffers();
  } else {
    MoveBuffer(fRecordCount, 0);
    if (fRecordCount < fBufferCount) {
      ++fRecordCount;
      ++fActiveRecord;
    } else if (fActiveRecord < fRecordCount - 1) {
      ++fActiveRecord;
    }
  }
  fCurrentRecord = 0;
  return true;
}

int32_t TDataSet::GetNextRecords() {
  int32_t count = 0;
  while (fRecordCount < fBufferCount && GetNextRecord()) ++count;
  return count;
}

int32_t TDataSet::GetPriorRecords() {
  int32_t count = 0;
  while (fRecordCount < fBufferCount && GetPriorRecord()) ++count;
  return count;
}

// --- Navigation ---------------------------------------------------------------------

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalFirst();
    if (GetNextRecord()) GetNextRecords();
  } catch (...) {
    fBOF = true;
    DataEvent(deDataSetChange, 0);
    throw;
  }
  fBOF = true;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

void TDataSet::Last() {
  CheckBiDirectional();
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalLast();
    if (GetPriorRecord()) GetPriorRecords();
    fActiveRecord = std::max(fRecordCount - 1, 0);
  } catch (...) {
    fEOF = true;
    DataEvent(deDataSetChange, 0);
    throw;
  }
  fEOF = true;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

void TDataSet::Next() {
  if (fState == dsBlockRead)
    BlockReadNext();
  else
    MoveBy(1);
}

void TDataSet::Prior() {
  CheckBiDirectional();
  MoveBy(-1);
}

// Without a block reader of its own a dataset reads on through the ring.
void TDataSet::BlockReadNext() { MoveBy(1); }

int32_t TDataSet::MoveBy(int32_t aDistance) {
  CheckBrowseMode();
  int32_t moved = 0;
  DoBeforeScroll();
  if ((aDistance > 0 && !fEOF) || (aDistance < 0 && !fBOF)) {
    if (aDistance < 0) CheckBiDirectional();
    fBOF = false;
    fEOF = false;
    const int32_t oldRecordCount = fRecordCount;
    int32_t scrolled = 0;
    auto finish = [&] {
      if (fRecordCount != oldRecordCount)
        DataEvent(deDataSetChange, 0);
      else
        DataEvent(deDataSetScroll, scrolled);
    };
    try {
      while (aDistance > 0) {
        if (fActiveRecord < fRecordCount - 1) {
          ++fActiveRecord;
        } else {
          const bool full = fRecordCount >= fBufferCount;
          if (!GetNextRecord()) {
            fEOF = true;
            break;
          }
          fActiveRecord = fRecordCount - 1;
          if (full) --scrolled;
        }
        --aDistance;
        ++moved;
      }
      while (aDistance < 0) {
        if (fActiveRecord > 0) {
          --fActiveRecord;
        } else {
          const bool full = fRecordCount >= fBufferCount;
          if (!GetPriorRecord()) {
            fBOF = true;
            break;
          }
          fActiveRecord = 0;
          if (full) ++scrolled;
        }
        ++aDistance;
        --moved;
      }
    } catch (...) {
      finish();
      throw;
    }
    finish();
    DoAfterScroll();
  }
  return moved;
}

void TDataSet::Resync(TResyncMode aMode) {
  CheckBiDirectional();
  uint8_t* target = fBuffers[static_cast<size_t>(fRecordCount)];
  if ((aMode & rmExact) != 0) {
    CursorPosChanged();
    if (GetRecord(target, gmCurrent, false) != grOK) DatabaseError(SRecordNotFound, this);
  } else if (GetRecord(target, gmCurrent, false) != grOK && GetRecord(target, gmNext, false) != grOK &&
             GetRecord(target, gmPrior, false) != grOK) {
    ClearBuffers();
    DataEvent(deDataSetChange, 0);
    return;
  }
  int32_t before = (aMode & rmCenter) != 0 ? (fBufferCount - 1) / 2 : fActiveRecord;
  MoveBuffer(fRecordCount, 0);
  ActivateBuffers();
  try {
    while (before > 0 && GetPriorRecord()) --before;
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(deDataSetChange, 0);
    throw;
  }
  DataEvent(deDataSetChange, 0);
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  DoBeforeRefresh();
  UpdateCursorPos();
  InternalRefresh();
  Resync(0);
  DoAfterRefresh();
}

// --- Bookmarks --------------------------------------------------------------------------

TBookmarkFlag TDataSet::GetBookmarkFlag(const uint8_t* aBuffer) {
  return static_cast<TBookmarkFlag>(aBuffer[GetRecordSize() + fCalcFieldsSize]);
}

void TDataSet::SetBookmarkFlag(uint8_t* aBuffer, TBookmarkFlag aValue) {
  aBuffer[GetRecordSize() + fCalcFieldsSize] = static_cast<uint8_t>(aValue);
}

void TDataSet::GetBookmarkData(const uint8_t* aBuffer, TBookmark& aData) {
  const uint8_t* data = aBuffer + GetRecordSize() + fCalcFieldsSize + 1;
  aData.assign(data, data + fBookmarkSize);
}

void TDataSet::SetBookmarkData(uint8_t* aBuffer, const TBookmark& aData) {
  uint8_t* data = aBuffer + GetRecordSize() + fCalcFieldsSize + 1;
  std::memset(data, 0, static_cast<size_t>(fBookmarkSize));
  std::memcpy(data, aData.data(), std::min(aData.size(), static_cast<size_t>(fBookmarkSize)));
}

TBookmark TDataSet::GetBookmark() {
  TBookmark bookmark;
  if (Active() && !IsEmpty() && fBookmarkSize > 0 && GetBookmarkFlag(ActiveBuffer()) == bfCurrent)
    GetBookmarkData(ActiveBuffer(), bookmark);
  return bookmark;
}

void TDataSet::GotoBookmark(const TBookmark& aBookmark) {
  if (aBookmark.empty()) return;
  CheckBrowseMode();
  DoBeforeScroll();
  InternalGotoBookmark(aBookmark);
  Resync(rmExact | rmCenter);
  DoAfterScroll();
}

int32_t TDataSet::CompareBookmarks(const TBookmark& aLeft, const TBookmark& aRight) {
  if (aLeft.empty() || aRight.empty()) return aLeft.empty() ? (aRight.empty() ? 0 : 1) : -1;
  return aLeft == aRight ? 0 : (aLeft < aRight ? -1 : 1);
}

// --- Records and fields --------------------------------------------------------------

void TDataSet::InitRecord(uint8_t* aBuffer) {
  InternalInitRecord(aBuffer);
  ClearCalcFields(aBuffer);
  SetBookmarkFlag(aBuffer, bfInserted);
}

void TDataSet::InternalInitRecord(uint8_t* aBuffer) { std::memset(aBuffer, 0, GetRecordSize()); }

void TDataSet::ClearCalcFields(uint8_t* aBuffer) {
  std::memset(aBuffer + GetRecordSize(), 0, static_cast<size_t>(fCalcFieldsSize));
}

uint8_t* TDataSet::GetActiveRecBuf() {
  switch (fState) {
    case dsBrowse:
    case dsBlockRead:
      return IsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
    case dsNewValue:
      return ActiveBuffer();
    case dsCalcFields:
    case dsInternalCalc:
      return fCalcBuffer;
    case dsFilter:
      return fTempBuffer;
    default:
      return nullptr;
  }
}

bool TDataSet::GetFieldData(const TField* aField, void* aBuffer) {
  uint8_t* record = GetActiveRecBuf();
  if (record == nullptr) return false;
  const uint8_t* slot = FieldSlot(aField, record);
  if (slot == nullptr || (slot[0] & 1) == 0) return false;
  if (aBuffer != nullptr) std::memcpy(aBuffer, slot + 1, static_cast<size_t>(aField->DataSize()));
  return true;
}

void TDataSet::SetFieldData(TField* aField, const void* aBuffer) {
  switch (fState) {
    case dsEdit:
    case dsInsert:
    case dsSetKey:
    case dsCalcFields:
    case dsFilter:
    case dsNewValue:
    case dsInternalCalc:
      break;
    default:
      DatabaseError(SNotEditing, this);
  }
  if (aField->FieldNo() > 0 && fState != dsSetKey && fState != dsFilter &&
      (fState == dsCalcFields || aField->ReadOnly()))
    DatabaseErrorFmt(SFieldReadOnly, {aField->DisplayName()}, this);
  uint8_t* record = GetActiveRecBuf();
  if (record == nullptr) DatabaseError(SNotEditing, this);
  uint8_t* slot = FieldSlot(aField, record);
  if (slot == nullptr) DatabaseErrorFmt(SFieldNotFound, {aField->DisplayName()}, this);
  if (fState != dsCalcFields && fState != dsFilter) aField->Validate(aBuffer);
  slot[0] = aBuffer != nullptr ? 1 : 0;
  if (aBuffer != nullptr)
    std::memcpy(slot + 1, aBuffer, static_cast<size_t>(aField->DataSize()));
  else
    std::memset(slot + 1, 0, static_cast<size_t>(aField->DataSize()));
  if (fState != dsCalcFields && fState != dsFilter && fState != dsNewValue)
    DataEvent(deFieldChange, reinterpret_cast<intptr_t>(aField));
}

bool TDataSet::GetFieldData(const TField* aField, std::vector<uint8_t>& aBuffer) {
  std::vector<uint8_t> value(static_cast<size_t>(std::max(aField->DataSize(), 1)));
  if (!GetFieldData(aField, static_cast<void*>(value.data()))) return false;
  std::memcpy(aBuffer.data(), value.data(), std::min(aBuffer.size(), static_cast<size_t>(aField->DataSize())));
  return true;
}

void TDataSet::SetFieldData(TField* aField, const std::vector<uint8_t>& aBuffer) {
  if (aBuffer.empty()) {
    SetFieldData(aField, static_cast<const void*>(nullptr));
    return;
  }
  std::vector<uint8_t> value(static_cast<size_t>(std::max(aField->DataSize(), 1)), 0);
  std::memcpy(value.data(), aBuffer.data(), std::min(aBuffer.size(), value.size()));
  SetFieldData(aField, static_cast<const void*>(value.data()));
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField* /*aField*/, TBlobStreamMode /*aMode*/) { return nullptr; }

TFieldClass TDataSet::GetFieldClass(TFieldType aType) { return DefaultFieldClass(aType); }

void TDataSet::GetFieldList(std::vector<TField*>& aList, qdStringView aFieldNames) const {
  size_t start = 0;
  while (start <= aFieldNames.size()) {
    size_t end = aFieldNames.find(u';', start);
    if (end == qdStringView::npos) end = aFieldNames.size();
    qdStringView name = aFieldNames.substr(start, end - start);
    while (!name.empty() && name.front() <= u' ') name.remove_prefix(1);
    while (!name.empty() && name.back() <= u' ') name.remove_suffix(1);
    if (!name.empty()) aList.push_back(FieldByName(name));
    start = end + 1;
  }
}

TqdVariant TDataSet::FieldValues(qdStringView aFieldNames) const {
  std::vector<TField*> fields;
  GetFieldList(fields, aFieldNames);
  if (fields.size() == 1) return fields[0]->AsVariant();
  std::vector<TqdVariant> values;
  for (const TField* field : fields) values.push_back(field->AsVariant());
  return TqdVariant::FromArray(std::move(values));
}

void TDataSet::CalculateFields(uint8_t* aBuffer) {
  fCalcBuffer = aBuffer;
  TDataSetStateGuard guard(this, dsCalcFields);
  ClearCalcFields(aBuffer);
  DoOnCalcFields();
}

void TDataSet::GetCalcFields(uint8_t* aBuffer) {
  if (HasCalcFields()) CalculateFields(aBuffer);
}

void TDataSet::CheckRequiredFields() {
  for (TField* field : fFields)
    if (field->Required() && !field->ReadOnly() && field->FieldKind() == fkData && field->IsNull()) {
      field->FocusControl();
      DatabaseErrorFmt(SFieldRequired, {field->DisplayName()}, this);
    }
}

// --- Editing ------------------------------------------------------------------------

void TDataSet::CheckOperation(const std::function<void()>& aOperation, const TDataSetErrorEvent& aErrorEvent) {
  for (;;) {
    try {
      UpdateCursorPos();
      aOperation();
      return;
    } catch (EDatabaseError& e) {
      TDataAction action = daFail;
      if (aErrorEvent) aErrorEvent(this, e, action);
      if (action == daFail) throw;
      if (action == daAbort) throw EAbort(u"Operation aborted");
      // daRetry: run the step again.
    }
  }
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode, 0);
  switch (fState) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (fModified)
        Post();
      else
        Cancel();
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

void TDataSet::UpdateRecord() {
  if (fState != dsEdit && fState != dsInsert && fState != dsSetKey) DatabaseError(SNotEditing, this);
  DataEvent(deUpdateRecord, 0);
}

void TDataSet::Edit() {
  if (fState == dsEdit || fState == dsInsert) return;
  if (fRecordCount == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  if (!GetCanModify()) DatabaseError(SDataSetReadOnly, this);
  DoBeforeEdit();
  CheckOperation([this] { InternalEdit(); }, OnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange, 0);
  DoAfterEdit();
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  if (!GetCanModify()) DatabaseError(SDataSetReadOnly, this);
  DoBeforeInsert();
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync(0);
    throw;
  }
  fModified = false;
  DataEvent(deDataSetChange, 0);
  DoAfterInsert();
  DoAfterScroll();
}

void TDataSet::Insert() {
  BeginInsertAppend();
  const TBookmark current = GetBookmark();
  if (fRecordCount > 0) MoveBuffer(fRecordCount, fActiveRecord);
  uint8_t* buffer = fBuffers[static_cast<size_t>(fActiveRecord)];
  InitRecord(buffer);
  if (fRecordCount == 0)
    SetBookmarkFlag(buffer, bfBOF);
  else
    SetBookmarkData(buffer, current);
  if (fRecordCount < fBufferCount) ++fRecordCount;
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  uint8_t* buffer = fBuffers[0];
  InitRecord(buffer);
  SetBookmarkFlag(buffer, bfEOF);
  fRecordCount = 1;
  fBOF = false;
  GetPriorRecords();
  InternalLast();
  EndInsertAppend();
}

void TDataSet::Post() {
  UpdateRecord();
  if (fState != dsEdit && fState != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  DoBeforePost();
  CheckOperation(
      [this] {
        CheckRequiredFields();
        InternalPost();
      },
      OnPostError);
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync(0);
  DoAfterPost();
}

void TDataSet::Cancel() {
  if (fState != dsEdit && fState != dsInsert && fState != dsSetKey) return;
  if (fState == dsSetKey) {
    SetState(dsBrowse);
    return;
  }
  DataEvent(deCheckBrowseMode, 0);
  DoBeforeCancel();
  const bool scrolls = fState == dsInsert;
  if (scrolls) DoBeforeScroll();
  UpdateCursorPos();
  InternalCancel();
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync(0);
  DoAfterCancel();
  if (scrolls) DoAfterScroll();
}

void TDataSet::Delete() {
  CheckActive();
  if (fState == dsInsert || fState == dsSetKey) {
    Cancel();
    return;
  }
  if (fRecordCount == 0) DatabaseError(SDataSetEmpty, this);
  DataEvent(deCheckBrowseMode, 0);
  DoBeforeDelete();
  DoBeforeScroll();
  CheckOperation([this] { InternalDelete(); }, OnDeleteError);
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync(0);
  DoAfterDelete();
  DoAfterScroll();
}

void TDataSet::ClearFields() {
  if (fState != dsEdit && fState != dsInsert && fState != dsSetKey) DatabaseError(SNotEditing, this);
  for (TField* field : fFields)
    if (field->FieldKind() == fkData && !field->ReadOnly()) field->Clear();
}

void TDataSet::AddRecord(const std::vector<TqdVariant>& aValues, bool aAppend) {
  BeginInsertAppend();
  if (!aAppend) UpdateCursorPos();
  DisableControls();
  try {
    uint8_t* buffer = fTempBuffer;
    InitRecord(buffer);
    fCalcBuffer = buffer;
    {
      // The values are written into the temporary buffer, not the ring.
      TDataSetStateGuard guard(this, dsCalcFields);
      int32_t i = 0;
      for (TField* field : fFields) {
        if (field->FieldKind() != fkData || i >= static_cast<int32_t>(aValues.size())) continue;
        const TqdVariant& value = aValues[static_cast<size_t>(i++)];
        if (value.IsEmpty()) continue;
        std::vector<uint8_t> data(static_cast<size_t>(std::max(field->DataSize(), 1)));
        uint8_t* slot = FieldSlot(field, buffer);
        if (slot == nullptr) continue;
        if (value.IsNull()) {
          slot[0] = 0;
        } else {
          ValueToFieldBuffer(field->DataType(), field->Size(), value, data.data());
          slot[0] = 1;
          std::memcpy(slot + 1, data.data(), static_cast<size_t>(field->DataSize()));
        }
      }
    }
    InternalAddRecord(buffer, aAppend);
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync(0);
  DoAfterInsert();
  DoAfterScroll();
}

void TDataSet::InsertRecord(const std::vector<TqdVariant>& aValues) { AddRecord(aValues, false); }
void TDataSet::AppendRecord(const std::vector<TqdVariant>& aValues) { AddRecord(aValues, true); }

// --- Filters, locate, block read -----------------------------------------------------

bool TDataSet::Locate(qdStringView /*aKeyFields*/, const TqdVariant& /*aKeyValues*/, TLocateOptions /*aOptions*/) {
  return false;
}

TqdVariant TDataSet::Lookup(qdStringView /*aKeyFields*/, const TqdVariant& /*aKeyValues*/,
                            qdStringView /*aResultFields*/) {
  return TqdVariant::Null();
}

void TDataSet::SetBlockReadSize(int32_t aValue) {
  if (aValue > 0) {
    CheckActive();
    SetState(dsBlockRead);
  } else if (fState == dsBlockRead) {
    SetState(dsBrowse);
  }
  fBlockReadSize = aValue;
}

// --- Links -------------------------------------------------------------------------

bool TDataSet::IsLinkedTo(TDataSource* aSource) {
  // Follows the master chain; a chain is never longer than the number of
  // datasets, and a loop found on the way is itself a link back.
  std::vector<TDataSet*> seen;
  while (aSource != nullptr) {
    TDataSet* dataSet = aSource->DataSet();
    if (dataSet == nullptr) return false;
    if (dataSet == this) return true;
    if (std::find(seen.begin(), seen.end(), dataSet) != seen.end()) return true;
    seen.push_back(dataSet);
    aSource = dataSet->GetDataSource();
  }
  return false;
}

void TDataSet::CheckNotLinkedTo(TDataSource* aSource) {
  if (aSource != nullptr && IsLinkedTo(aSource)) DatabaseErrorFmt(SCircularDataLink, {aSource->Name()}, this);
}

void TDataSet::GetDetailDataSets(std::vector<TDataSet*>& aList) {
  for (const TDataSource* source : fDataSources)
    for (TDataLink* link : source->fDataLinks)
      if (auto* detail = dynamic_cast<TDetailDataLink*>(link))
        if (TDataSet* dataSet = detail->DetailDataSet()) aList.push_back(dataSet);
}

}  // namespace qd
