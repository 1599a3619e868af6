// The routine the settings-stream fuzz target (tests/fuzz) and the replay of
// its kept inputs (tests/fuzz/cases/settings_stream) share: the server
// engine's and the alias handler's settings come back from a stored settings
// set, which is untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qd {
class TqdServerEngine;
class TqdSimpleAliasHandler;
}  // namespace qd

namespace qd::test {

// The first byte picks the loader: even for the server engine, odd for the
// simple alias handler. The rest is what the component reads after its
// name: the harness writes the version and the component's own name in
// front, since a name that is not the component's is a caller's fault and
// fails an assertion by design.
//
// A damaged stream may raise an engine exception or the filer's read error
// (both swallowed); settings that load are written again, loaded into a
// fresh component and written once more, and both writes must agree. A
// broken promise raises std::logic_error; anything else that escapes is a
// fault. The process-wide journal engine class, which the engine's settings
// set, is put back after every input.
void FuzzSettingsStreamInput(const uint8_t* aData, size_t aSize);

// The input that loads the settings aComponent saves (it is renamed to the
// name the harness gives its component of that class first).
std::vector<uint8_t> SettingsStreamInput(TqdServerEngine& aComponent);
std::vector<uint8_t> SettingsStreamInput(TqdSimpleAliasHandler& aComponent);

}  // namespace qd::test
