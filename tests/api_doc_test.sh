#!/usr/bin/env bash
# docs/API.md is current with the header, and names exactly the functions
# that libzarvel.so exports.
# Usage: api_doc_test.sh PATH-TO-libzarvel.so (run from the project root).
set -euo pipefail
library=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

python3 docs/gen_api.py >"$scratch/API.md"
if ! diff -u docs/API.md "$scratch/API.md" >"$scratch/diff"; then
    echo "docs/API.md is out of date; run: python3 docs/gen_api.py > docs/API.md"
    head -40 "$scratch/diff"
    exit 1
fi

nm -D --defined-only "$library" | awk '$2 ~ /^[TtWi]$/ {print $3}' | sed 's/@.*//' |
    grep -E '^(zarvel|zvl)_' | sort -u >"$scratch/exported"
grep -oE '^### `(zarvel|zvl)_[A-Za-z0-9_]+`' docs/API.md | tr -d '`' | sed 's/^### //' | sort -u >"$scratch/documented"
if ! diff -u "$scratch/documented" "$scratch/exported" >"$scratch/symbols"; then
    echo "documented (-) and exported (+) functions differ:"
    grep -E '^[-+][a-z]' "$scratch/symbols"
    exit 1
fi
echo "ok   $(wc -l <"$scratch/exported") exported functions, all documented"
