#!/bin/sh
# Regenerates indexes/qdllWideStringCategories_Data.cpp, the Unicode category
# table's resource, from the character data of the installed ICU. Run it
# after ICU changes; the category tests compare the table with ICU.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
${CXX:-c++} -std=c++20 -O1 -Wall -Wextra -o "$work/gen" "$root/scripts/gen-unicode-categories.cpp" \
  $(pkg-config --cflags --libs icu-uc)
"$work/gen" "$work/data.cpp"
clang-format --assume-filename="$root/indexes/qdllWideStringCategories_Data.cpp" <"$work/data.cpp" \
  >"$root/indexes/qdllWideStringCategories_Data.cpp"
echo "wrote indexes/qdllWideStringCategories_Data.cpp"
