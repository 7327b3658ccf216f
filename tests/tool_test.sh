#!/usr/bin/env bash
# The zarvel tool's outputs and exit statuses (0 ok, 1 failure, 2 usage).
# Usage: tool_test.sh PATH-TO-ZARVEL (run from the project root).
set -uo pipefail
tool=$1
failures=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# expect NAME STATUS STDOUT-REGEX STDERR-REGEX -- COMMAND...
expect() {
    local name=$1 status=$2 out_pattern=$3 err_pattern=$4
    shift 5
    "$@" >"$scratch/out" 2>"$scratch/err" </dev/null
    local got=$?
    if [[ $got != "$status" ]]; then
        echo "FAIL $name: exit status $got, expected $status"; failures=$((failures + 1)); return
    fi
    if ! grep -Eq -- "$out_pattern" "$scratch/out" && [[ -n $out_pattern ]]; then
        echo "FAIL $name: stdout '$(cat "$scratch/out")' does not match '$out_pattern'"
        failures=$((failures + 1)); return
    fi
    if ! grep -Eq -- "$err_pattern" "$scratch/err" && [[ -n $err_pattern ]]; then
        echo "FAIL $name: stderr '$(cat "$scratch/err")' does not match '$err_pattern'"
        failures=$((failures + 1)); return
    fi
    echo "ok   $name"
}

printf 'a: 1\n' >"$scratch/five.yaml"
printf 'a: \x7f\n' >"$scratch/del.yaml"
printf '\xff\xfea\x00:\x00 \x001\x00' >"$scratch/utf16.yaml"

expect version 0 '^0\.6\.32$' '' -- "$tool" version
expect version-option 0 '^0\.6\.32$' '' -- "$tool" --version
expect help 0 'check-encoding' '' -- "$tool" --help
expect help-lists-version 0 'version' '' -- "$tool" --help
expect command-help 0 '^usage: zarvel check-encoding FILE\|-$' '' -- "$tool" check-encoding --help
expect help-command 0 '^usage: zarvel version$' '' -- "$tool" help version
expect no-command 2 '' 'usage: zarvel COMMAND' -- "$tool"
expect unknown-command 2 '' "unknown command 'frobnicate'" -- "$tool" frobnicate
expect check-ascii 0 '^5$' '' -- "$tool" check-encoding "$scratch/five.yaml"
expect check-utf16 0 '^4$' '' -- "$tool" check-encoding "$scratch/utf16.yaml"
expect check-example 0 '^[0-9]+$' '' -- "$tool" check-encoding examples/config.yaml
expect check-stdin 0 '^5$' '' -- bash -c "\"$tool\" check-encoding - <\"$scratch/five.yaml\""
expect check-bad 1 '' '^ill-formed or non-printable UTF-8 at byte 3$' -- "$tool" check-encoding "$scratch/del.yaml"
expect check-missing-file 1 '' 'cannot open' -- "$tool" check-encoding "$scratch/absent.yaml"
expect check-no-argument 2 '' 'usage: zarvel check-encoding' -- "$tool" check-encoding
expect check-two-arguments 2 '' 'unexpected argument' -- "$tool" check-encoding a b
expect check-unknown-option 2 '' 'unknown option --fast' -- "$tool" check-encoding --fast "$scratch/five.yaml"
expect version-extra 2 '' 'unexpected argument' -- "$tool" version extra

# convert --to marshal: bytes shown as hex by od
hexout() { "$@" | od -An -v -tx1 | tr -d ' \n'; }
printf 'a\n---\nb\n' >"$scratch/two.yaml"
printf '<<: {a: 1}\n' >"$scratch/merge.yaml"
printf '[1, 2.5]' >"$scratch/list.json"
expect marshal-first 0 '^04087b0649220661063a0645546906$' '' -- bash -c "$(declare -f hexout); hexout \"$tool\" convert --to marshal \"$scratch/five.yaml\""
expect marshal-all 0 '^04085b0749220661063a0645544922066206' '' -- bash -c "$(declare -f hexout); hexout \"$tool\" convert --to marshal --all \"$scratch/two.yaml\""
expect marshal-json 0 '^04085b07690666' '' -- bash -c "$(declare -f hexout); hexout \"$tool\" convert --to marshal \"$scratch/list.json\""
expect marshal-yaml11 0 '^040854$' '' -- bash -c "printf 'yes' | { $(declare -f hexout); hexout \"$tool\" convert --to marshal --schema yaml11 -; }"
expect marshal-merge-key 1 '' 'merge key, timestamp or forward alias not expressible; fall back to the value walk \(status 7\)' -- "$tool" convert --to marshal "$scratch/merge.yaml"
expect marshal-not-yaml 1 '' ':2:1: ' -- bash -c "printf 'a: [\n' | \"$tool\" convert --to marshal -"
expect marshal-all-alone 2 '' '--all goes with --to marshal' -- "$tool" convert --all "$scratch/two.yaml"
expect marshal-help 0 'marshal.*--all' '' -- "$tool" convert --help

# A stream whose nodes cannot be built (3000 distinct 4 KB tags pass the
# string storage allowed for a 40 KB input) fails every output: never an
# empty one with exit status 0.
{
    printf '%%TAG !e! tag:x,2000:'; head -c 4000 /dev/zero | tr '\0' p; printf '\n---\n'
    for i in $(seq 3000); do printf -- '- !e!t%d v\n' "$i"; done
} >"$scratch/tag-bomb.yaml"
for to in json yaml cbor; do
    expect "unbuildable-to-$to" 1 '' 'tag-bomb.yaml: .*storage limit.*\(status 2\)' -- "$tool" convert --to "$to" "$scratch/tag-bomb.yaml"
done
expect unbuildable-get 1 '' 'storage limit' -- "$tool" get "$scratch/tag-bomb.yaml"
# get: jq-style paths, aliases and merge keys followed, every document queried
cat >"$scratch/get.yaml" <<'YAML'
base: &b {x: 1, y: 2}
svc:
  <<: *b
  y: 3
  ports: [80, 443]
  "k.dot": v
  ref: *b
list: [{name: a}, {name: b}]
---
doc: 2
YAML
get() { "$tool" get "$@"; }
expect get-scalar 0 '^3$' '' -- get --doc 0 "$scratch/get.yaml" .svc.y
expect get-merged 0 '^1$' '' -- get --doc 0 "$scratch/get.yaml" .svc.x
expect get-last 0 '^443$' '' -- get --doc 0 "$scratch/get.yaml" '.svc.ports[-1]'
expect get-quoted-key 0 '^v$' '' -- get --doc 0 "$scratch/get.yaml" '.svc["k.dot"]'
expect get-each 0 '^a$' '' -- get --doc 0 "$scratch/get.yaml" '.list[].name'
expect get-alias 0 '^y: 2$' '' -- get --doc 0 "$scratch/get.yaml" .svc.ref
expect get-every-doc 0 '^2$' '' -- get "$scratch/get.yaml" .doc
expect get-missing 0 '^null$' '' -- get --doc 0 "$scratch/get.yaml" .nope.deeper
expect get-missing-e 1 '^null$' '' -- get -e --doc 0 "$scratch/get.yaml" .nope
expect get-json 0 '^\{"x":1,"y":3,"ports":\[80,443\]' '' -- get -o json --compact --doc 0 "$scratch/get.yaml" .svc
expect get-old-form 0 '^443$' '' -- get "$scratch/get.yaml" svc ports 1
expect get-bad-path 2 '' "expected '.' or '\['" -- get "$scratch/get.yaml" '.a!'
expect get-json-input 0 '^2$' '' -- bash -c "printf '{\"a\": [1, 2]}' | \"$tool\" get - '.a[1]'"
expect get-json-error 1 '' '^zarvel get: -:2:5: not strict JSON' -- bash -c "printf '{\"a\":\n [1,,2]}' | \"$tool\" get - .a"
expect get-help 0 'examples:' '' -- get --help
printf 'a: &a [*a, *a]\nb: &b [*a, *a, *a, *a, *a, *a, *a, *a, *a, *a]\nc: &c [*b, *b, *b, *b, *b, *b, *b, *b, *b, *b]\nd: &d [*c, *c, *c, *c, *c, *c, *c, *c, *c, *c]\ne: &e [*d, *d, *d, *d, *d, *d, *d, *d, *d, *d]\nf: &f [*e, *e, *e, *e, *e, *e, *e, *e, *e, *e]\ng: [*f, *f, *f, *f, *f, *f, *f, *f, *f, *f]\n' | sed 's/a: &a \[\*a, \*a\]/a: \&a [x, y]/' >"$scratch/bomb9.yaml"
expect get-bomb 1 '' 'alias bomb' -- get -o json "$scratch/bomb9.yaml" .g

# convert: several inputs into one output, format by name or content, streams
printf 'a: 1\n---\nb: [1, 2]\n...\n%%YAML 1.2\n---\nc: &x 3\nd: *x\n' >"$scratch/s1.yaml"
printf '{"j": {"k": [1, "2"]}}' >"$scratch/s2.json"
printf 'a: 1\n---\nb: 2\n---\n  c: 1\n d: 2\n' >"$scratch/late-error.yaml"
convert() { "$tool" convert "$@"; }
expect convert-many 0 '^\[\{"a":1\},\{"b":\[1,2\]\},\{"c":3,"d":3\},\{"j":\{"k":\[1,"2"\]\}\}\]$' '' -- convert --to json --all "$scratch/s1.yaml" "$scratch/s2.json"
expect convert-lines 0 '^\{"c":3,"d":3\}$' '' -- convert --to json "$scratch/s1.yaml" "$scratch/s2.json"
expect convert-yaml-many 0 '^---$' '' -- convert "$scratch/s1.yaml" "$scratch/s2.json"
expect convert-json-block 0 "^  - '2'$" '' -- convert "$scratch/s2.json"
expect convert-json-flow 0 "^\{j: \{k: \[1, '2'\]\}\}$" '' -- convert --style flow "$scratch/s2.json"
expect convert-stdin-cbor 0 '^  k:$' '' -- bash -c "\"$tool\" convert --to cbor \"$scratch/s2.json\" | \"$tool\" convert -"
expect convert-stdin-json 0 '^  k:$' '' -- bash -c "\"$tool\" convert - <\"$scratch/s2.json\""
expect convert-output-file 0 '^\{"j"' '' -- bash -c "\"$tool\" convert --to json -o \"$scratch/o.json\" \"$scratch/s2.json\" && cat \"$scratch/o.json\""
expect convert-indent 0 '^        "k": \[$' '' -- convert --to json --indent 4 "$scratch/s2.json"
expect convert-late-error 1 '^b: 2' 'late-error.yaml:6:2: ' -- convert "$scratch/late-error.yaml"
expect convert-missing-input 1 '' 'cannot open' -- convert "$scratch/s1.yaml" "$scratch/absent.yaml"
expect convert-help 0 'examples:' '' -- convert --help

# convert --to json / cbor: plain data by default, YAML properties on request
printf 'a: &x 0x1F\nb: *x\nc: !Ref name\nd: {<<: {k: 1}, j: 2}\n' >"$scratch/plain.yaml"
printf 'x: [1, .inf]\n' >"$scratch/inf.yaml"
printf 'a: &a [x, x]\nb: &b [*a, *a, *a]\nc: [*b, *b, *b]\n' >"$scratch/bomb.yaml"
expect plain-json 0 '^\{"a":31,"b":31,"c":"name","d":\{"k":1,"j":2\}\}$' '' -- "$tool" convert --to json "$scratch/plain.yaml"
expect plain-json-properties 0 '&x 31,' '' -- "$tool" convert --to json --keep-properties "$scratch/plain.yaml"
expect plain-json-keep-merge 0 '"<<":\{"k":1\}' '' -- "$tool" convert --to json --keep-merge-keys "$scratch/plain.yaml"
expect plain-json-stream 0 '^\["a","b"\]$' '' -- bash -c "\"$tool\" convert --to json --all \"$scratch/two.yaml\""
expect plain-json-lines 0 '^"b"$' '' -- "$tool" convert --to json "$scratch/two.yaml"
expect plain-cbor 0 '^a4616118' '' -- bash -c "$(declare -f hexout); hexout \"$tool\" convert --to cbor \"$scratch/plain.yaml\""
expect plain-cbor-all 0 '^8261616162$' '' -- bash -c "$(declare -f hexout); hexout \"$tool\" convert --to cbor --all \"$scratch/two.yaml\""
expect plain-non-finite 1 '' 'inf.yaml: an infinity has no JSON form at \$\.x\[1\] \(line 1, column 8\)' -- "$tool" convert --to json "$scratch/inf.yaml"
expect plain-non-finite-null 0 '^\{"x":\[1,null\]\}$' '' -- "$tool" convert --to json --non-finite null "$scratch/inf.yaml"
expect plain-budget 1 '' 'alias expansion exceeds the budget of 20 output nodes' -- "$tool" convert --to json --budget 20 "$scratch/bomb.yaml"
expect plain-duplicates 1 '' 'duplicate key' -- bash -c "printf '{a: 1, a: 2}' | \"$tool\" convert --to json --duplicate-keys fail -"
expect plain-bad-flag 2 '' '--non-finite must be fail, null or string' -- "$tool" convert --to json --non-finite zero "$scratch/inf.yaml"

if ((failures)); then
    echo "$failures tool check(s) failed"
    exit 1
fi
