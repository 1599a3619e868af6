// Index and record engines the class-list tests register, never created.
// They live in a unit of their own: the index engine's headers and the
// engine contract's header do not go into one translation unit.
#pragma once

namespace qd::test {

// Index engines "TestBlobCache" and "TestCACHEIndex" (one class),
// "TestPlainIndex", and the record engine "TestListedRecord".
void qdRegisterListTestEngines();
void qdUnregisterListTestEngines();
// Whether the index registry still holds "TestBlobCache".
bool qdIndexRegistryHoldsTestCache();

}  // namespace qd::test
