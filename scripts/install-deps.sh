#!/usr/bin/env bash
# Installs the build and run dependencies that a fresh Debian machine lacks.
# Idempotent: when everything is present it only queries dpkg and exits.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang
  libgtest-dev libgmock-dev libbenchmark-dev
  libicu-dev zlib1g-dev libsqlite3-dev
  libfmt-dev libpcre2-dev ccache clang-format
  qt6-base-dev qt6-charts-dev fonts-noto-cjk
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
