#!/usr/bin/env bash
# Installs what is missing, builds the release and starts the study drill.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
if [ -x build/release/app/QendoDrill ]; then
  exec build/release/app/QendoDrill "$@"
fi
echo "run.sh: the engine libraries are built; the study drill program is not part of this build yet."
