#!/usr/bin/env bash
# The folders of src/ include one another in one direction only: each folder
# includes only folders named before it in ARCHITECTURE.md's "Layer order:"
# line, and every folder is named there. Run from the project root.
set -uo pipefail
order=$(grep -m1 -oE '^Layer order: `[a-z_ <]+`' ARCHITECTURE.md | sed -E 's/^[^`]*`//; s/`$//; s/ *< */ /g')
[[ -n $order ]] || { echo "FAIL ARCHITECTURE.md has no 'Layer order:' line"; exit 1; }
declare -A rank
i=0
for folder in $order; do rank[$folder]=$((i++)); done
failures=0
for dir in src/*/; do
    folder=$(basename "$dir")
    [[ -n ${rank[$folder]+set} ]] || { echo "FAIL src/$folder is missing from the layer order"; failures=$((failures + 1)); }
done
while IFS=: read -r file line target; do
    from=$(cut -d/ -f2 <<<"$file")
    [[ $target == "$from" || -z ${rank[$from]+set} ]] && continue
    if [[ -z ${rank[$target]+set} || ${rank[$target]} -ge ${rank[$from]} ]]; then
        echo "FAIL $file:$line includes $target/, which is not below $from/"
        failures=$((failures + 1))
    fi
done < <(grep -rnoE '^#include "[a-z_]+/' src | sed -E 's/#include "//; s#/$##')
((failures == 0)) && echo "layers: $order"
exit $((failures > 0))
