#!/usr/bin/env bash
# The README stays true: its C example is examples/read_key.c verbatim, its
# test command is the one .ci/run runs, and the example reports each failure.
# Usage: readme_test.sh PATH-TO-example_read_key (run from the project root).
set -uo pipefail
example=$1
failures=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

awk '/^```c$/ {on = 1; next} on && /^```$/ {exit} on' README.md >"$scratch/readme.c"
diff -u examples/read_key.c "$scratch/readme.c" >/dev/null || fail "README's C example differs from examples/read_key.c"
test_command=$(grep -m1 -E '^ *cmake .*ZARVEL_BUILD_TESTS=ON.*ctest' README.md | sed 's/^ *//')
[[ -n $test_command ]] && grep -qxF "$test_command" .ci/run || fail ".ci/run does not run the README's test command"
grep -qE '^ *cmake .*-DZARVEL_BUILD_TESTS=OFF .*zarvel convert examples/config.yaml' README.md ||
    fail "README's main-job command does not build without the tests"

printf 'service:\n  listen: {port: 8080}\n' >"$scratch/good.yaml"
printf 'service:\n  listen: {host: a}\n' >"$scratch/no_key.yaml"
printf 'service:\n  listen: {port: eighty}\n' >"$scratch/not_int.yaml"
printf 'service: [a\n' >"$scratch/bad.yaml"
printf '# nothing\n' >"$scratch/empty.yaml"
# file | exit status | pattern of the output (stdout and stderr)
while IFS='|' read -r file status pattern; do
    out=$("$example" "$scratch/$file" 2>&1)
    got=$?
    [[ $got == "$status" && $out =~ $pattern ]] || fail "$file: status $got, output '$out'"
done <<'TABLE'
good.yaml|0|^service\.listen\.port = 8080$
no_key.yaml|1|no key service\.listen\.port
not_int.yaml|1|is not an integer
bad.yaml|1|bad\.yaml:[1-9][0-9]*:[0-9]+: .+ \(status 1\)
empty.yaml|1|no document
missing.yaml|1|missing\.yaml: No such file
TABLE
((failures == 0)) && echo "ok   README example and commands"
exit $((failures > 0))
