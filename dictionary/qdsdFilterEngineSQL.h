// SQL filters: a filter given as an SQL condition (the text after WHERE),
// evaluated by a statement class that the SQL engine supplies.
//
// Classes: TqdBaseSqlFilterDescriptor (the condition), TqdSqlFilterDescriptor
// (adds the stream form; registered), TqdBaseSqlFilterEngine,
// TqdSqlFilterEngine (registered), TqdBaseSqlFilterStatement (the hook the
// SQL engine's statement class descends from) and the class variable
// SqlFilterStatementClass; one exception class per class.
//
// Class data of TqdSqlFilterDescriptor in the filter descriptor stream:
//
//   size                       content
//   1                          version: 2 is written; 1 and 2 are read
//   4                          L: Int32, characters (version 2) or bytes (1)
//   2 x L (2) or L (1)         the condition as UTF-16 (version 2) or as
//                              8-bit text of the system ANSI code page (1)
//
// The statement. The SQL engine's start-up stores its statement class in
// SqlFilterStatementClass (when nil) and its shutdown clears it; until then
// creating an SQL filter engine raises 12289. The statement is built with
// the engine's fields source and the condition; the source's cursor may be
// nil (a filtered index evaluates on record images of the table's fields
// descriptor): the statement then binds to no database and takes string
// literals in LiteralLocale. Column names of the condition denote the
// fields of the source (ResolveColumn), read per buffer by GetColumnValue.
//
// Ownership and threads: the engine owns its statement. The buffer under
// evaluation is an argument of every call, never kept in the statement,
// and the engine evaluates one buffer at a time on its statement (seSync),
// because a compiled SQL condition may keep intermediate values; so one
// engine may be shared by threads.
#pragma once

#include <cstdint>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdFilterDescriptorBase.h"
#include "dictionary/qdsdFilterEngineBase.h"
#include "foundation/qdllSync.h"
#include "platform/qdVariant.h"

namespace qd {

class TqdBaseSqlFilterStatement;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseSqlFilterDescriptorException, EqdBaseFilterDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdSqlFilterDescriptorException, EqdBaseSqlFilterDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseSqlFilterEngineException, EqdBaseFilterEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdSqlFilterEngineException, EqdBaseSqlFilterEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseSqlFilterStatementException, EqdBaseException);

class TqdBaseSqlFilterDescriptor : public TqdBaseFilterDescriptor {
 public:
  static const TqdFilterDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdBaseSqlFilterDescriptor(qdStringView aExpression) : bsfdExpression(aExpression) {}

  const qdString& Expression() const { return bsfdExpression; }

 protected:
  TqdBaseSqlFilterDescriptor() = default;

  qdString bsfdExpression;
};

class TqdSqlFilterDescriptor : public TqdBaseSqlFilterDescriptor {
 public:
  static const TqdFilterDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdSqlFilterDescriptor(qdStringView aExpression) : TqdBaseSqlFilterDescriptor(aExpression) {}
  // Reads the class data; 15498 for an unknown version or a short read.
  explicit TqdSqlFilterDescriptor(TStream* aStream);

  // Class name, version 2, L and the characters; aVersion is not used.
  [[nodiscard]] TqdResult WriteToStream(TStream* aStream, int32_t aVersion) const override;
};

// The class record of a statement class: its virtual constructor.
struct TqdSqlFilterStatementClass {
  qdStringView ClassName;
  TqdBaseSqlFilterStatement* (*CreateInstance)(IqdFieldsSource* aFieldsSource, qdStringView aSqlText) = nullptr;
};

// The statement class SQL filter engines instantiate; nil until the SQL
// engine's start-up assigns it (set and cleared only at start-up and
// shutdown).
extern const TqdSqlFilterStatementClass* SqlFilterStatementClass;

class TqdBaseSqlFilterStatement : public TqdObject {
 public:
  // Keeps the fields source. Its cursor may be nil.
  TqdBaseSqlFilterStatement(IqdFieldsSource* aFieldsSource, qdStringView aSqlText);
  ~TqdBaseSqlFilterStatement() override;

  IqdFieldsSource* FieldsSource() const { return bsfsFieldsSource; }
  // The cursor of the fields source, or nil: without one there is no
  // database to bind to.
  TqdAbstractCursor* Cursor() const { return bsfsCursor; }
  // The locale of string literals when there is no cursor to take the
  // session's from: the locale used by the dictionary that the fields
  // source belongs to, or nil (the system's) when it belongs to none.
  TqdLocaleDescriptor* LiteralLocale() const { return bsfsLiteralLocale; }

  // True exactly when the condition is SQL true for aBuffer.
  virtual bool Evaluate(const uint8_t* aBuffer) = 0;
  // Evaluate; an exception counts as False.
  bool MatchesBuffer(const uint8_t* aBuffer);

  // The column resolver of the compiled condition: the field's index (type,
  // locale, decimals and units from its descriptor), a negative index as
  // GetFieldFromName answers it, -1 for a BLOB field when the source
  // cannot read BLOBs.
  int32_t ResolveColumn(qdStringView aName, TqdFieldType& aType, TqdLocaleDescriptor*& aLocale, int32_t& aDecimals,
                        int32_t& aUnits);
  // The column getter: the field of aBuffer as a Variant, Null without a
  // buffer.
  void GetColumnValue(const uint8_t* aBuffer, int32_t aIndex, TqdVariant& aValue);

 private:
  IqdFieldsSource* bsfsFieldsSource;
  TqdAbstractCursor* bsfsCursor;
  TqdLocaleDescriptor* bsfsLiteralLocale = nullptr;
};

class TqdBaseSqlFilterEngine : public TqdBaseFilterEngine {
 public:
  static const TqdFilterEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  using TqdBaseFilterEngine::TqdBaseFilterEngine;
};

class TqdSqlFilterEngine : public TqdBaseSqlFilterEngine {
 public:
  static const TqdFilterEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // aDescriptor must be a TqdSqlFilterDescriptor (EInvalidCast otherwise);
  // without SqlFilterStatementClass: 12289 "SQL Filters require
  // SqlFilterStatementClass to be assigned".
  TqdSqlFilterEngine(const TqdBaseFilterDescriptor* aDescriptor, IqdFieldsSource* aFieldsSource);
  ~TqdSqlFilterEngine() override;

  const qdString& Expression() const { return sfeExpression; }
  TqdBaseSqlFilterStatement* Statement() const { return sfeStatement; }

  TqdBaseFilterDescriptor* CreateDescriptor() override;
  // Inactive engine or nil buffer: True; else the statement's answer.
  bool MatchesBuffer(const uint8_t* aBuffer) override;
  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

 private:
  qdString sfeExpression;
  TqdBaseSqlFilterStatement* sfeStatement = nullptr;
  TqdPadlock seSync;
};

void qdsdFilterEngineSQLInitialize();
void qdsdFilterEngineSQLFinalize();

}  // namespace qd
