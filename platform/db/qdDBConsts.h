// The dataset framework's messages, in one table. Texts with %s/%d take
// their arguments through Format. The field-type mismatch text is the one
// the client datasets show and stays as it is.
#pragma once

namespace qd::dbconsts {

inline constexpr char16_t SDataSetClosed[] = u"Cannot perform this operation on a closed dataset";
inline constexpr char16_t SDataSetOpen[] = u"Cannot perform this operation on an open dataset";
inline constexpr char16_t SDataSetEmpty[] = u"Cannot perform this operation on an empty dataset";
inline constexpr char16_t SDataSetUnidirectional[] = u"Operation not allowed on a unidirectional dataset";
inline constexpr char16_t SDataSetReadOnly[] = u"Cannot modify a read-only dataset";
inline constexpr char16_t SNotEditing[] = u"Dataset not in edit or insert mode";
inline constexpr char16_t SRecordNotFound[] = u"Record not found";
inline constexpr char16_t SFieldNotFound[] = u"Field '%s' not found";
inline constexpr char16_t SFieldRequired[] = u"Field '%s' must have a value";
inline constexpr char16_t SFieldReadOnly[] = u"Field '%s' cannot be modified";
inline constexpr char16_t SFieldAccessError[] = u"Cannot access field '%s' as type %s";
inline constexpr char16_t SFieldRangeError[] = u"%d is not a valid value for field '%s'. The allowed range is %d to %d";
inline constexpr char16_t SFieldTypeMismatch[] = u"フィールド '%s' の型が一致しません。%s が必要ですが実際は %s です";
inline constexpr char16_t SFieldValueError[] = u"Invalid value for field '%s'";
inline constexpr char16_t SNotBlobStream[] = u"Field '%s' has no BLOB stream";
inline constexpr char16_t SFieldDefNotFound[] = u"Field definition '%s' not found";
inline constexpr char16_t SIndexNotFound[] = u"Index '%s' not found";
inline constexpr char16_t SNoIndexForFields[] = u"No index for fields '%s'";
inline constexpr char16_t SParameterNotFound[] = u"Parameter '%s' not found";
inline constexpr char16_t SCircularDataLink[] = u"Circular data link with data source [%s]";
inline constexpr char16_t SNoProviderSupport[] = u"Provider support not available";
inline constexpr char16_t SInvalidBookmark[] = u"Invalid bookmark";

// The filter parser's texts; the position is the 1-based character index.
inline constexpr char16_t SExprMissingOperand[] = u"Operand expected at position %d";
inline constexpr char16_t SExprMissingParen[] = u"Missing closing parenthesis at position %d";
inline constexpr char16_t SExprUnknownField[] = u"Field '%s' not found at position %d";
inline constexpr char16_t SExprFieldNotUsable[] = u"Field '%s' cannot be used in a filter at position %d";
inline constexpr char16_t SExprUnterminatedString[] = u"Unterminated string at position %d";
inline constexpr char16_t SExprInvalidChar[] = u"Invalid character at position %d";
inline constexpr char16_t SExprExpectedEnd[] = u"Unexpected text at position %d";
inline constexpr char16_t SExprBadValue[] = u"'%s' is not a valid value for field '%s' at position %d";
inline constexpr char16_t SExprExpectedNull[] = u"NULL expected at position %d";
inline constexpr char16_t SLocateValueError[] = u"Invalid locate value for field '%s'";

}  // namespace qd::dbconsts
