// A dataset over rows held in memory, for the framework's tests: a cursor
// position among the rows, fetches counted, every cursor step and event
// written to a log, rows that can vanish under the cursor. It uses the
// framework's default buffer layout; a bookmark is the row index.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/db/qdDB.h"
#include "platform/qdLittleEndian.h"

namespace qd::test {

struct FieldLayout {
  qdString name;
  TFieldType type;
  int32_t size = 0;
  bool required = false;
};

class ScriptedDataSet : public TDataSet {
 public:
  explicit ScriptedDataSet(std::vector<FieldLayout> aLayouts, std::vector<std::string>* aLog = nullptr)
      : TDataSet(nullptr), layouts(std::move(aLayouts)), log(aLog) {
    SetBookmarkSize(4);
  }

  // Hooks every before/after event of the dataset to the log.
  void LogEvents() {
    auto hook = [this](TDataSetNotifyEvent& aEvent, const char* aName) {
      aEvent = [this, aName](TDataSet*) { Log(aName); };
    };
    hook(BeforeOpen, "BeforeOpen");
    hook(AfterOpen, "AfterOpen");
    hook(BeforeClose, "BeforeClose");
    hook(AfterClose, "AfterClose");
    hook(BeforeInsert, "BeforeInsert");
    hook(AfterInsert, "AfterInsert");
    hook(BeforeEdit, "BeforeEdit");
    hook(AfterEdit, "AfterEdit");
    hook(BeforePost, "BeforePost");
    hook(AfterPost, "AfterPost");
    hook(BeforeCancel, "BeforeCancel");
    hook(AfterCancel, "AfterCancel");
    hook(BeforeDelete, "BeforeDelete");
    hook(AfterDelete, "AfterDelete");
    hook(BeforeScroll, "BeforeScroll");
    hook(AfterScroll, "AfterScroll");
    hook(OnNewRecord, "OnNewRecord");
  }

  void Log(const std::string& aEntry) {
    if (log != nullptr) log->push_back(aEntry);
  }

  // Puts the cursor on a row, as a search would, before a Resync.
  void PositionAt(int32_t aRow) { position = aRow; }
  int32_t RowCount() const { return static_cast<int32_t>(rows.size()); }
  // The row of the active record (-1 when there is none).
  int32_t ActiveRow() {
    const TBookmark bookmark = GetBookmark();
    return bookmark.size() == 4 ? qdGetLE<int32_t>(bookmark.data()) : -1;
  }

  using TDataSet::BufferCount;
  using TDataSet::PrivateBufferAccess;
  using TDataSet::SetUniDirectional;

  std::vector<FieldLayout> layouts;
  std::vector<std::vector<TqdVariant>> rows;
  std::vector<bool> vanished;  // rows the cursor no longer finds
  std::vector<std::string>* log;
  int32_t fetches = 0;
  int32_t position = -1;  // -1: before the first row; RowCount(): after the last

 protected:
  bool IsCursorOpen() override { return open; }
  void InternalOpen() override {
    Log("InternalOpen");
    open = true;
    InitFieldDefs();
    if (DefaultFields()) CreateFields();
    BindFields(true);
    position = -1;
  }
  void InternalClose() override {
    Log("InternalClose");
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    open = false;
  }
  void InternalInitFieldDefs() override {
    FieldDefs().Clear();
    for (const FieldLayout& layout : layouts) FieldDefs().Add(layout.name, layout.type, layout.size, layout.required);
  }
  void InternalFirst() override { position = -1; }
  void InternalLast() override { position = RowCount(); }
  void InternalSetToRecord(uint8_t* aBuffer) override { position = RowOf(aBuffer); }
  void InternalGotoBookmark(const TBookmark& aBookmark) override { position = qdGetLE<int32_t>(aBookmark.data()); }
  void InternalEdit() override { Log("InternalEdit"); }
  void InternalInsert() override { Log("InternalInsert"); }
  void InternalCancel() override { Log("InternalCancel"); }
  void InternalPost() override {
    Log("InternalPost");
    std::vector<TqdVariant> values;
    for (int32_t no = 1; no <= static_cast<int32_t>(layouts.size()); ++no) {
      TField* field = Fields().FieldByNumber(no);
      values.push_back(field != nullptr ? field->AsVariant() : TqdVariant::Null());
    }
    if (State() == dsEdit) {
      rows[static_cast<size_t>(position)] = values;
    } else {
      Place(ActiveBuffer(), values);
    }
  }
  void InternalDelete() override {
    Log("InternalDelete");
    rows.erase(rows.begin() + position);
    if (!vanished.empty()) vanished.erase(vanished.begin() + position);
  }
  void InternalAddRecord(uint8_t* aBuffer, bool aAppend) override {
    Log("InternalAddRecord");
    std::vector<TqdVariant> values;
    for (int32_t no = 1; no <= static_cast<int32_t>(layouts.size()); ++no) {
      TField* field = Fields().FieldByNumber(no);
      uint8_t* slot = field != nullptr ? FieldSlot(field, aBuffer) : nullptr;
      values.push_back(slot != nullptr && (slot[0] & 1) != 0
                           ? FieldBufferToValue(field->DataType(), field->Size(), slot + 1)
                           : TqdVariant::Null());
    }
    // Appended at the end, inserted before the record the cursor is on.
    PlaceAt(aAppend ? RowCount() : std::clamp(position, 0, RowCount()), values);
  }
  int32_t GetRecordCount() override { return RowCount(); }

  TGetResult GetRecord(uint8_t* aBuffer, TGetMode aGetMode, bool /*aDoCheck*/) override {
    ++fetches;
    switch (aGetMode) {
      case gmNext: {
        int32_t row = position + 1;
        while (row < RowCount() && Vanished(row)) ++row;
        if (row >= RowCount()) {
          position = RowCount();
          return grEOF;
        }
        position = row;
        break;
      }
      case gmPrior: {
        int32_t row = position - 1;
        while (row >= 0 && Vanished(row)) --row;
        if (row < 0) {
          position = -1;
          return grBOF;
        }
        position = row;
        break;
      }
      case gmCurrent:
        if (position < 0 || position >= RowCount() || Vanished(position)) return grError;
        break;
    }
    Fill(aBuffer, position);
    return grOK;
  }

 private:
  bool Vanished(int32_t aRow) const {
    return static_cast<size_t>(aRow) < vanished.size() && vanished[static_cast<size_t>(aRow)];
  }
  int32_t RowOf(const uint8_t* aBuffer) {
    TBookmark bookmark;
    GetBookmarkData(aBuffer, bookmark);
    return qdGetLE<int32_t>(bookmark.data());
  }
  void Fill(uint8_t* aBuffer, int32_t aRow) {
    for (TField* field : Fields()) {
      if (field->FieldNo() < 1) continue;
      uint8_t* slot = FieldSlot(field, aBuffer);
      const TqdVariant& value = rows[static_cast<size_t>(aRow)][static_cast<size_t>(field->FieldNo() - 1)];
      std::memset(slot + 1, 0, static_cast<size_t>(field->DataSize()));
      slot[0] = value.IsNull() ? 0 : 1;
      if (!value.IsNull()) ValueToFieldBuffer(field->DataType(), field->Size(), value, slot + 1);
    }
    TBookmark bookmark(4);
    qdPutLE<int32_t>(bookmark.data(), aRow);
    SetBookmarkData(aBuffer, bookmark);
    SetBookmarkFlag(aBuffer, bfCurrent);
    GetCalcFields(aBuffer);
  }
  // A new row goes before the record it was inserted at, or at the end.
  void Place(uint8_t* aBuffer, const std::vector<TqdVariant>& aValues) {
    int32_t row = RowCount();
    if (GetBookmarkFlag(aBuffer) == bfInserted) row = std::min(RowOf(aBuffer), RowCount());
    if (GetBookmarkFlag(aBuffer) == bfBOF) row = 0;
    PlaceAt(row, aValues);
  }
  void PlaceAt(int32_t row, const std::vector<TqdVariant>& aValues) {
    rows.insert(rows.begin() + row, aValues);
    if (!vanished.empty()) vanished.insert(vanished.begin() + row, false);
    position = row;
  }

  bool open = false;
};

// A link that writes what it hears to a log.
class RecordingLink : public TDataLink {
 public:
  explicit RecordingLink(std::vector<std::string>* aLog) : log(aLog) {}
  std::vector<std::string>* log;

 protected:
  void ActiveChanged() override { log->push_back(std::string("link:ActiveChanged ") + (Active() ? "1" : "0")); }
  void DataSetChanged() override { log->push_back("link:DataSetChanged"); }
  void DataSetScrolled(int32_t aDistance) override {
    log->push_back("link:DataSetScrolled " + std::to_string(aDistance));
  }
  void EditingChanged() override { log->push_back(std::string("link:EditingChanged ") + (Editing() ? "1" : "0")); }
  void RecordChanged(TField* aField) override {
    log->push_back("link:RecordChanged" + (aField != nullptr ? " " + StringToUtf8(aField->FieldName()) : ""));
  }
  void UpdateData() override { log->push_back("link:UpdateData"); }
  void CheckBrowseMode() override { log->push_back("link:CheckBrowseMode"); }
  void LayoutChanged() override { log->push_back("link:LayoutChanged"); }
};

}  // namespace qd::test
