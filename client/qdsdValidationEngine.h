// Validations run on record images.
//
// A TqdValidationsHandler checks a record before (client) or as (server) it
// is stored. It is built for one apply side and one cursor from the
// validation lists of a fields descriptor: at most one record-level
// collecting engine (TqdFieldsValidationsEngine, from the record-level
// list) and one collecting engine per field (TqdFieldValidationsEngine,
// from the field's list and its required flag). Each collecting engine owns
// one single engine per validation that applies on the side. Classes are
// found by name in three registries: the record-level and the field
// collecting engines (list class name with "Descriptor" replaced by
// "Engine") and the single engines (validation class name likewise).
//
// Classes:
//   TqdBaseValidationsEngine              collecting engines
//     TqdFieldsValidationsEngine          the record-level list
//     TqdFieldValidationsEngine           one field: not-null, then its list
//   TqdBaseValidationEngine               single engines
//     TqdBaseFieldValidationEngine        checks one field; composes failures
//       TqdMinMaxValidationEngine         bounds, compared by a key field engine
//       TqdNoChangeValidationEngine       a value once set stays
//       TqdNotNullValidationEngine        a required field has a value
//       TqdBaseFieldsValidationEngine     may also check a whole record
//         TqdSqlCheckValidationEngine     an SQL condition
//   TqdBaseSqlCheckStatement              what the SQL engine implements to
//                                         evaluate a condition; its class is
//                                         set in qdSqlCheckStatementClass
//   TqdValidationsHandler                 the collecting engines of a fields
//                                         descriptor
//
// Failures. The first failing check raises the exception class of its
// engine with the check's error code and the text
//   Field validation "N" for field "F" failed: D     (a field's list)
//   Fields validation "N" failed: D                  (the record-level list)
// where D is the code's standard text (through the original-message marker)
// or the SQL check's own ErrorMessage. Nothing is collected.
//
// Ownership. The handler owns the collecting engines, each collecting engine
// its single engines, and single engines their key field engines and SQL
// statements. Descriptors, the fields descriptor and the cursor are owned
// elsewhere and outlive the handler.
//
// Threads. A handler and its engines are used by one thread at a time; the
// class cache of a fields descriptor is written without a lock, every
// writer storing the same class.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dictionary/qdsdDataDictionary_Defaults.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "foundation/qdllException.h"
#include "foundation/qdllTypes.h"
#include "platform/qdVariant.h"

namespace qd {

class TqdAbstractCursor;
class TqdCompositeKeyFieldEngine;
class TqdBaseValidationsEngine;
class TqdFieldsValidationsEngine;
class TqdFieldValidationsEngine;
class TqdBaseValidationEngine;
class TqdBaseSqlCheckStatement;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseValidationsEngineException, EqdBaseException);
QD_DECLARE_EXCEPTION_CLASS(EqdFieldsValidationsEngineException, EqdBaseValidationsEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdFieldValidationsEngineException, EqdBaseValidationsEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseValidationEngineException, EqdBaseException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseFieldValidationEngineException, EqdBaseValidationEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseFieldsValidationEngineException, EqdBaseFieldValidationEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdMinMaxValidationEngineException, EqdBaseFieldValidationEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdNoChangeValidationEngineException, EqdBaseFieldValidationEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdNotNullValidationEngineException, EqdBaseFieldValidationEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdSqlCheckValidationEngineException, EqdBaseFieldsValidationEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseSqlCheckStatementException, EqdBaseException);

// --- Class records -------------------------------------------------------------------

struct TqdFieldsValidationsEngineClass : TqdClassInfo {
  TqdFieldsValidationsEngine* (*Create)(TqdFieldsDescriptor* aFieldsDescriptor, TqdAbstractCursor* aCursor,
                                        TqdApplyAt aApplyAt, TqdFieldsValidationsDescriptor* aValidations) = nullptr;
};

struct TqdFieldValidationsEngineClass : TqdClassInfo {
  TqdFieldValidationsEngine* (*Create)(TqdFieldsDescriptor* aFieldsDescriptor, TqdAbstractCursor* aCursor,
                                       TqdApplyAt aApplyAt, TqdFieldValidationsDescriptor* aValidations,
                                       TqdFieldDescriptor* aFieldDescriptor) = nullptr;
};

struct TqdValidationEngineClass : TqdClassInfo {
  TqdBaseValidationEngine* (*Create)(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                                     TqdBaseFieldValidationDescriptor* aDescriptor) = nullptr;
};

// --- Collecting engines ------------------------------------------------------------------

class TqdBaseValidationsEngine : public TqdBaseRegisterableEngine {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdBaseValidationsEngine(TqdFieldsDescriptor* aFieldsDescriptor) : bveFieldsDescriptor(aFieldsDescriptor) {}
  ~TqdBaseValidationsEngine() override;

  TqdFieldsDescriptor* FieldsDescriptor() const { return bveFieldsDescriptor; }
  int32_t EngineCount() const { return static_cast<int32_t>(veEngines.size()); }
  TqdBaseValidationEngine* Engine(int32_t aIndex) const { return veEngines.at(static_cast<size_t>(aIndex)).get(); }

  // aOldRecord is nil for an insert. Raises on the first failing check.
  virtual void ValidateRecord(const uint8_t* aOldRecord, const uint8_t* aNewRecord) = 0;

 protected:
  // Builds the engine of one list entry for the side and keeps it when
  // there is one.
  void AddValidation(TqdBaseFieldValidationDescriptor* aDescriptor, TqdApplyAt aApplyAt, TqdAbstractCursor* aCursor);
  void AddEngine(std::unique_ptr<TqdBaseValidationEngine> aEngine);

  std::vector<std::unique_ptr<TqdBaseValidationEngine>> veEngines;

 private:
  TqdFieldsDescriptor* bveFieldsDescriptor;
};

class TqdFieldsValidationsEngine : public TqdBaseValidationsEngine {
 public:
  static const TqdFieldsValidationsEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Builds the single engines of the list's entries that apply on aApplyAt.
  TqdFieldsValidationsEngine(TqdFieldsDescriptor* aFieldsDescriptor, TqdAbstractCursor* aCursor, TqdApplyAt aApplyAt,
                             TqdFieldsValidationsDescriptor* aValidations);

  // Nil when the fields descriptor has no record-level list or none of its
  // entries applies on the side. 15503 "Unknown Validations engine: ..."
  // when no engine class is registered for the list's class.
  static std::unique_ptr<TqdFieldsValidationsEngine> CreateFor(TqdFieldsDescriptor* aFieldsDescriptor,
                                                               TqdApplyAt aApplyAt, TqdAbstractCursor* aCursor);

  TqdFieldsValidationsDescriptor* ValidationsDescriptor() const { return veFieldsValidationsDescriptor; }

  // Each single engine's record-level check, in list order.
  void ValidateRecord(const uint8_t* aOldRecord, const uint8_t* aNewRecord) override;

 private:
  TqdFieldsValidationsDescriptor* veFieldsValidationsDescriptor;
};

class TqdFieldValidationsEngine : public TqdBaseValidationsEngine {
 public:
  static const TqdFieldValidationsEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // A required field gets the not-null check first on the server side;
  // then the entries of aValidations (may be nil) that apply on aApplyAt.
  TqdFieldValidationsEngine(TqdFieldsDescriptor* aFieldsDescriptor, TqdAbstractCursor* aCursor, TqdApplyAt aApplyAt,
                            TqdFieldValidationsDescriptor* aValidations, TqdFieldDescriptor* aFieldDescriptor);

  // Nil when the field has neither a list nor the required flag, or when
  // no check applies on the side.
  static std::unique_ptr<TqdFieldValidationsEngine> CreateFor(TqdFieldsDescriptor* aFieldsDescriptor,
                                                              int32_t aFieldIndex, TqdApplyAt aApplyAt,
                                                              TqdAbstractCursor* aCursor);

  TqdFieldDescriptor* FieldDescriptor() const { return veFieldDescriptor; }
  int32_t FieldIndex() const { return veFieldIndex; }
  TqdFieldValidationsDescriptor* ValidationsDescriptor() const { return veFieldValidationsDescriptor; }
  // The not-null check of a required field, nil without one.
  TqdBaseValidationEngine* NotNullEngine() const;

  // Each single engine's field check, in order, with the field's old and
  // new bytes (nil when the record is nil or the field null in it).
  void ValidateRecord(const uint8_t* aOldRecord, const uint8_t* aNewRecord) override;

 private:
  TqdFieldDescriptor* veFieldDescriptor;
  int32_t veFieldIndex;
  TqdFieldValidationsDescriptor* veFieldValidationsDescriptor;
};

// --- Single engines -------------------------------------------------------------------

class TqdBaseValidationEngine : public TqdBaseRegisterableEngine {
 public:
  static const TqdValidationEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdBaseValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                          TqdBaseFieldValidationDescriptor* aDescriptor);

  // Nil for a nil descriptor or one whose ApplyAt lacks aApplyAt; 15503
  // "Unknown Validation engine: ..." when no class is registered for it.
  static std::unique_ptr<TqdBaseValidationEngine> CreateFor(TqdBaseValidationsEngine* aParent,
                                                            TqdBaseFieldValidationDescriptor* aDescriptor,
                                                            TqdApplyAt aApplyAt, TqdAbstractCursor* aCursor);

  TqdBaseValidationsEngine* Parent() const { return bveParent; }
  TqdBaseFieldValidationDescriptor* Descriptor() const { return bveDescriptor; }
  const qdString& Name() const { return bveName; }
  TqdAbstractCursor* Cursor() const { return bveCursor; }

 protected:
  TqdBaseValidationsEngine* bveParent;
  TqdBaseFieldValidationDescriptor* bveDescriptor;
  qdString bveName;
  TqdAbstractCursor* bveCursor;
};

class TqdBaseFieldValidationEngine : public TqdBaseValidationEngine {
 public:
  static const TqdValidationEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdBaseFieldValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                               TqdBaseFieldValidationDescriptor* aDescriptor);

  // The field's name when the engine sits in a field's list, else empty.
  const qdString& FieldName() const { return bfvFieldName; }

  // Raises the engine's own exception class with a code and a text.
  [[noreturn]] virtual void RaiseException(TqdResult aErrorCode, qdStringView aMessage) const = 0;
  // The detail of a failure text; here the original-message marker, which
  // the code's standard text replaces.
  virtual void GetErrorDetail(qdString& aText);
  // "Field validation "N" for field "F" failed: D" with the code.
  [[noreturn]] virtual void RaiseError(TqdResult aErrorCode);
  // A field pointer is nil when its record is nil or the field is null.
  virtual void ValidateField(const uint8_t* aOldField, const uint8_t* aOldRecord, const uint8_t* aNewField,
                             const uint8_t* aNewRecord) = 0;

 protected:
  // RaiseException, which never returns.
  [[noreturn]] void Raise(TqdResult aErrorCode, qdStringView aMessage) const;

  qdString bfvFieldName;
};

// Compares the new value with the bounds through a key field engine built
// for the descriptor's key field; a null value passes.
class TqdMinMaxValidationEngine : public TqdBaseFieldValidationEngine {
 public:
  static const TqdValidationEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Raises 8712 when the descriptor has no key field descriptor (a checked
  // dictionary always has one).
  TqdMinMaxValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                            TqdBaseFieldValidationDescriptor* aDescriptor);
  ~TqdMinMaxValidationEngine() override;

  TqdMinMaxValidationDescriptor* MinMaxDescriptor() const { return mmveMinMaxDescriptor; }

  [[noreturn]] void RaiseException(TqdResult aErrorCode, qdStringView aMessage) const override;
  // 9730 below the minimum, 9731 above the maximum.
  void ValidateField(const uint8_t* aOldField, const uint8_t* aOldRecord, const uint8_t* aNewField,
                     const uint8_t* aNewRecord) override;

 private:
  TqdMinMaxValidationDescriptor* mmveMinMaxDescriptor;
  std::unique_ptr<TqdCompositeKeyFieldEngine> mmveKeyFieldEngine;
  // The bounds in the field's length; empty = no bound.
  std::vector<uint8_t> mmveMin;
  std::vector<uint8_t> mmveMax;
};

// A value once written may not change or be cleared; a null one may be set.
// Inserts pass.
class TqdNoChangeValidationEngine : public TqdBaseFieldValidationEngine {
 public:
  static const TqdValidationEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Raises 8712 when the descriptor has no key field descriptor.
  TqdNoChangeValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                              TqdBaseFieldValidationDescriptor* aDescriptor);
  ~TqdNoChangeValidationEngine() override;

  TqdNoChangeValidationDescriptor* NoChangeDescriptor() const { return ncveNoChangeDescriptor; }

  [[noreturn]] void RaiseException(TqdResult aErrorCode, qdStringView aMessage) const override;
  // 10502 for a changed or cleared value.
  void ValidateField(const uint8_t* aOldField, const uint8_t* aOldRecord, const uint8_t* aNewField,
                     const uint8_t* aNewRecord) override;

 private:
  TqdNoChangeValidationDescriptor* ncveNoChangeDescriptor;
  std::unique_ptr<TqdCompositeKeyFieldEngine> ncveKeyFieldEngine;
};

class TqdBaseFieldsValidationEngine : public TqdBaseFieldValidationEngine {
 public:
  static const TqdValidationEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  using TqdBaseFieldValidationEngine::TqdBaseFieldValidationEngine;

  virtual void ValidateRecord(const uint8_t* aOldRecord, const uint8_t* aNewRecord) = 0;
  // In the record-level list (no field name): "Fields validation "N"
  // failed: D"; in a field's list as the parent does.
  [[noreturn]] void RaiseError(TqdResult aErrorCode) override;
};

class TqdNotNullValidationEngine : public TqdBaseFieldValidationEngine {
 public:
  static const TqdValidationEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Its name is "$required"; aDescriptor is nil.
  TqdNotNullValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                             TqdBaseFieldValidationDescriptor* aDescriptor);

  [[noreturn]] void RaiseException(TqdResult aErrorCode, qdStringView aMessage) const override;
  // 9732 when the new value is null.
  void ValidateField(const uint8_t* aOldField, const uint8_t* aOldRecord, const uint8_t* aNewField,
                     const uint8_t* aNewRecord) override;
};

class TqdSqlCheckValidationEngine : public TqdBaseFieldsValidationEngine {
 public:
  static const TqdValidationEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Builds the statement when an SQL engine has set its class; a statement
  // that does not compile raises from here.
  TqdSqlCheckValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                              TqdBaseFieldValidationDescriptor* aDescriptor);
  ~TqdSqlCheckValidationEngine() override;

  TqdSqlCheckValidationDescriptor* SqlCheckDescriptor() const { return scveSqlCheckDescriptor; }
  TqdBaseSqlCheckStatement* Statement() const { return scveSqlCheckStatement.get(); }

  [[noreturn]] void RaiseException(TqdResult aErrorCode, qdStringView aMessage) const override;
  // The descriptor's ErrorMessage when it has one.
  void GetErrorDetail(qdString& aText) override;
  // Without a statement 12289 "Evaluation of CHECK constraint requires an
  // SQL engine"; a false condition 9751.
  void ValidateField(const uint8_t* aOldField, const uint8_t* aOldRecord, const uint8_t* aNewField,
                     const uint8_t* aNewRecord) override;
  void ValidateRecord(const uint8_t* aOldRecord, const uint8_t* aNewRecord) override;

 private:
  TqdSqlCheckValidationDescriptor* scveSqlCheckDescriptor;
  std::unique_ptr<TqdBaseSqlCheckStatement> scveSqlCheckStatement;
};

// --- SQL CHECK conditions ---------------------------------------------------------------

// Field references that ResolveField hands out and GetFieldValue reads.
inline constexpr int32_t kSqlCheckOldRef = 65536;       // added for the old record
inline constexpr int32_t kSqlCheckOwnFieldRef = 65535;  // the checked field itself

// The statement class the SQL engine supplies.
struct TqdSqlCheckStatementClass {
  std::u16string_view ClassName;
  TqdBaseSqlCheckStatement* (*Create)(TqdFieldsDescriptor* aFieldsDescriptor, TqdFieldDescriptor* aFieldDescriptor,
                                      TqdAbstractCursor* aCursor, qdStringView aSqlText) = nullptr;
};

// Nil until the SQL engine sets it at its start-up; read when an SQL check
// engine is built. While nil every SQL check fails with 12289.
extern const TqdSqlCheckStatementClass* qdSqlCheckStatementClass;

class TqdBaseSqlCheckStatement : public TqdObject {
 public:
  // Copies the field's number, type, length, units, decimals and storage
  // code page; aFieldDescriptor is nil for a record-level check.
  TqdBaseSqlCheckStatement(TqdFieldsDescriptor* aFieldsDescriptor, TqdFieldDescriptor* aFieldDescriptor,
                           TqdAbstractCursor* aCursor, qdStringView aSqlText);

  virtual bool SupportsBlobs() { return false; }
  // The content of a BLOB of the new or old record; Null here.
  virtual void GetBlobValue(TqdFieldDescriptor* aFieldDescriptor, bool aOld, TqdVariant& aValue, TqdBlobNr aBlobNr);
  // True unless the condition is false (unknown passes).
  virtual bool Evaluate() = 0;

  // Evaluates for the four buffers; an exception of Evaluate counts as
  // false. The buffers are set only while Evaluate runs.
  bool ValidateField(const uint8_t* aOldField, const uint8_t* aOldRecord, const uint8_t* aNewField,
                     const uint8_t* aNewRecord);
  // For a column reference of the condition (name upper-cased first): with
  // a checked field, NEW is kSqlCheckOwnFieldRef and OLD that plus
  // kSqlCheckOldRef, typed as the field. Else "OLD$" marks the old value
  // and the rest names a field: its number, plus kSqlCheckOldRef for an old
  // value; the lookup's negative result for an unknown name; -1 for a BLOB
  // field unless SupportsBlobs.
  int32_t ResolveField(qdStringView aName, TqdFieldType& aFieldType, TqdLocaleDescriptor*& aLocaleDescriptor,
                       int32_t& aDecimals, int32_t& aUnits);
  // The value of a reference while Evaluate runs; Null for a missing
  // record, buffer, or a null field. 9999 for a field number outside the
  // record.
  void GetFieldValue(int32_t aRef, TqdVariant& aValue);

  TqdFieldsDescriptor* FieldsDescriptor() const { return bscsFieldsDescriptor; }
  TqdFieldDescriptor* FieldDescriptor() const { return bscsFieldDescriptor; }
  TqdAbstractCursor* Cursor() const { return bscsCursor; }

 protected:
  TqdFieldsDescriptor* bscsFieldsDescriptor;
  TqdFieldDescriptor* bscsFieldDescriptor;
  int32_t bscsFieldIndex = -1;
  int32_t bscsFieldSize = 0;
  TqdFieldType bscsFieldType = qdtBoolean;
  uint16_t bscsFieldCodepage = 0;
  int32_t bscsFieldUnits = 0;
  int32_t bscsFieldDecPl = 0;
  TqdAbstractCursor* bscsCursor;
  const uint8_t* bscsOldRecord = nullptr;
  const uint8_t* bscsOldField = nullptr;
  const uint8_t* bscsNewRecord = nullptr;
  const uint8_t* bscsNewField = nullptr;
};

// --- Handler ------------------------------------------------------------------------------

class TqdValidationsHandler : public TqdObject {
 public:
  // Nil when no collecting engine is left for the side.
  static std::unique_ptr<TqdValidationsHandler> CreateFor(TqdFieldsDescriptor* aFieldsDescriptor, TqdApplyAt aApplyAt,
                                                          TqdAbstractCursor* aCursor);

  TqdValidationsHandler(TqdFieldsDescriptor* aFieldsDescriptor, TqdApplyAt aApplyAt, TqdAbstractCursor* aCursor);

  // Every collecting engine: the record-level one, then the fields in
  // order. aOldRecord is nil for an insert.
  void ValidateRecord(const uint8_t* aOldRecord, const uint8_t* aNewRecord);
  // One collecting engine: -1 the record-level one, else the field's;
  // nothing when there is none.
  void ValidateField(const uint8_t* aOldRecord, const uint8_t* aNewRecord, int32_t aField);
  // Only the not-null checks of the required fields (server side), in field
  // order. The server runs them on every new image before it is written,
  // whatever the insert options say, so that a required field is enforced
  // even where the full validation is not asked for.
  void ValidateRequired(const uint8_t* aNewRecord);
  bool HasRequiredChecks() const;

  TqdFieldsDescriptor* FieldsDescriptor() const { return vhFieldsDescriptor; }
  int32_t EngineCount() const { return static_cast<int32_t>(vhEngines.size()); }
  TqdFieldsValidationsEngine* FieldsEngine() const { return vhFieldsEngine; }
  // Nil for a field without checks or a number outside the fields.
  TqdFieldValidationsEngine* EngineByIndex(int32_t aField) const;

 private:
  TqdFieldsDescriptor* vhFieldsDescriptor;
  std::vector<std::unique_ptr<TqdBaseValidationsEngine>> vhEngines;
  TqdFieldsValidationsEngine* vhFieldsEngine = nullptr;
  std::vector<TqdFieldValidationsEngine*> vhEnginesByIndex;
};

void qdsdValidationEngineInitialize();
void qdsdValidationEngineFinalize();

}  // namespace qd
