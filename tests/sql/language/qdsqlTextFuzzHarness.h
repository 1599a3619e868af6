// The routine the SQL text fuzz target (tests/fuzz) and the replay of its
// kept inputs (tests/fuzz/cases/sql_text) share: SQL texts come from
// clients, stored routines and filter expressions, and the tokenizer must
// take any of them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qd::test {

// Input: a control byte, then the text as UTF-16LE units (an odd last byte
// is ignored). Control bit 0 keeps comment tokens, bit 1 white-space
// tokens. The text is tokenized and the list checked: every token lies
// inside the text, in order and without overlap; only the end-of-text token
// is empty, and a successful scan ends with it; the start and end lines and
// columns agree with a count over the text; keywords are exactly the words
// the reserved-word test says; with both bits set a successful scan covers
// the text up to its end without a gap. A broken check raises
// std::logic_error; the tokenizer itself must not throw.
void FuzzSqlTextInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
