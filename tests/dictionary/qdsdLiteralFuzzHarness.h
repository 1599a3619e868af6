// The routine the literal fuzz target (tests/fuzz) and the replay of its kept
// inputs (tests/fuzz/cases/literals) share: decimal (BCD) text, BCD records
// and ISO date, time and timestamp literals come from clients, filter texts
// and stored defaults.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qd::test {

// Input: a control byte, then the text. Control bits 0-1 choose the
// separator of the BCD reader ('.', ',', the current one, the text's last
// byte unless it is a digit or '-'); bit 2 reads the text for the date literals as UTF-16 pairs instead
// of one character per byte; bits 3-7 and the text's first bytes give the
// precision, scale and digit range of the other calls. The text is read as
// BCD text (a value that reads must write and read back equal), its first
// 34 bytes as a raw BCD record, and as every date, time and timestamp
// literal. The readers may raise only what they document (EBcdException,
// EConvertError, engine exceptions); a broken round trip raises
// std::logic_error.
void FuzzLiteralInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
