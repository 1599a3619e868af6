#include "sql/qdSql.h"

#include "sql/language/qdsqlTokenizer.h"

namespace qd {

void InitializeSql() { qdsqlTokenizerInitialize(); }

void FinalizeSql() { qdsqlTokenizerFinalize(); }

}  // namespace qd
