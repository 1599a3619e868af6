#!/usr/bin/env bash
# Installs what is missing, builds the tests and runs every one of them.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
preset="${QD_TEST_PRESET:-relassert}"
cmake --preset "$preset" -DQD_WERROR=ON >/dev/null
cmake --build --preset "$preset"
ctest --test-dir "build/$preset" --output-on-failure -j"$(nproc)"
