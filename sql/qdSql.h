// Start and end of the SQL layer: runs the start-up work of the units of
// sql/expressions, sql/query and sql/language in that order (symbol tables,
// node classes registered by name), and their shut-down in reverse.
#pragma once

namespace qd {

void InitializeSql();
void FinalizeSql();

}  // namespace qd
