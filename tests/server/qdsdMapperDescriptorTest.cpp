// Mapper descriptors: their stream form byte for byte, reading back damaged
// and unknown streams, Duplicate, and the list and tree operations callers
// build descriptors with.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "dictionary/qdsdDataDictionary.h"
#include "server/qdsdRecordMapperDescriptor.h"
#include "server/qdsdTableMapperDescriptor.h"

namespace qd {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes written(const std::function<void(TqdWriter&)>& aWrite) {
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    aWrite(writer);
  }
  const auto* data = static_cast<const uint8_t*>(stream.Memory());
  return Bytes(data, data + stream.Size());
}

template <class T>
std::unique_ptr<T> readBack(const Bytes& aBytes, T* (*aCreate)(TqdReader&)) {
  TqdMemoryStream stream(-1);
  if (!aBytes.empty()) stream.Write(aBytes.data(), static_cast<int32_t>(aBytes.size()));
  stream.SetPosition(0);
  TqdReader reader(&stream);
  return std::unique_ptr<T>(aCreate(reader));
}

Bytes identBytes(std::string_view aName) {
  Bytes bytes{7, static_cast<uint8_t>(aName.size())};
  bytes.insert(bytes.end(), aName.begin(), aName.end());
  return bytes;
}

Bytes concat(std::initializer_list<Bytes> aParts) {
  Bytes result;
  for (const Bytes& part : aParts) result.insert(result.end(), part.begin(), part.end());
  return result;
}

TqdResult codeOf(const std::function<void()>& aAction) {
  try {
    aAction();
  } catch (const EqdBaseException& e) {
    return e.ErrorCode();
  }
  return 0;
}

// The tree the stream tests share: a root and one child, both with record
// mappers, the child's holding one mapping.
std::unique_ptr<TqdTableMapperDescriptor> sampleTree() {
  auto root = std::make_unique<TqdTableMapperDescriptor>();
  root->AddRecordMapper(TqdRecordMapperDescriptor::ClassInfo);
  auto* child = root->AddTable(u"Lines", &TqdTableMapperDescriptor::ClassInfo);
  child->SetMapTo(u"Items");
  auto* records = static_cast<TqdRecordMapperDescriptor*>(child->AddRecordMapper(TqdRecordMapperDescriptor::ClassInfo));
  records->AddMapping(u"Qty", u"Quantity", dlaBestFit)->SetApplyDefault(true);
  records->SetApplyDefaultForUnmapped(false);
  return root;
}

Bytes treeBytes(const TqdBaseTableMapperDescriptor& aTree) {
  return written([&](TqdWriter& w) { aTree.WriteToWriter(w, 47501); });
}

TEST(MapperDescriptorStreamTest, EmptyRecordMapperHasTheStatedBytesAndReadsBackEmpty) {
  TqdRecordMapperDescriptor empty;
  const Bytes bytes = written([&](TqdWriter& w) { empty.WriteToWriter(w, 47501); });
  EXPECT_EQ(bytes, concat({identBytes("TqdRecordMapperDescriptor"), {2, 1, 1, 0, 9}}));
  auto back = readBack<TqdBaseRecordMapperDescriptor>(bytes, &TqdBaseRecordMapperDescriptor::CreateFromReader);
  auto* records = dynamic_cast<TqdRecordMapperDescriptor*>(back.get());
  ASSERT_NE(records, nullptr);
  EXPECT_EQ(records->FieldMapperCount(), 0);
  EXPECT_TRUE(records->ApplyDefaultForUnmapped());
}

TEST(MapperDescriptorStreamTest, FieldMapperHasTheStatedBytes) {
  TqdFieldMapperDescriptor mapping(u"A", u"a", dlaFail);
  const Bytes bytes = written([&](TqdWriter& w) { mapping.WriteToWriter(w, 47501); });
  const Bytes expected = concat({identBytes("TqdFieldMapperDescriptor"),
                                 {6, 1, 'A'},
                                 {6, 1, 'a'},
                                 {6, 7, 'd', 'l', 'a', 'F', 'a', 'i', 'l'},
                                 {2, 1},
                                 {8}});
  EXPECT_EQ(bytes, expected);
}

TEST(MapperDescriptorStreamTest, EachActionNameRoundTrips) {
  for (TqdDataLossAction action : {dlaFail, dlaNull, dlaBestFit}) {
    TqdFieldMapperDescriptor mapping(u"Src", u"Dst", action);
    mapping.SetApplyDefault(true);
    auto back = readBack<TqdFieldMapperDescriptor>(written([&](TqdWriter& w) { mapping.WriteToWriter(w, 1); }),
                                                   &TqdFieldMapperDescriptor::CreateFromReader);
    EXPECT_EQ(back->DataLossAction(), action);
    EXPECT_EQ(back->SourceName(), u"Src");
    EXPECT_EQ(back->TargetName(), u"Dst");
    EXPECT_TRUE(back->ApplyDefault());
  }
}

TEST(MapperDescriptorStreamTest, TreeWritesTheChildWholeBeforeTheRootsOwnVersion) {
  auto tree = sampleTree();
  const Bytes childRecords =
      written([&](TqdWriter& w) { tree->TableDescriptor(0)->RecordMapper()->WriteToWriter(w, 47501); });
  const Bytes rootRecords = written([&](TqdWriter& w) { tree->RecordMapper()->WriteToWriter(w, 47501); });
  const Bytes child = concat({identBytes("TqdTableMapperDescriptor"),
                              {2, 1},
                              {6, 5, 'L', 'i', 'n', 'e', 's'},
                              {6, 5, 'I', 't', 'e', 'm', 's'},
                              {9},
                              childRecords,
                              {2, 0},
                              {2, 1}});
  const Bytes expected = concat({identBytes("TqdTableMapperDescriptor"),
                                 {2, 1},
                                 {6, 1, '.'},
                                 {6, 1, '.'},
                                 {9},
                                 rootRecords,
                                 {2, 1},
                                 child,
                                 {2, 1}});
  EXPECT_EQ(treeBytes(*tree), expected);
}

TEST(MapperDescriptorStreamTest, TreeReadsBackEqual) {
  auto tree = sampleTree();
  const Bytes bytes = treeBytes(*tree);
  auto back = readBack<TqdBaseTableMapperDescriptor>(bytes, &TqdBaseTableMapperDescriptor::CreateFromReader);
  EXPECT_EQ(treeBytes(*back), bytes);
  ASSERT_EQ(back->TableCount(), 1);
  EXPECT_EQ(back->TableDescriptor(0)->Parent(), back.get());
  EXPECT_EQ(back->TableDescriptor(0)->MapTo(), u"Items");
  auto* records = dynamic_cast<TqdRecordMapperDescriptor*>(back->TableDescriptor(0)->RecordMapper());
  ASSERT_NE(records, nullptr);
  EXPECT_FALSE(records->ApplyDefaultForUnmapped());
  EXPECT_EQ(records->rmdGetMapper(0)->DataLossAction(), dlaBestFit);
}

TEST(MapperDescriptorStreamTest, DuplicateCopiesTheTreeWithoutAParent) {
  auto tree = sampleTree();
  std::unique_ptr<TqdBaseTableMapperDescriptor> copyOfChild(tree->TableDescriptor(0)->Duplicate());
  EXPECT_EQ(copyOfChild->Parent(), nullptr);
  EXPECT_EQ(copyOfChild->Name(), u"Lines");
  EXPECT_EQ(treeBytes(*copyOfChild), treeBytes(*tree->TableDescriptor(0)));
  std::unique_ptr<TqdBaseTableMapperDescriptor> copy(tree->Duplicate());
  EXPECT_EQ(treeBytes(*copy), treeBytes(*tree));
  EXPECT_EQ(copy->TableDescriptor(0)->Parent(), copy.get());
  std::unique_ptr<TqdBaseRecordMapperDescriptor> records(tree->TableDescriptor(0)->RecordMapper()->Duplicate());
  EXPECT_EQ(static_cast<TqdRecordMapperDescriptor*>(records.get())->FieldMapperCount(), 1);
}

struct TqdBadStreamCase {
  const char* Name;
  std::function<Bytes(const Bytes&)> Damage;
  TqdResult Code;  // 0: the filer's own read error
  const char* Message;
};

constexpr size_t kNotFound = static_cast<size_t>(-1);

size_t findBytes(const Bytes& aHaystack, const Bytes& aNeedle, size_t aFrom = 0) {
  auto it = std::search(aHaystack.begin() + static_cast<std::ptrdiff_t>(aFrom), aHaystack.end(), aNeedle.begin(),
                        aNeedle.end());
  return it == aHaystack.end() ? kNotFound : static_cast<size_t>(it - aHaystack.begin());
}

Bytes replaced(Bytes aBytes, const Bytes& aOld, const Bytes& aNew, size_t aFrom = 0) {
  const size_t at = findBytes(aBytes, aOld, aFrom);
  if (at == kNotFound) throw std::logic_error("pattern not in the stream");
  aBytes.erase(aBytes.begin() + static_cast<std::ptrdiff_t>(at),
               aBytes.begin() + static_cast<std::ptrdiff_t>(at + aOld.size()));
  aBytes.insert(aBytes.begin() + static_cast<std::ptrdiff_t>(at), aNew.begin(), aNew.end());
  return aBytes;
}

TEST(MapperDescriptorStreamTest, DamagedStreamsRaiseWithoutLeaks) {
  const Bytes good = treeBytes(*sampleTree());
  const Bytes rootHeader = concat({identBytes("TqdTableMapperDescriptor"), {2, 1}});
  const std::vector<TqdBadStreamCase> cases = {
      {"root version 2",
       [&](const Bytes& b) {
         return replaced(b, rootHeader, concat({identBytes("TqdTableMapperDescriptor"), {2, 2}}));
       },
       qdeIncompatibleStream, nullptr},
      {"trailing version 2",
       [](Bytes b) {
         b.back() = 2;
         return b;
       },
       qdeIncompatibleStream, nullptr},
      {"record mapper version 2",
       [&](const Bytes& b) {
         return replaced(b, concat({identBytes("TqdRecordMapperDescriptor"), {2, 1}}),
                         concat({identBytes("TqdRecordMapperDescriptor"), {2, 2}}));
       },
       qdeIncompatibleStream, nullptr},
      {"field mapper version 2",
       [&](const Bytes& b) {
         return replaced(b, {'B', 'e', 's', 't', 'F', 'i', 't', 2, 1}, {'B', 'e', 's', 't', 'F', 'i', 't', 2, 2});
       },
       qdeIncompatibleStream, nullptr},
      {"negative child count",
       [&](const Bytes& b) {
         // The root's count of 1 follows its record mapper's closing Boolean.
         const size_t at = findBytes(b, identBytes("TqdTableMapperDescriptor"), 1);
         Bytes damaged = b;
         damaged[at - 1] = 0xFF;  // Int8 -1
         return damaged;
       },
       qdeIncompatibleStream, nullptr},
      {"huge child count",
       [&](const Bytes& b) {
         const size_t at = findBytes(b, identBytes("TqdTableMapperDescriptor"), 1);
         Bytes damaged(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(at - 2));
         const Bytes count{4, 0xFF, 0xFF, 0xFF, 0x7F};
         damaged.insert(damaged.end(), count.begin(), count.end());
         damaged.insert(damaged.end(), b.begin() + static_cast<std::ptrdiff_t>(at), b.end());
         return damaged;
       },
       0, nullptr},
      {"unknown record mapper class",
       [&](const Bytes& b) {
         return replaced(b, identBytes("TqdRecordMapperDescriptor"), identBytes("TqdRecordMapperDescriptorX"));
       },
       qdeUnsupportedDescriptor, "RecordMapperDescriptor class is not supported: TqdRecordMapperDescriptorX"},
      {"unknown table mapper class",
       [&](const Bytes& b) {
         return replaced(b, identBytes("TqdTableMapperDescriptor"), identBytes("TqdTableMapperDescriptorX"), 1);
       },
       qdeUnsupportedDescriptor, "TableMapperDescriptor class is not supported: TqdTableMapperDescriptorX"},
      {"unknown field mapper class",
       [&](const Bytes& b) {
         return replaced(b, identBytes("TqdFieldMapperDescriptor"), identBytes("TqdFieldMapperDescriptorX"));
       },
       qdeUnsupportedDescriptor, "FieldMapperDescriptor class is not supported: TqdFieldMapperDescriptorX"},
      {"a class of another family",
       [&](const Bytes& b) {
         return replaced(b, identBytes("TqdRecordMapperDescriptor"), identBytes("TqdTableMapperDescriptor"));
       },
       qdeUnsupportedDescriptor, "RecordMapperDescriptor class is not supported: TqdTableMapperDescriptor"},
  };
  for (const TqdBadStreamCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const Bytes damaged = c.Damage(good);
    try {
      (void)readBack<TqdBaseTableMapperDescriptor>(damaged, &TqdBaseTableMapperDescriptor::CreateFromReader);
      ADD_FAILURE() << "no exception";
    } catch (const EqdBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), c.Code);
      if (c.Message != nullptr) {
        EXPECT_NE(std::string(e.what()).find(c.Message), std::string::npos) << e.what();
      }
    } catch (const EReadError&) {
      EXPECT_EQ(c.Code, 0u);
    }
  }
}

TEST(MapperDescriptorStreamTest, EveryTruncationRaisesWithoutLeaks) {
  const Bytes good = treeBytes(*sampleTree());
  for (size_t length = 0; length < good.size(); ++length) {
    SCOPED_TRACE(length);
    const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
    bool raised = false;
    try {
      (void)readBack<TqdBaseTableMapperDescriptor>(cut, &TqdBaseTableMapperDescriptor::CreateFromReader);
    } catch (const EReadError&) {
      raised = true;
    } catch (const EqdBaseException& e) {
      raised = e.ErrorCode() == qdeIncompatibleStream;
    }
    EXPECT_TRUE(raised);
  }
}

TEST(MapperDescriptorStreamTest, DuplicateTargetInAStreamIsRefused) {
  TqdRecordMapperDescriptor records;
  records.AddMapping(u"A", u"x", dlaFail);
  records.AddMapping(u"B", u"y", dlaFail);
  // Rename the second entry's target in the bytes to collide with the first.
  const Bytes good = written([&](TqdWriter& w) { records.WriteToWriter(w, 47501); });
  const Bytes damaged = replaced(good, {6, 1, 'y'}, {6, 1, 'X'});
  EXPECT_THROW((void)readBack<TqdBaseRecordMapperDescriptor>(damaged, &TqdBaseRecordMapperDescriptor::CreateFromReader),
               EStringListError);
}

// --- Record mapper operations ----------------------------------------------------------------

void addFields(TqdDataDictionary& aTable, std::initializer_list<const char16_t*> aNames) {
  for (const char16_t* name : aNames) aTable.FieldsDescriptor()->AddField(name, u"", qdtInt32, 0, 0, false);
}

TEST(RecordMapperDescriptorTest, MapAllFieldsByNameMapsSharedNamesKeepingEachSidesSpelling) {
  TqdDataDictionary oldTable;
  TqdDataDictionary newTable;
  addFields(oldTable, {u"ID", u"Name", u"Price"});
  addFields(newTable, {u"id", u"NAME", u"Qty"});
  TqdRecordMapperDescriptor records;
  records.MapAllFieldsByName(*oldTable.FieldsDescriptor(), *newTable.FieldsDescriptor(), dlaNull);
  ASSERT_EQ(records.FieldMapperCount(), 2);
  EXPECT_EQ(records.rmdGetMapper(records.FieldMapperIndexOf(u"id"))->SourceName(), u"ID");
  EXPECT_EQ(records.rmdGetMapper(records.FieldMapperIndexOf(u"NAME"))->SourceName(), u"Name");
  EXPECT_EQ(records.rmdGetMapper(0)->DataLossAction(), dlaNull);
  EXPECT_EQ(records.FieldMapperIndexOf(u"Qty"), -1);
}

TEST(RecordMapperDescriptorTest, MapAllFieldsByPositionStopsAtTheShorterLayout) {
  TqdDataDictionary oldTable;
  TqdDataDictionary newTable;
  addFields(oldTable, {u"A", u"B", u"C"});
  addFields(newTable, {u"V", u"W", u"X", u"Y", u"Z"});
  TqdRecordMapperDescriptor records;
  records.MapAllFieldsByPosition(*oldTable.FieldsDescriptor(), *newTable.FieldsDescriptor(), dlaFail);
  ASSERT_EQ(records.FieldMapperCount(), 3);
  EXPECT_EQ(records.rmdGetMapper(records.FieldMapperIndexOf(u"X"))->SourceName(), u"C");
  EXPECT_EQ(records.FieldMapperIndexOf(u"Y"), -1);
}

TEST(RecordMapperDescriptorTest, UpdateTargetNameInLetterCaseKeepsTheKey) {
  TqdRecordMapperDescriptor records;
  records.AddMapping(u"s", u"a", dlaFail);
  TqdFieldMapperDescriptor* entry = records.UpdateTargetName(u"a", u"A");
  EXPECT_EQ(entry->TargetName(), u"A");
  EXPECT_EQ(records.FieldMapperIndexOf(u"A"), 0);
  // The key stays as it was: the stream lists entries in key order.
  EXPECT_EQ(records.rmdGetMapper(0), entry);
}

TEST(RecordMapperDescriptorTest, UpdateTargetNameMovesTheEntryToItsNewKey) {
  TqdRecordMapperDescriptor records;
  records.AddMapping(u"1", u"b", dlaFail);
  records.AddMapping(u"2", u"d", dlaFail);
  records.AddMapping(u"3", u"f", dlaFail);
  records.UpdateTargetName(u"f", u"a");  // moves before the old place
  records.UpdateTargetName(u"b", u"e");  // moves after it
  ASSERT_EQ(records.FieldMapperCount(), 3);
  EXPECT_EQ(records.rmdGetMapper(0)->SourceName(), u"3");
  EXPECT_EQ(records.rmdGetMapper(1)->SourceName(), u"2");
  EXPECT_EQ(records.rmdGetMapper(2)->SourceName(), u"1");
  EXPECT_EQ(records.FieldMapperIndexOf(u"f"), -1);
  EXPECT_EQ(records.FieldMapperIndexOf(u"b"), -1);
  EXPECT_EQ(records.UpdateSourceName(u"E", u"9")->SourceName(), u"9");
}

TEST(RecordMapperDescriptorTest, ADuplicateTargetIsRefusedAndTheListKeepsItsEntries) {
  TqdRecordMapperDescriptor records;
  records.AddMapping(u"x", u"Price", dlaFail);
  EXPECT_THROW(records.AddMapping(u"y", u"PRICE", dlaFail), EStringListError);
  ASSERT_EQ(records.FieldMapperCount(), 1);
  EXPECT_EQ(records.rmdGetMapper(0)->SourceName(), u"x");
  EXPECT_THROW(records.UpdateTargetName(u"nope", u"b"), EStringListError);
  EXPECT_THROW(records.DeleteMapping(u"nope"), EStringListError);
  EXPECT_THROW((void)records.rmdGetMapper(1), EStringListError);
  records.DeleteMapping(u"price");
  EXPECT_EQ(records.FieldMapperCount(), 0);
}

// --- Table mapper operations -----------------------------------------------------------------

TEST(TableMapperDescriptorTest, ChildNamesAreUniqueIgnoringCase) {
  TqdTableMapperDescriptor root;
  EXPECT_EQ(root.Name(), u".");
  EXPECT_EQ(root.MapTo(), u".");
  TqdBaseTableMapperDescriptor* child = root.AddTable(u"Child");
  EXPECT_EQ(child->Parent(), &root);
  EXPECT_EQ(child->MapTo(), u".");
  try {
    root.AddTable(u"CHILD");
    ADD_FAILURE() << "no exception";
  } catch (const EqdBaseTableMapperDescriptorException& e) {
    EXPECT_EQ(e.ErrorCode(), qdeNameNotUnique);
    EXPECT_NE(std::string(e.what()).find("Duplicated table name: CHILD"), std::string::npos) << e.what();
  }
  EXPECT_EQ(root.TableCount(), 1);
  EXPECT_EQ(root.GetTableDescriptorFromName(u"child"), child);
  EXPECT_EQ(codeOf([&] { (void)root.GetTableDescriptorFromName(u"Other"); }), qdeNoSuchTable);
}

TEST(TableMapperDescriptorTest, RemoveTableIgnoresUnknownChildren) {
  TqdTableMapperDescriptor root;
  root.AddTable(u"A");
  root.AddTable(u"B");
  root.AddTable(u"C");
  root.RemoveTable(3);
  root.RemoveTable(-1);
  root.RemoveTable(u"nope");
  root.RemoveTable(u"b");
  ASSERT_EQ(root.TableCount(), 2);
  EXPECT_EQ(root.TableDescriptor(1)->Name(), u"C");
  root.RemoveTable(0);
  EXPECT_EQ(root.GetTableIndexFromName(u"c"), 0);
  root.Clear();
  EXPECT_EQ(root.TableCount(), 0);
}

TEST(TableMapperDescriptorTest, MapAllTablesAndFieldsByNameFollowsSharedChildTables) {
  TqdDataDictionary oldTable;
  TqdDataDictionary newTable;
  addFields(oldTable, {u"ID", u"Gone"});
  addFields(newTable, {u"id", u"New"});
  TqdNestedTableDescriptor* oldLines = oldTable.TablesDescriptor()->AddTable(u"Lines");
  oldLines->FieldsDescriptor()->AddField(u"Qty", u"", qdtInt32, 0, 0, false);
  oldTable.TablesDescriptor()->AddTable(u"OnlyOld");
  TqdNestedTableDescriptor* newLines = newTable.TablesDescriptor()->AddTable(u"LINES");
  newLines->FieldsDescriptor()->AddField(u"QTY", u"", qdtInt32, 0, 0, false);
  newTable.TablesDescriptor()->AddTable(u"OnlyNew");

  TqdTableMapperDescriptor root;
  root.MapAllTablesAndFieldsByName(oldTable, newTable, dlaBestFit);
  auto* records = dynamic_cast<TqdRecordMapperDescriptor*>(root.RecordMapper());
  ASSERT_NE(records, nullptr);
  EXPECT_EQ(records->FieldMapperCount(), 1);
  ASSERT_EQ(root.TableCount(), 1);
  TqdBaseTableMapperDescriptor* lines = root.TableDescriptor(0);
  EXPECT_EQ(lines->Name(), u"Lines");
  EXPECT_EQ(&lines->ClassType(), &TqdTableMapperDescriptor::ClassInfo);
  auto* lineRecords = dynamic_cast<TqdRecordMapperDescriptor*>(lines->RecordMapper());
  ASSERT_NE(lineRecords, nullptr);
  EXPECT_EQ(lineRecords->rmdGetMapper(0)->TargetName(), u"QTY");
  EXPECT_EQ(lineRecords->rmdGetMapper(0)->DataLossAction(), dlaBestFit);
}

}  // namespace
}  // namespace qd
