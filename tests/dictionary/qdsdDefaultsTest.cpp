// Default-value descriptors and validation lists of fields and records: the
// classes and the field types each serves, their settings, stream parts,
// comparison and refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Defaults.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "foundation/qdllStreams.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::itemBytes;
using test::loadItem;
using test::u8;

Bytes dictionaryBytes(const TqdDataDictionary& aDictionary, int32_t aClientVersion = qdEngineClientVersion) {
  TqdMemoryStream stream(-1);
  aDictionary.WriteToStream(stream, aClientVersion);
  return test::streamBytes(stream);
}

void readDictionary(TqdDataDictionary& aDictionary, const Bytes& aBytes) {
  Bytes copy = aBytes;
  TqdStaticMemoryStream stream(copy.data(), static_cast<int32_t>(copy.size()));
  aDictionary.ReadFromStream(stream, u"");
}

TqdFieldDescriptor* addField(TqdDataDictionary& aDictionary, qdStringView aName, TqdFieldType aType,
                             int32_t aUnits = 0) {
  return aDictionary.FieldsDescriptor()->AddField(aName, u"", aType, aUnits, 0, false);
}

// One field per default-value class, each with settings other than its
// class's defaults where the class lets them change.
void fillDefaults(TqdDataDictionary& aDictionary) {
  auto* constant =
      static_cast<TqdConstDefaultValueDescriptor*>(addField(aDictionary, u"Count", qdtInt32)->AddDefaultValue(nullptr));
  constant->SetAsVariant(TqdVariant(int32_t{42}));
  constant->SetOverwriteNonNull(true);
  auto* text = static_cast<TqdConstDefaultValueDescriptor*>(
      addField(aDictionary, u"Title", qdtNullString, 12)->AddDefaultValue(nullptr));
  text->SetAsVariant(TqdVariant(qdString(u"untitled")));
  text->SetApplyAt(TqdApplyAtSet{aaClient});
  addField(aDictionary, u"Stamp", qdtDateTime)
      ->AddDefaultValue(&TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo)
      ->SetApplyOnModify(true);
  addField(aDictionary, u"Owner", qdtWideString, 20)
      ->AddDefaultValue(&TqdCurrentUserDefaultValueDescriptor::ClassInfo)
      ->SetApplyOnInsert(false);
  addField(aDictionary, u"Key", qdtGuid)->AddDefaultValue(&TqdAutoGuidDefaultValueDescriptor::ClassInfo);
  addField(aDictionary, u"Blank", qdtInt16)->AddDefaultValue(&TqdEmptyDefaultValueDescriptor::ClassInfo);
  addField(aDictionary, u"Lsn", qdtInt64)
      ->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo)
      ->SetApplyOnModify(false);
}

TEST(DefaultsTest, EveryDefaultValueKindRoundTripsEqual) {
  TqdDataDictionary source;
  fillDefaults(source);
  const Bytes bytes = dictionaryBytes(source);
  TqdDataDictionary copy;
  readDictionary(copy, bytes);
  EXPECT_TRUE(copy.IsEqual(&source));
  EXPECT_TRUE(source.IsEqual(&copy));
  EXPECT_EQ(dictionaryBytes(copy), bytes) << "the copy writes the same bytes";

  TqdFieldsDescriptor* fields = copy.FieldsDescriptor();
  const char* const classes[] = {"TqdConstDefaultValueDescriptor",           "TqdConstDefaultValueDescriptor",
                                 "TqdCurrentDateTimeDefaultValueDescriptor", "TqdCurrentUserDefaultValueDescriptor",
                                 "TqdAutoGuidDefaultValueDescriptor",        "TqdEmptyDefaultValueDescriptor",
                                 "TqdNextLSNDefaultValueDescriptor"};
  for (int32_t i = 0; i < fields->FieldCount(); ++i) {
    ASSERT_NE(fields->FieldDescriptor(i)->DefaultValue(), nullptr) << i;
    EXPECT_EQ(u8(fields->FieldDescriptor(i)->DefaultValue()->ClassType().ClassName), classes[i]);
  }
  auto* constant = static_cast<TqdConstDefaultValueDescriptor*>(fields->FieldDescriptor(0)->DefaultValue());
  EXPECT_EQ(constant->AsVariant().AsInt64(), 42);
  EXPECT_TRUE(constant->OverwriteNonNull());
  auto* text = static_cast<TqdConstDefaultValueDescriptor*>(fields->FieldDescriptor(1)->DefaultValue());
  EXPECT_EQ(u8(text->AsVariant().AsString()), "untitled");
  EXPECT_TRUE(text->ApplyAt() == TqdApplyAtSet{aaClient});
  EXPECT_TRUE(fields->FieldDescriptor(2)->DefaultValue()->ApplyOnModify());
  EXPECT_FALSE(fields->FieldDescriptor(3)->DefaultValue()->ApplyOnInsert());
  EXPECT_FALSE(fields->FieldDescriptor(6)->DefaultValue()->ApplyOnModify());

  // Each setting and the constant itself take part in the comparison.
  constant->SetAsVariant(TqdVariant(int32_t{43}));
  EXPECT_FALSE(copy.IsEqual(&source));
  constant->SetAsVariant(TqdVariant(int32_t{42}));
  EXPECT_TRUE(copy.IsEqual(&source));
  fields->FieldDescriptor(4)->DefaultValue()->SetApplyAt(TqdApplyAtSet{aaServer});
  EXPECT_FALSE(copy.IsEqual(&source));
}

TEST(DefaultsTest, OlderClientsGetTheDefaultSettingsOnlyAndReadThemBack) {
  TqdDataDictionary source;
  TqdFieldDescriptor* field = addField(source, u"Key", qdtGuid);
  TqdBaseDefaultValueDescriptor* guid = field->AddDefaultValue(&TqdAutoGuidDefaultValueDescriptor::ClassInfo);
  TqdDictionaryItem header(nullptr);
  const Bytes older = itemBytes(*guid, 19999);
  EXPECT_EQ(older, itemBytes(header, 19999)) << "nothing after the item header";

  // Such a part gives the defaults on reading.
  TqdDataDictionary target;
  TqdBaseDefaultValueDescriptor* read =
      addField(target, u"Key", qdtGuid)->AddDefaultValue(&TqdAutoGuidDefaultValueDescriptor::ClassInfo);
  read->SetApplyOnModify(true);
  read->SetApplyAt(TqdApplyAtSet{aaClient});
  loadItem(*read, itemBytes(*guid, qdEngineClientVersion));
  EXPECT_TRUE(read->IsEqual(guid));
  // Without its section the part ends at the header; what follows belongs
  // to the owner.
  read->SetApplyOnModify(true);
  Bytes followed = older;
  followed.push_back(0x09);  // the owner's next Boolean
  test::readBytes(followed, [&](TqdReader& aReader) {
    read->LoadFromReader(aReader);
    EXPECT_TRUE(aReader.ReadBoolean());
  });
  EXPECT_TRUE(read->IsEqual(guid));

  // Any other setting cannot be told to an older client.
  guid->SetOverwriteNonNull(true);
  EXPECT_ENGINE_ERROR(itemBytes(*guid, 19999), qdeIncompatibleServer, "");
}

TEST(DefaultsTest, DamagedPartsAreRefused) {
  TqdDataDictionary source;
  TqdBaseDefaultValueDescriptor* constant = addField(source, u"Count", qdtInt32)->AddDefaultValue(nullptr);
  const Bytes good = itemBytes(*constant);
  const std::string text(good.begin(), good.end());
  struct Case {
    const char* Name;
    std::string From;
    std::string To;
  };
  const Case cases[] = {
      {"wrong section identifier", "BDVD", "BDVX"},
      {"unknown base version", std::string("BDVD\x02\x01", 6), std::string("BDVD\x02\x02", 6)},
  };
  for (const Case& c : cases) {
    std::string damaged = text;
    const size_t at = damaged.find(c.From);
    ASSERT_NE(at, std::string::npos) << c.Name;
    damaged.replace(at, c.From.size(), c.To);
    TqdDataDictionary target;
    TqdBaseDefaultValueDescriptor* read = addField(target, u"Count", qdtInt32)->AddDefaultValue(nullptr);
    SCOPED_TRACE(c.Name);
    EXPECT_ENGINE_ERROR(loadItem(*read, Bytes(damaged.begin(), damaged.end())), qdeIncompatibleStream, "");
  }
  // The constant's own version follows the five settings.
  Bytes damaged = good;
  damaged[damaged.size() - 5] = 2;  // Integer 1 as tag 0x02 and one byte, then 4 value bytes
  ASSERT_EQ(good[good.size() - 6], 0x02);
  TqdDataDictionary target;
  TqdBaseDefaultValueDescriptor* read = addField(target, u"Count", qdtInt32)->AddDefaultValue(nullptr);
  EXPECT_ENGINE_ERROR(loadItem(*read, damaged), qdeIncompatibleStream, "");
}

TEST(DefaultsTest, FieldTypesEachClassServes) {
  struct Case {
    const TqdDefaultValueDescriptorClass* Class;
    TqdFieldType Type;
    bool Served;
  };
  const Case cases[] = {
      {&TqdConstDefaultValueDescriptor::ClassInfo, qdtInt32, true},
      {&TqdConstDefaultValueDescriptor::ClassInfo, qdtDate, true},
      {&TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo, qdtDate, true},
      {&TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo, qdtTime, true},
      {&TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo, qdtDateTime, true},
      {&TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo, qdtInt32, false},
      {&TqdCurrentUserDefaultValueDescriptor::ClassInfo, qdtShortString, true},
      {&TqdCurrentUserDefaultValueDescriptor::ClassInfo, qdtNullString, true},
      {&TqdCurrentUserDefaultValueDescriptor::ClassInfo, qdtWideString, true},
      {&TqdCurrentUserDefaultValueDescriptor::ClassInfo, qdtInt32, false},
      {&TqdAutoGuidDefaultValueDescriptor::ClassInfo, qdtGuid, true},
      {&TqdAutoGuidDefaultValueDescriptor::ClassInfo, qdtNullString, false},
      {&TqdEmptyDefaultValueDescriptor::ClassInfo, qdtInt32, true},
      {&TqdEmptyDefaultValueDescriptor::ClassInfo, qdtDate, false},
      {&TqdEmptyDefaultValueDescriptor::ClassInfo, qdtInterval, false},
      {&TqdNextLSNDefaultValueDescriptor::ClassInfo, qdtInt64, true},
      {&TqdNextLSNDefaultValueDescriptor::ClassInfo, qdtInt32, false},
  };
  for (const Case& c : cases) {
    TqdDataDictionary dictionary;
    const int32_t units = (c.Type == qdtNullString || c.Type == qdtShortString || c.Type == qdtWideString) ? 10 : 0;
    TqdBaseDefaultValueDescriptor* item = addField(dictionary, u"F", c.Type, units)->AddDefaultValue(c.Class);
    const std::string what = u8(c.Class->ClassName) + " on " + u8(qdFieldTypeIdent(c.Type));
    EXPECT_EQ(item->GetInvalidFieldTypes().Contains(c.Type), !c.Served) << what;
    if (c.Served) {
      EXPECT_NO_THROW(item->CheckValid(false)) << what;
    } else {
      EXPECT_ENGINE_ERROR(item->CheckValid(false), qdeInvalidFieldDesc,
                          "\"" + u8(c.Class->ClassName) + "\" is not supported for field type \"" +
                              u8(qdFieldTypeIdent(c.Type)) + "\"");
    }
  }
}

TEST(DefaultsTest, NoClassCanServeABlobField) {
  const TqdDefaultValueDescriptorClass* classes[] = {
      &TqdConstDefaultValueDescriptor::ClassInfo,       &TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo,
      &TqdCurrentUserDefaultValueDescriptor::ClassInfo, &TqdAutoGuidDefaultValueDescriptor::ClassInfo,
      &TqdEmptyDefaultValueDescriptor::ClassInfo,       &TqdNextLSNDefaultValueDescriptor::ClassInfo};
  for (const TqdDefaultValueDescriptorClass* defaultClass : classes) {
    for (TqdFieldType type : {qdtBlob, qdtBlobMemo, qdtBlobGraphic, qdtBlobWideMemo}) {
      TqdDataDictionary dictionary;
      TqdFieldDescriptor* field = addField(dictionary, u"Data", type);
      EXPECT_ENGINE_ERROR(field->AddDefaultValue(defaultClass), qdeInvalidFieldDesc,
                          "\"" + u8(defaultClass->ClassName) + "\" is not supported for field type \"" +
                              u8(qdFieldTypeIdent(type)) + "\"");
      EXPECT_EQ(field->DefaultValue(), nullptr);
    }
  }
}

TEST(DefaultsTest, NextLSNKeepsItsFixedSettings) {
  TqdDataDictionary dictionary;
  TqdBaseDefaultValueDescriptor* lsn =
      addField(dictionary, u"Lsn", qdtInt64)->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo);
  lsn->SetApplyAt(TqdApplyAtSet{aaClient});
  lsn->SetApplyOnInsert(false);
  lsn->SetOverwriteNonNull(false);
  lsn->SetApplyOnModify(false);
  EXPECT_TRUE(lsn->ApplyAt() == TqdApplyAtSet{aaServer});
  EXPECT_TRUE(lsn->ApplyOnInsert());
  EXPECT_TRUE(lsn->OverwriteNonNull());
  EXPECT_FALSE(lsn->ApplyOnModify()) << "the one setting that stays free";
}

TEST(DefaultsTest, ReadOnlyDictionaryRefusesEveryChangeOfAConstant) {
  TqdDataDictionary dictionary;
  fillDefaults(dictionary);
  auto* constant =
      static_cast<TqdConstDefaultValueDescriptor*>(dictionary.FieldsDescriptor()->FieldDescriptor(0)->DefaultValue());
  dictionary.MakeReadOnly();
  EXPECT_ENGINE_ERROR(constant->SetApplyAt(TqdApplyAtSet{aaServer}), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(constant->SetApplyOnInsert(false), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(constant->SetApplyOnModify(true), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(constant->SetOverwriteNonNull(false), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(constant->SetAsVariant(TqdVariant(int32_t{7})), qdeDictReadOnly, "");
  EXPECT_TRUE(constant->OverwriteNonNull()) << "a refused change leaves the value";
  EXPECT_EQ(constant->AsVariant().AsInt64(), 42);
}

// The field's storage code page follows its locale, so a locale change is a
// layout change the constant has to follow.
TEST(DefaultsTest, AConstantFollowsTheFieldsLayoutAndAReadOnlyOneOnlyInACopy) {
  for (bool readOnly : {false, true}) {
    SCOPED_TRACE(readOnly ? "read-only" : "writable");
    TqdDataDictionary dictionary;
    TqdFieldDescriptor* title = addField(dictionary, u"Title", qdtNullString, 12);
    TqdLocaleDescriptor* locale = title->AddLocaleDescriptor();
    locale->SetLocale(1033);
    auto* constant = static_cast<TqdConstDefaultValueDescriptor*>(title->AddDefaultValue(nullptr));
    constant->SetAsVariant(TqdVariant(qdString(u"caf\u00e9")));
    const Bytes encoded = constant->DefaultValue();
    ASSERT_EQ(encoded[3], 0xE9);
    // Code page 932 has no e-acute: the best it can hold is the substitute.
    locale->SetLocale(1041);
    if (readOnly) dictionary.MakeReadOnly();
    EXPECT_EQ(u8(constant->AsVariant().AsString()), "caf?");
    if (readOnly) {
      EXPECT_EQ(constant->DefaultValue(), encoded) << "a read-only descriptor is never changed";
    } else {
      EXPECT_NE(constant->DefaultValue(), encoded) << "re-encoded for the field's new code page";
    }
    const Bytes bytes = dictionaryBytes(dictionary);
    TqdDataDictionary copy;
    readDictionary(copy, bytes);
    auto* read =
        static_cast<TqdConstDefaultValueDescriptor*>(copy.FieldsDescriptor()->FieldDescriptor(0)->DefaultValue());
    EXPECT_EQ(u8(read->AsVariant().AsString()), "caf?") << "written in the field's current layout";
  }
}

TEST(DefaultsTest, ConstantStartsZeroAndNullClearsIt) {
  TqdDataDictionary dictionary;
  auto* constant =
      static_cast<TqdConstDefaultValueDescriptor*>(addField(dictionary, u"Count", qdtInt32)->AddDefaultValue(nullptr));
  EXPECT_EQ(constant->DefaultValue(), Bytes(4, 0));
  constant->SetAsVariant(TqdVariant(int32_t{-1}));
  EXPECT_EQ(constant->DefaultValue(), Bytes(4, 0xFF));
  constant->SetAsVariant(TqdVariant::Null());
  EXPECT_EQ(constant->DefaultValue(), Bytes(4, 0));
}

// Each validation kind on a field list and the record list.
void fillValidations(TqdDataDictionary& aDictionary) {
  TqdFieldDescriptor* count = addField(aDictionary, u"Count", qdtInt32);
  TqdFieldValidationsDescriptor* list = count->AddValidations(nullptr);
  auto* range = static_cast<TqdMinMaxValidationDescriptor*>(
      list->AddValidation(u"Range", &TqdMinMaxValidationDescriptor::ClassInfo));
  range->SetMinAsVariant(TqdVariant(int32_t{1}));
  range->SetMaxAsVariant(TqdVariant(int32_t{99}));
  range->AddKeyField(nullptr)->SetAscend(false);
  auto* upper = static_cast<TqdMinMaxValidationDescriptor*>(
      list->AddValidation(u"Upper$Only", &TqdMinMaxValidationDescriptor::ClassInfo));
  upper->SetMaxAsVariant(TqdVariant(int32_t{5}));
  auto* fixed = static_cast<TqdNoChangeValidationDescriptor*>(
      list->AddValidation(u"Fixed", &TqdNoChangeValidationDescriptor::ClassInfo));
  fixed->AddKeyField(nullptr);
  fixed->SetApplyAt(TqdApplyAtSet{aaServer, aaClient});
  list->AddValidation(u"Plain", &TqdNoChangeValidationDescriptor::ClassInfo);
  auto* check = static_cast<TqdSqlCheckValidationDescriptor*>(
      aDictionary.FieldsDescriptor()->AddValidations(nullptr)->AddValidation(
          u"Positive", &TqdSqlCheckValidationDescriptor::ClassInfo));
  check->SetConstraint(u"Count > 0 AND Title <> 'ä'");
  check->SetErrorMessage(u"Count must be positive");
}

TEST(ValidationsTest, EveryValidationKindRoundTripsEqual) {
  TqdDataDictionary source;
  fillValidations(source);
  EXPECT_NO_THROW(source.CheckValid(false));
  const Bytes bytes = dictionaryBytes(source);
  TqdDataDictionary copy;
  readDictionary(copy, bytes);
  EXPECT_TRUE(copy.IsEqual(&source));
  EXPECT_TRUE(source.IsEqual(&copy));
  EXPECT_EQ(dictionaryBytes(copy), bytes);

  TqdFieldValidationsDescriptor* list = copy.FieldsDescriptor()->FieldDescriptor(0)->Validations();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->ValidationCount(), 4);
  auto* range = static_cast<TqdMinMaxValidationDescriptor*>(list->ValidationDescriptor(0));
  EXPECT_EQ(range->MinAsVariant().AsInt64(), 1);
  EXPECT_EQ(range->MaxAsVariant().AsInt64(), 99);
  ASSERT_NE(range->KeyField(), nullptr);
  EXPECT_FALSE(range->KeyField()->Ascend());
  auto* upper = static_cast<TqdMinMaxValidationDescriptor*>(list->ValidationDescriptor(1));
  EXPECT_TRUE(upper->MinAsVariant().IsNull());
  EXPECT_NE(upper->KeyField(), nullptr) << "added by the check before writing";
  EXPECT_TRUE(list->ValidationDescriptor(2)->ApplyAt() == (TqdApplyAtSet{aaServer, aaClient}));
  TqdFieldsValidationsDescriptor* records = copy.FieldsDescriptor()->Validations();
  ASSERT_NE(records, nullptr);
  auto* check = static_cast<TqdSqlCheckValidationDescriptor*>(records->ValidationDescriptor(0));
  EXPECT_EQ(check->Constraint(), u"Count > 0 AND Title <> 'ä'");
  EXPECT_EQ(u8(check->ErrorMessage()), "Count must be positive");

  // What the comparison sees, and what it leaves out.
  check->SetErrorMessage(u"other");
  EXPECT_TRUE(copy.IsEqual(&source)) << "the message is not compared";
  check->SetConstraint(u"Count > 1");
  EXPECT_FALSE(copy.IsEqual(&source));
  check->SetConstraint(u"Count > 0 AND Title <> 'ä'");
  range->SetMinAsVariant(TqdVariant::Null());
  EXPECT_FALSE(copy.IsEqual(&source));
  range->SetMinAsVariant(TqdVariant(int32_t{1}));
  range->RemoveKeyField();
  EXPECT_FALSE(copy.IsEqual(&source));
  range->AddKeyField(nullptr)->SetAscend(false);
  EXPECT_TRUE(copy.IsEqual(&source));
  list->RemoveValidation(u"plain");
  EXPECT_FALSE(copy.IsEqual(&source));
}

TEST(ValidationsTest, TheOlderListNameReadsAsTheFieldList) {
  TqdDataDictionary source;
  fillValidations(source);
  Bytes bytes = dictionaryBytes(source);
  std::string text(bytes.begin(), bytes.end());
  const std::string current = "TqdFieldValidationsDescriptor";
  const size_t at = text.find(current);
  ASSERT_NE(at, std::string::npos);
  // Both names are ASCII strings with a one-byte length ahead of them.
  text.replace(at - 1, current.size() + 1, std::string(1, char(24)) + "TqdValidationsDescriptor");
  TqdDataDictionary copy;
  readDictionary(copy, Bytes(text.begin(), text.end()));
  EXPECT_TRUE(copy.IsEqual(&source));
}

TEST(ValidationsTest, StreamsTheListCannotTakeAreRefused) {
  TqdDataDictionary source;
  fillValidations(source);
  TqdFieldValidationsDescriptor* list = source.FieldsDescriptor()->FieldDescriptor(0)->Validations();
  EXPECT_ENGINE_ERROR(itemBytes(*list, 19999), qdeIncompatibleServer, "");
  EXPECT_ENGINE_ERROR(itemBytes(*list->ValidationDescriptor(0), 19999), qdeIncompatibleServer, "");

  const Bytes good = itemBytes(*list);
  std::string text(good.begin(), good.end());
  const size_t at = text.find("TqdNoChangeValidationDescriptor");
  ASSERT_NE(at, std::string::npos);
  text[at + 3] = 'X';
  TqdDataDictionary target;
  TqdFieldValidationsDescriptor* read = addField(target, u"Count", qdtInt32)->AddValidations(nullptr);
  EXPECT_ENGINE_ERROR(loadItem(*read, Bytes(text.begin(), text.end())), qdeUnsupportedDescriptor,
                      "ValidationDescriptor class is not supported: TqdXoChangeValidationDescriptor");
}

TEST(ValidationsTest, RecordListStreamsRefuseFieldChecks) {
  TqdDataDictionary source;
  TqdFieldValidationsDescriptor* fieldList = addField(source, u"Count", qdtInt32)->AddValidations(nullptr);
  fieldList->AddValidation(u"Range", &TqdMinMaxValidationDescriptor::ClassInfo);
  TqdDataDictionary target;
  TqdFieldsValidationsDescriptor* records = target.FieldsDescriptor()->AddValidations(nullptr);
  EXPECT_ENGINE_ERROR(loadItem(*records, itemBytes(*fieldList)), qdeUnsupportedDescriptor,
                      "ValidationDescriptor class is not supported: TqdMinMaxValidationDescriptor");
}

TEST(ValidationsTest, AddValidationRefusals) {
  TqdDataDictionary dictionary;
  TqdFieldValidationsDescriptor* list = addField(dictionary, u"Count", qdtInt32)->AddValidations(nullptr);
  list->AddValidation(u"RANGE", &TqdMinMaxValidationDescriptor::ClassInfo);
  EXPECT_ENGINE_ERROR(list->AddValidation(u"Range", &TqdMinMaxValidationDescriptor::ClassInfo), qdeNameNotUnique,
                      "Duplicated validation descriptor name: Range");
  for (const qdString& bad : {qdString(), qdString(129, u'a')}) {
    EXPECT_ENGINE_ERROR(list->AddValidation(bad, nullptr), qdeInvalidName, "");
  }
  EXPECT_EQ(list->ValidationCount(), 1);
  EXPECT_EQ(list->GetValidationDescriptorFromName(u"range"), 0);
  EXPECT_EQ(list->GetValidationDescriptorFromClassName(u"tqdminmaxvalidationdescriptor"), 0);
  EXPECT_EQ(list->GetValidationDescriptorFromClassName(u"TqdNoChangeValidationDescriptor"), -1);

  TqdFieldsValidationsDescriptor* records = dictionary.FieldsDescriptor()->AddValidations(nullptr);
  EXPECT_ENGINE_ERROR(records->AddValidation(u"Range", &TqdMinMaxValidationDescriptor::ClassInfo), qdeInvalidParam,
                      "TqdFieldsValidationsDescriptor.AddValidation: aClass must be of type "
                      "TqdBaseFieldsValidationDescriptor but is of type TqdMinMaxValidationDescriptor");
  EXPECT_EQ(records->ValidationCount(), 0);

  // Removing by an index or name not held does nothing.
  list->RemoveValidation(5);
  list->RemoveValidation(-1);
  list->RemoveValidation(u"Other");
  EXPECT_EQ(list->ValidationCount(), 1);
  list->RemoveValidation(0);
  EXPECT_EQ(list->ValidationCount(), 0);
}

TEST(ValidationsTest, ChecksOfTheValidations) {
  // A min/max check on a BLOB field cannot be built.
  TqdDataDictionary blob;
  TqdFieldValidationsDescriptor* list = addField(blob, u"Data", qdtBlob)->AddValidations(nullptr);
  list->AddValidation(u"Range", &TqdMinMaxValidationDescriptor::ClassInfo);
  EXPECT_ENGINE_ERROR(list->CheckValid(false), qdeInvalidFieldDesc,
                      "\"TqdMinMaxValidationDescriptor\" is not supported for field type \"qdtBlob\"");

  // A missing key field is added by the check.
  TqdDataDictionary dictionary;
  list = addField(dictionary, u"Count", qdtInt32)->AddValidations(nullptr);
  auto* fixed = static_cast<TqdNoChangeValidationDescriptor*>(
      list->AddValidation(u"Fixed", &TqdNoChangeValidationDescriptor::ClassInfo));
  EXPECT_EQ(fixed->KeyField(), nullptr);
  list->CheckValid(false);
  EXPECT_NE(fixed->KeyField(), nullptr);

  // An SQL check never runs on a client.
  auto* check = static_cast<TqdSqlCheckValidationDescriptor*>(
      dictionary.FieldsDescriptor()->AddValidations(nullptr)->AddValidation(
          u"Check", &TqdSqlCheckValidationDescriptor::ClassInfo));
  check->SetApplyAt(TqdApplyAtSet{aaServer, aaClient});
  EXPECT_TRUE(check->ApplyAt() == TqdApplyAtSet{aaServer});
  check->SetApplyAt(TqdApplyAtSet{aaClient});
  EXPECT_TRUE(check->ApplyAt() == TqdApplyAtSet{});
}

TEST(ValidationsTest, BoundsFollowTheField) {
  TqdDataDictionary dictionary;
  auto* range = static_cast<TqdMinMaxValidationDescriptor*>(
      addField(dictionary, u"Count", qdtInt32)
          ->AddValidations(nullptr)
          ->AddValidation(u"Range", &TqdMinMaxValidationDescriptor::ClassInfo));
  EXPECT_TRUE(range->MinAsVariant().IsNull());
  range->SetMinAsVariant(TqdVariant(int32_t{3}));
  EXPECT_EQ(range->Min().size(), 4u);
  range->SetMinAsVariant(TqdVariant::Null());
  EXPECT_TRUE(range->Min().empty());
  EXPECT_TRUE(range->MinAsVariant().IsNull());
  // A value the field cannot hold leaves the bound cleared.
  range->SetMaxAsVariant(TqdVariant(int32_t{3}));
  EXPECT_ANY_THROW(range->SetMaxAsVariant(TqdVariant(qdString(u"not a number"))));
  EXPECT_TRUE(range->Max().empty());
}

TEST(ValidationsTest, ReadOnlyDictionaryRefusesEveryChange) {
  TqdDataDictionary dictionary;
  fillValidations(dictionary);
  TqdFieldValidationsDescriptor* list = dictionary.FieldsDescriptor()->FieldDescriptor(0)->Validations();
  auto* range = static_cast<TqdMinMaxValidationDescriptor*>(list->ValidationDescriptor(0));
  auto* check = static_cast<TqdSqlCheckValidationDescriptor*>(
      dictionary.FieldsDescriptor()->Validations()->ValidationDescriptor(0));
  dictionary.MakeReadOnly();
  EXPECT_ENGINE_ERROR(list->AddValidation(u"More", nullptr), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(list->RemoveValidation(0), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(list->Clear(false), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(range->SetApplyAt(TqdApplyAtSet{aaClient}), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(range->AddKeyField(nullptr), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(range->RemoveKeyField(), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(check->SetConstraint(u"1 = 1"), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(check->SetErrorMessage(u"x"), qdeDictReadOnly, "");
  EXPECT_EQ(list->ValidationCount(), 4);
  EXPECT_ENGINE_ERROR(range->SetMinAsVariant(TqdVariant(int32_t{2})), qdeDictReadOnly, "");
  EXPECT_ENGINE_ERROR(range->SetMaxAsVariant(TqdVariant::Null()), qdeDictReadOnly, "");
  EXPECT_EQ(range->MinAsVariant().AsInt64(), 1);
  EXPECT_EQ(range->MaxAsVariant().AsInt64(), 99);
}

}  // namespace
}  // namespace qd
