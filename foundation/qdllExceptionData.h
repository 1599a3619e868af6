// Typed exception data: a tree of named values (strings, integers, Booleans,
// floats, variants and nested containers) that an engine exception carries
// besides its name=value details, for instance the keys and lock holders of a
// lock conflict or the description of a component that failed.
//
// Objects describe themselves into a tree through IqdExceptionData. A tree
// renders as indented text for logs (ToString) and travels inside error
// texts in an encoded form (ToEncodedString: filer values, then base64) under
// the detail name "$ExceptionData$", from which qdExceptionDataFromString
// rebuilds it on the receiving side.
//
// Classes: IqdExceptionDataValue > IqdExceptionDataContainer (the interfaces
// callers hold), IqdExceptionData (what a describable object implements);
// TqdExceptionDataBaseValue > TqdExceptionDataStringValue,
// TqdExceptionDataIntegerValue, TqdExceptionDataBooleanValue,
// TqdExceptionDataFloatValue, TqdExceptionDataVariantValue,
// TqdExceptionDataContainer.
//
// Ownership: values are reference-counted (TqdInterfacedObject). A container
// holds one reference to each child; a child keeps a plain pointer to its
// parent, which outlives it while the parent holds it. A tree is built and
// read by one thread at a time; nothing here takes a lock.
//
// Encoded form, in filer values: the identifier "EDV", the version (integer),
// then the root value: its kind (integer), its name (string), then by kind
//   0 string    string
//   1 integer   64-bit integer
//   2 Boolean   Boolean
//   3 float     10-byte extended float
//   4 variant   variant
//   5 container list begin, each child as a value, list end.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllStreams.h"
#include "platform/qdStringList.h"
#include "platform/qdStrings.h"
#include "platform/qdVariant.h"

namespace qd {

class TqdObject;
class IqdExceptionDataContainer;
class TqdExceptionDataContainer;

// The kinds of values, as stored in the encoded form.
enum TqdExceptionDataKind : int32_t {
  edkString = 0,
  edkInteger = 1,
  edkBoolean = 2,
  edkFloat = 3,
  edkVariant = 4,
  edkContainer = 5,
};

// The callback through which a value renders its text lines.
using TqdExceptionDataAddLine = void (*)(void* aContext, const qdString& aLine);

// One named value of a tree.
class IqdExceptionDataValue : public virtual IqdInterface {
 public:
  virtual qdString Name() const = 0;
  virtual TqdExceptionDataKind ValueKind() const = 0;
  virtual qdString AsString() const = 0;
  virtual int64_t AsInt64() const = 0;
  virtual bool AsBoolean() const = 0;
  virtual double AsFloat() const = 0;
  virtual TqdVariant AsVariant() const = 0;
  // Raises 12289 for a value that is not a container.
  virtual TqdRef<IqdExceptionDataContainer> AsContainer() = 0;
  // Filer values of the tree from this value down, base64-encoded.
  virtual qdString ToEncodedString(int32_t aVersion) const = 0;
  // Indented text, each line followed by CR LF.
  virtual qdString ToString() const = 0;

 protected:
  ~IqdExceptionDataValue() = default;
};

// A named list of values; every Add appends in call order.
class IqdExceptionDataContainer : public virtual IqdExceptionDataValue {
 public:
  virtual void AddString(const qdString& aName, const qdString& aValue) = 0;
  virtual void AddInt64(const qdString& aName, int64_t aValue) = 0;
  virtual void AddBoolean(const qdString& aName, bool aValue) = 0;
  virtual void AddFloat(const qdString& aName, double aValue) = 0;
  // Describes aObject under aName: as a sub-container when it implements
  // IqdExceptionData, as its class name otherwise; a cycle or an excluded
  // object becomes a note instead. nil adds nothing.
  virtual void AddObject(const qdString& aName, TqdObject* aObject, int32_t aFlag = 0) = 0;
  // A string list as a sub-container: "name=value" lines as named values,
  // other lines as "[<index>]".
  virtual void AddObject(const qdString& aName, const TqdStringList& aStrings, int32_t aFlag = 0) = 0;
  virtual void AddVariant(const qdString& aName, const TqdVariant& aValue) = 0;
  // Stored zero-extended as an integer value.
  virtual void AddCardinal(const qdString& aName, uint32_t aValue) = 0;
  virtual TqdRef<IqdExceptionDataContainer> AddContainer(const qdString& aName) = 0;
  virtual int32_t Count() const = 0;
  // Raises ERangeError outside 0..Count-1.
  virtual TqdRef<IqdExceptionDataValue> Values(int32_t aIndex) const = 0;
  // The object this container describes (identity only), nil for none.
  virtual const void* ForObject() const = 0;
  virtual void SetForObject(const void* aObject) = 0;

 protected:
  ~IqdExceptionDataContainer() = default;
};

// What an engine object implements to describe itself into a container.
class IqdExceptionData {
 public:
  virtual void GetExceptionData(IqdExceptionDataContainer* aContainer, int32_t aFlag) = 0;

 protected:
  ~IqdExceptionData() = default;
};

class TqdExceptionDataBaseValue : public TqdInterfacedObject, public virtual IqdExceptionDataValue {
 public:
  // Reads one value of any kind (its kind, name and payload); raises 15498
  // for an unknown kind or a tree nested deeper than kMaxExceptionDataDepth.
  static TqdRef<TqdExceptionDataBaseValue> CreateFromReader(TqdReader& aReader, int32_t aVersion,
                                                            TqdExceptionDataContainer* aParent);

  qdString Name() const override { return beName; }
  // Conversions of AsVariant; the scalar classes answer natively.
  qdString AsString() const override;
  int64_t AsInt64() const override;
  bool AsBoolean() const override;
  double AsFloat() const override;
  // Raises 12289 "AsVariant not supported by <class>".
  TqdVariant AsVariant() const override;
  // Raises 12289 "AsContainer not supported for <class>".
  TqdRef<IqdExceptionDataContainer> AsContainer() override;
  qdString ToEncodedString(int32_t aVersion) const override;
  qdString ToString() const override;

  // Kind, name and payload as filer values.
  void WriteTo(TqdWriter& aWriter) const;
  // Renders this value's lines at aIndent (2 blanks per level).
  virtual void AddLines(int32_t aIndent, TqdExceptionDataAddLine aAddLine, void* aContext) const;
  // The text of the value after "name: ".
  virtual qdString ValueText() const = 0;

  TqdExceptionDataContainer* Parent() const { return beParent; }
  virtual const char16_t* ClassName() const = 0;

 protected:
  TqdExceptionDataBaseValue(const qdString& aName, TqdExceptionDataContainer* aParent)
      : beName(aName), beParent(aParent) {}
  virtual void WritePayload(TqdWriter& aWriter) const = 0;

 private:
  qdString beName;
  TqdExceptionDataContainer* beParent;
};

class TqdExceptionDataStringValue final : public TqdExceptionDataBaseValue {
 public:
  TqdExceptionDataStringValue(const qdString& aName, const qdString& aValue, TqdExceptionDataContainer* aParent)
      : TqdExceptionDataBaseValue(aName, aParent), svValue(aValue) {}
  TqdExceptionDataKind ValueKind() const override { return edkString; }
  qdString AsString() const override { return svValue; }
  TqdVariant AsVariant() const override;
  // A text of more than one line goes below the name, each line indented.
  void AddLines(int32_t aIndent, TqdExceptionDataAddLine aAddLine, void* aContext) const override;
  qdString ValueText() const override { return svValue; }
  const char16_t* ClassName() const override { return u"TqdExceptionDataStringValue"; }

 protected:
  void WritePayload(TqdWriter& aWriter) const override;

 private:
  qdString svValue;
};

class TqdExceptionDataIntegerValue final : public TqdExceptionDataBaseValue {
 public:
  TqdExceptionDataIntegerValue(const qdString& aName, int64_t aValue, TqdExceptionDataContainer* aParent)
      : TqdExceptionDataBaseValue(aName, aParent), ivValue(aValue) {}
  TqdExceptionDataKind ValueKind() const override { return edkInteger; }
  int64_t AsInt64() const override { return ivValue; }
  TqdVariant AsVariant() const override;
  // "255 ($000000FF)"; with high bits "-1 ($FFFFFFFFFFFFFFFF, -1:4294967295)".
  qdString ValueText() const override;
  const char16_t* ClassName() const override { return u"TqdExceptionDataIntegerValue"; }

 protected:
  void WritePayload(TqdWriter& aWriter) const override;

 private:
  int64_t ivValue;
};

class TqdExceptionDataBooleanValue final : public TqdExceptionDataBaseValue {
 public:
  TqdExceptionDataBooleanValue(const qdString& aName, bool aValue, TqdExceptionDataContainer* aParent)
      : TqdExceptionDataBaseValue(aName, aParent), bvValue(aValue) {}
  TqdExceptionDataKind ValueKind() const override { return edkBoolean; }
  bool AsBoolean() const override { return bvValue; }
  TqdVariant AsVariant() const override;
  qdString ValueText() const override { return bvValue ? u"True" : u"False"; }
  const char16_t* ClassName() const override { return u"TqdExceptionDataBooleanValue"; }

 protected:
  void WritePayload(TqdWriter& aWriter) const override;

 private:
  bool bvValue;
};

class TqdExceptionDataFloatValue final : public TqdExceptionDataBaseValue {
 public:
  TqdExceptionDataFloatValue(const qdString& aName, double aValue, TqdExceptionDataContainer* aParent)
      : TqdExceptionDataBaseValue(aName, aParent), fvValue(aValue) {}
  TqdExceptionDataKind ValueKind() const override { return edkFloat; }
  double AsFloat() const override { return fvValue; }
  TqdVariant AsVariant() const override;
  qdString ValueText() const override;
  const char16_t* ClassName() const override { return u"TqdExceptionDataFloatValue"; }

 protected:
  void WritePayload(TqdWriter& aWriter) const override;

 private:
  double fvValue;
};

class TqdExceptionDataVariantValue final : public TqdExceptionDataBaseValue {
 public:
  TqdExceptionDataVariantValue(const qdString& aName, const TqdVariant& aValue, TqdExceptionDataContainer* aParent)
      : TqdExceptionDataBaseValue(aName, aParent), vvValue(aValue) {}
  TqdExceptionDataKind ValueKind() const override { return edkVariant; }
  TqdVariant AsVariant() const override { return vvValue; }
  qdString ValueText() const override;
  const char16_t* ClassName() const override { return u"TqdExceptionDataVariantValue"; }

 protected:
  void WritePayload(TqdWriter& aWriter) const override;

 private:
  TqdVariant vvValue;
};

class TqdExceptionDataContainer final : public TqdExceptionDataBaseValue, public IqdExceptionDataContainer {
 public:
  TqdExceptionDataContainer(const qdString& aName, TqdExceptionDataContainer* aParent)
      : TqdExceptionDataBaseValue(aName, aParent) {}

  TqdExceptionDataKind ValueKind() const override { return edkContainer; }
  TqdRef<IqdExceptionDataContainer> AsContainer() override;

  void AddString(const qdString& aName, const qdString& aValue) override;
  void AddInt64(const qdString& aName, int64_t aValue) override;
  void AddBoolean(const qdString& aName, bool aValue) override;
  void AddFloat(const qdString& aName, double aValue) override;
  void AddObject(const qdString& aName, TqdObject* aObject, int32_t aFlag = 0) override;
  void AddObject(const qdString& aName, const TqdStringList& aStrings, int32_t aFlag = 0) override;
  void AddVariant(const qdString& aName, const TqdVariant& aValue) override;
  void AddCardinal(const qdString& aName, uint32_t aValue) override;
  TqdRef<IqdExceptionDataContainer> AddContainer(const qdString& aName) override;
  int32_t Count() const override { return static_cast<int32_t>(dcValues.size()); }
  TqdRef<IqdExceptionDataValue> Values(int32_t aIndex) const override;
  const void* ForObject() const override { return dcForObject; }
  void SetForObject(const void* aObject) override { dcForObject = aObject; }

  void SetExcludedObjects(std::span<TqdObject* const> aExcluded);
  // Takes a value read for this container.
  void Append(TqdRef<TqdExceptionDataBaseValue> aValue);

  void AddLines(int32_t aIndent, TqdExceptionDataAddLine aAddLine, void* aContext) const override;
  qdString ValueText() const override { return qdString(); }
  const char16_t* ClassName() const override { return u"TqdExceptionDataContainer"; }

 protected:
  void WritePayload(TqdWriter& aWriter) const override;

 private:
  bool IsExcluded(const void* aObject) const;
  // The note that replaces an object already described above or excluded;
  // false when the object may be described.
  bool AddNoteInstead(const qdString& aName, const void* aIdentity);

  std::vector<TqdRef<TqdExceptionDataBaseValue>> dcValues;
  const void* dcForObject = nullptr;
  std::vector<const void*> dcExcludedObjects;
};

// Containers nested deeper than this in an encoded text are refused (15498):
// the text comes from outside and must not exhaust the stack.
inline constexpr int32_t kMaxExceptionDataDepth = 256;

// The identity of an object as ForObject and the excluded objects hold it
// (the address of the whole object).
const void* qdExceptionDataIdentity(const TqdObject* aObject);

// A new root container (no parent) for aForObject, with aExcluded as the
// objects never to describe below it.
TqdRef<IqdExceptionDataContainer> qdCreateExceptionDataContainer(const qdString& aName, TqdObject* aForObject,
                                                                 std::span<TqdObject* const> aExcluded = {});

// Rebuilds a tree from its encoded text. A text that does not start with the
// identifier "EDV" raises EqdBaseException 15498; a base64 text of a wrong
// length raises "Base64ToStr: illegal input length!"; a cut or damaged text
// raises the filer's read error or 15498.
TqdRef<IqdExceptionDataValue> qdExceptionDataFromString(const qdString& aText);

// "NULL" for null, "EMPTY" for unassigned, a string in single quotes with
// embedded quotes doubled, any other value its text; a failed conversion
// gives "[Error: <message>]".
qdString qdFormatExceptionDataVariant(const TqdVariant& aValue);

// Installs the exception data services of the error unit.
void qdllExceptionDataInitialize();
void qdllExceptionDataFinalize();

}  // namespace qd
