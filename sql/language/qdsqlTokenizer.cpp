#include "sql/language/qdsqlTokenizer.h"

#include <array>
#include <exception>

#include "platform/qdSysUtils.h"

namespace qd {

namespace {

constexpr int32_t kEof = 0;
constexpr int32_t kIdentifier = 1;
constexpr int32_t kFloat = 2;
constexpr int32_t kInteger = 3;
constexpr int32_t kString = 4;
constexpr int32_t kQuotedTempName = 5;
constexpr int32_t kQuotedName = 6;
constexpr int32_t kBinary = 7;
constexpr int32_t kSlashComment = 8;
constexpr int32_t kDashComment = 9;
constexpr int32_t kBlockComment = 10;
constexpr int32_t kWhiteSpace = 11;
constexpr int32_t kNoToken = -1;

// The symbol table by rows of codes; a symbol's code is its position, names
// are separated by single spaces (no name holds one).
constexpr const char16_t* kSymbolRows[] = {
    u"<eof> <identifier> <float_literal> <unsigned_integer_literal> <character_string_literal> "
    u"<quoted_temp_name>",                                                                              // 0
    u"<quoted_name> <bracketed_binary_string_literal> <comment1> <comment2> <comment3> <white_space>",  // 6
    u"%% :: <= >= <> || % & / ; ? : . = ) ( * < > , + -",                                               // 12
    u"COUNT ALL DISTINCT MIN MAX SUM AVG MED WINSORIZED_MEAN WINSORIZED_MEAN_TOP",                      // 34
    u"WINSORIZED_MEAN_BOTTOM STD LIST ANY SOME ALTER SYSTEMPASSWORD TO IF EXISTS",                      // 44
    u"WITH BESTFIT IGNORE TABLE COLUMN SET DEFAULT DROP CONSTRAINT NOT",                                // 54
    u"NULL CAST AS AUTOINC ASSERT ORDER EMPTY PRIMARY UNIQUE CHECK",                                    // 64
    u"REFERENCES ON UPDATE DELETE BETWEEN AND TRUE FALSE UNKNOWN LEAVE",                                // 74
    u"START COMMIT ROLLBACK ELSE END OR ITERATE CREATE MEMORY ALIAS",                                   // 84
    u"FROM PATH SCRIPT NET ASSEMBLY AUTHORIZATION FUNCTION RETURNS RETURN EXTERNAL",                    // 94
    u"IN OUT INOUT LANGUAGE SQL DETERMINISTIC NO CONTAINS READS MODIFIES",                              // 104
    u"CALLED PROCEDURE INDEX GLOBAL LOCAL CHARACTER LOCALE LIKE TRIGGER INSERT",                        // 114
    u"OF REFERENCING ROW FOR EACH WHEN NONE PASSWORDS ENABLE DISABLE",                                  // 124
    u"TEXT LARGE CHAR CLOB SHORTSTRING VARYING VARCHAR SINGLECHAR NULLSTRING NCHAR",                    // 134
    u"NVARCHAR NATIONAL NTEXT NCLOB NSINGLECHAR COLLATE BLOB BINARY IMAGE BYTEARRAY",                   // 144
    u"TINYINT BYTE WORD DWORD INT INTEGER SMALLINT SHORTINT LARGEINT BIGINT",                           // 154
    u"FLOAT REAL DOUBLE PRECISION EXTENDED MONEY NUMERIC DECIMAL DEC DATETIME",                         // 164
    u"TIMESTAMP DATE TIME BOOL BOOLEAN RECREV GUID DECLARE CURSOR FETCH",                               // 174
    u"INTO WHERE CALL EXECUTE IMMEDIATE STARTS THEN ELSEIF CASE VALUES",                                // 184
    u"INTERVAL IS CROSS JOIN NATURAL INNER LEFT RIGHT FULL USING",                                      // 194
    u"ESCAPE SIMILAR MATCH INTERSECT REPEAT UNTIL GROUP SIGNAL EXTRACT YEAR",                           // 204
    u"MONTH DAY CHARACTER_LENGTH CHAR_LENGTH OCTET_LENGTH COALESCE NULLIF POSITION SUBSTRING OVERLAY",  // 214
    u"SYSTEM_ROW# TRIM LEADING TRAILING BOTH SELECT BY HAVING DEFAULT_ALIAS BEGIN",                     // 224
    u"ATOMIC FOREIGN UNION EXCEPT TRY CATCH WHILE DO HOUR MINUTE SECOND",                               // 234
    u"#B #F #I #L #OPT #S #T #V ABSOLUTE ACCESS",                                                       // 245
    u"ADD ADMIN AFTER APR APRIL ASC AUG AUGUST BCD BEFORE",                                             // 255
    u"BLOCK BLOCKSIZE CASCADE CHARACTERS CLOSE CLR CODEPAGE COLLATION CURRENT CURRENT_DATE",            // 265
    u"CURRENT_DATETIME CURRENT_TIME CURRENT_TIMESTAMP CURRENT_USER DATA DAYOFYEAR DECEMBER DESC DESCRIPTION "
    u"ENCRYPT",                                                                                     // 275
    u"ENCRYPTION ENFORCE ENGINE FEB FEBRUARY FIRST FMTBCD FOLDERS FR FRI",                          // 285
    u"FRIDAY GROW GROWSIZE INACTIVE INITIAL INITIALSIZE INPUT ISODATE ISODAYOFMONTH ISODAYOFWEEK",  // 295
    u"ISODAYOFYEAR ISOMONTH ISOWEEK ISOWEEKOFMONTH ISOYEAR JAN JANUARY JUL JULY JUN",               // 305
    u"JUNE KANA KEY LAST LOCALTIME LOCALTIMESTAMP LOGMESSAGE MAR MARCH MAY",                        // 315
    u"MO MON MONDAY N NAME NEW NEWGUID NEXT NEXTLSN NONSPACE",                                      // 325
    u"NORESTRICT NOV NOVEMBER NULLS OBJECT OCT OCTETS OCTOBER OLD ONLY",                            // 335
    u"OPEN OUTER OVERFLOW PARTIAL PASSWORD PERCENT PLACING PREV PRIOR QUARTER",                     // 345
    u"READ RELATIVE REMOVE RENAME RESTRICT ROUTINE SA SAT SATURDAY SEP",                            // 355
    u"SEPTEMBER SERIALIZABLE SESSION_USER SIMPLE SIZE SNAPSHOT SORT STORAGE STRING SU",             // 365
    u"SUN SUNDAY SYMBOLS TABLES TEMPORARY TH THU THUR THURSDAY TOP",                                // 375
    u"TRANSACTION TU TUE TUES TUESDAY TYPE U UESCAPE USE USER",                                     // 385
    u"VIEW WE WED WEDNESDAY WIDTH WORK WRITE X",                                                    // 395
};

struct TSymbolTable {
  std::array<qdString, qdSqlSymbolCount> Names;
  TTernaryTree Keywords;
};

TSymbolTable* gSymbols = nullptr;

bool isLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c >= 127 || c == u'!' || c == u'#' || c == u'$' ||
         c == u'\\' || c == u'^' || c == u'_' || c == u'`' || c == u'{' || c == u'}' || c == u'~';
}

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool isHexDigit(char16_t c) { return isDigit(c) || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f'); }

bool isWhiteSpace(char16_t c) { return c == 9 || c == 10 || c == 13 || c == 32; }

// What may stand between double quotes: no control character, no quote of
// either kind, none of * , / ; < = > ? | and the grave accent, nothing of
// code 127 and above.
bool isNameChar(char16_t c) {
  if (c < 32 || c >= 127) return false;
  switch (c) {
    case u'"':
    case u'\'':
    case u'*':
    case u',':
    case u'/':
    case u';':
    case u'<':
    case u'=':
    case u'>':
    case u'?':
    case u'|':
    case u'`':
      return false;
    default:
      return true;
  }
}

// Keywords begin with A-Y or "#": no other word is looked up.
bool mayBeKeyword(char16_t c) { return (c >= u'A' && c <= u'Y') || (c >= u'a' && c <= u'y') || c == u'#'; }

const TSymbolTable& symbols() {
  if (gSymbols == nullptr) qdAssertFailed("qdsqlTokenizer", "the symbol table is made at start-up");
  return *gSymbols;
}

}  // namespace

// --- Start and end -----------------------------------------------------------------

void qdsqlTokenizerInitialize() {
  if (gSymbols != nullptr) return;
  auto table = std::make_unique<TSymbolTable>();
  size_t code = 0;
  for (const char16_t* row : kSymbolRows) {
    const qdStringView names(row);
    size_t from = 0;
    while (from <= names.size()) {
      size_t to = names.find(u' ', from);
      if (to == qdStringView::npos) to = names.size();
      if (code >= table->Names.size()) qdAssertFailed("qdsqlTokenizer", "the symbol table holds 403 names");
      table->Names[code++] = qdString(names.substr(from, to - from));
      from = to + 1;
    }
  }
  if (code != table->Names.size()) qdAssertFailed("qdsqlTokenizer", "the symbol table holds 403 names");
  for (int32_t i = qdSqlFirstReservedWord; i < qdSqlSymbolCount; ++i) table->Keywords.InsertStr(table->Names[i], i);
  gSymbols = table.release();
}

void qdsqlTokenizerFinalize() {
  delete gSymbols;
  gSymbols = nullptr;
}

const qdString& qdSqlSymbolName(int32_t aCode) {
  static const qdString none;
  if (aCode < 0 || aCode >= qdSqlSymbolCount) return none;
  return symbols().Names[aCode];
}

int32_t qdSqlKeywordCode(qdStringView aWord) { return symbols().Keywords.SearchUC(aWord); }

bool qdIsSqlReservedWord(qdStringView aWord) {
  const int32_t code = qdSqlKeywordCode(aWord);
  return code >= qdSqlFirstReservedWord && code <= qdSqlLastReservedWord;
}

// --- TqdSQLTokenizer ----------------------------------------------------------------

bool TqdSQLTokenizer::Tokenize(const char16_t* Buffer, size_t Size, bool IncludeComments, bool IncludeWhitespace,
                               std::unique_ptr<TTokenList>& Tokens) {
  try {
    Tokens.reset();
    if (Size > static_cast<size_t>(INT32_MAX)) {
      Tokens = std::make_unique<TTokenList>(qdString());
      return false;
    }
    Tokens = std::make_unique<TTokenList>(Size == 0 ? qdString() : qdString(Buffer, Size));
    const qdString& text = Tokens->Source();
    // The text ends at its first character of code 0.
    ResetCursor(qdStringView(text).substr(0, text.find(u'\0')));
    return Scan(*Tokens, IncludeComments, IncludeWhitespace);
  } catch (...) {
    return false;
  }
}

bool TqdSQLTokenizer::Scan(TTokenList& aTokens, bool IncludeComments, bool IncludeWhitespace) {
  for (;;) {
    MarkStart();
    if (AtEnd()) {
      AddToken(aTokens, kEof);
      return true;
    }
    const char16_t c = *CurPtr;
    int32_t code = kNoToken;
    if (isWhiteSpace(c)) {
      while (!AtEnd() && isWhiteSpace(*CurPtr)) Advance();
      if (IncludeWhitespace) AddToken(aTokens, kWhiteSpace);
      continue;
    }
    if (isLetter(c) || c == u'@') {
      code = ScanIdentifier();
    } else if (isDigit(c)) {
      code = ScanNumber();
    } else {
      switch (c) {
        case u'.':
          Advance();
          code = isDigit(CurChar()) && ScanFloatTail() ? kFloat : 24;
          break;
        case u'\'':
          if (!ScanString()) return false;
          code = kString;
          break;
        case u'"':
          code = ScanQuotedName();
          break;
        case u'[':
          if (!ScanBinary()) return false;
          code = kBinary;
          break;
        case u'-':
          if (Peek(1) == u'-') {
            ScanLineComment();
            if (IncludeComments) AddToken(aTokens, kDashComment);
            continue;
          }
          Advance();
          code = 33;
          break;
        case u'/':
          if (Peek(1) == u'/') {
            ScanLineComment();
            if (IncludeComments) AddToken(aTokens, kSlashComment);
            continue;
          }
          if (Peek(1) == u'*' && ScanBlockComment()) {
            if (IncludeComments) AddToken(aTokens, kBlockComment);
            continue;
          }
          Advance();
          code = 20;
          break;
        case u'%':
          Advance();
          code = MatchChar(u'%') ? 12 : 18;
          break;
        case u':':
          Advance();
          code = MatchChar(u':') ? 13 : 23;
          break;
        case u'<':
          Advance();
          code = MatchChar(u'=') ? 14 : MatchChar(u'>') ? 16 : 29;
          break;
        case u'>':
          Advance();
          code = MatchChar(u'=') ? 15 : 30;
          break;
        case u'|':
          Advance();
          if (!MatchChar(u'|')) return false;
          code = 17;
          break;
        case u'&':
          code = 19;
          break;
        case u';':
          code = 21;
          break;
        case u'?':
          code = 22;
          break;
        case u'=':
          code = 25;
          break;
        case u')':
          code = 26;
          break;
        case u'(':
          code = 27;
          break;
        case u'*':
          code = 28;
          break;
        case u',':
          code = 31;
          break;
        case u'+':
          code = 32;
          break;
        default:
          return false;
      }
      // The one-character operators have not been consumed yet.
      if (CurPtr == StartPtr && code != kNoToken) Advance();
    }
    if (code == kNoToken) return false;
    AddToken(aTokens, code);
  }
}

int32_t TqdSQLTokenizer::ScanIdentifier() {
  const char16_t first = *CurPtr;
  Advance();
  while (!AtEnd() && (isLetter(*CurPtr) || isDigit(*CurPtr) || *CurPtr == u'@')) Advance();
  if (!mayBeKeyword(first)) return kIdentifier;
  const int32_t code = symbols().Keywords.SearchUC(qdStringView(StartPtr, static_cast<size_t>(CurPtr - StartPtr)));
  return code == 0 ? kIdentifier : code;
}

int32_t TqdSQLTokenizer::ScanNumber() {
  while (isDigit(CurChar())) Advance();
  if (MatchChar(u'.')) {
    while (isDigit(CurChar())) Advance();
    (void)ScanExponent();  // optional after a fraction
    return kFloat;
  }
  return ScanExponent() ? kFloat : kInteger;
}

// After the point: one or more digits and an optional exponent.
bool TqdSQLTokenizer::ScanFloatTail() {
  if (!isDigit(CurChar())) return false;
  while (isDigit(CurChar())) Advance();
  (void)ScanExponent();  // optional after a fraction
  return true;
}

// E or e, an optional sign and at least one digit; nothing is consumed when
// that does not follow.
bool TqdSQLTokenizer::ScanExponent() {
  PushPos();
  if (MatchChar(u'E') || MatchChar(u'e')) {
    if (!MatchChar(u'+')) (void)MatchChar(u'-');  // the sign is optional
    if (isDigit(CurChar())) {
      while (isDigit(CurChar())) Advance();
      PopPos(true);
      return true;
    }
  }
  PopPos(false);
  return false;
}

// A doubled quote stands for one quote and does not end the text.
bool TqdSQLTokenizer::ScanString() {
  Advance();
  while (!AtEnd()) {
    if (MatchChar(u'\'')) {
      if (!MatchChar(u'\'')) return true;
    } else {
      Advance();
    }
  }
  return false;
}

int32_t TqdSQLTokenizer::ScanQuotedName() {
  Advance();
  PushPos();
  if (MatchChar(u'<')) {
    while (isNameChar(CurChar())) Advance();
    if (MatchChar(u'>') && MatchChar(u'"')) {
      PopPos(true);
      return kQuotedTempName;
    }
  }
  PopPos(false);
  while (isNameChar(CurChar())) Advance();
  return MatchChar(u'"') ? kQuotedName : kNoToken;
}

// One or more pairs of hexadecimal digits, then "]".
bool TqdSQLTokenizer::ScanBinary() {
  Advance();
  int32_t pairs = 0;
  while (isHexDigit(CurChar()) && isHexDigit(Peek(1))) {
    AdvanceBy(2);
    ++pairs;
  }
  return pairs > 0 && MatchChar(u']');
}

// To and including the first carriage return or line feed, or to the end
// of the text: client texts end their lines either way, and a comment on
// the last line must not run as SQL.
void TqdSQLTokenizer::ScanLineComment() {
  AdvanceBy(2);
  while (!AtEnd()) {
    const char16_t c = *CurPtr;
    Advance();
    if (c == u'\r' || c == u'\n') return;
  }
}

// Up to and including the first "*/"; without one there is no comment and
// nothing is consumed.
bool TqdSQLTokenizer::ScanBlockComment() {
  PushPos();
  AdvanceBy(2);
  while (!AtEnd()) {
    if (*CurPtr == u'*' && Peek(1) == u'/') {
      AdvanceBy(2);
      PopPos(true);
      return true;
    }
    Advance();
  }
  PopPos(false);
  return false;
}

}  // namespace qd
