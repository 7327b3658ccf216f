#!/usr/bin/env python3
"""Writes docs/API.md from include/zarvel.h.

The header is the single source: its section markers give the families, the
comment above each declaration gives the contract. Run it after changing the
header:  python3 docs/gen_api.py > docs/API.md
"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HEADER = ROOT / "include" / "zarvel.h"

INTRO = """# zarvel API reference

Generated from `include/zarvel.h` by `docs/gen_api.py`; a test fails when the
two disagree or when a function exported by `libzarvel.so` is missing here.

## Rules that hold for every function

**Statuses.** Functions return, or write through an optional trailing
`status` pointer: 0 success; 1 failure with the reason in the calling thread's
error record (`zarvel_last_error`); 2 out of memory; 3 nesting depth limit
(1000 levels unless an option says less); 4 input encoding; 6 invalid
argument (a null object, or a null data pointer with a non-zero length).
Statuses 7, 8 and 9 are used only where a function's comment says so.
A call that fails with 6 leaves the error record untouched; a success never
clears it.

**Messages.** `zarvel_last_error(&line, &column)` returns the last failure
message of the calling thread (at most 191 characters; empty before any
failure). YAML failures carry a 1-based line and a byte column; failures
with a position in words ("not strict JSON at byte %zu", "ill-formed or
non-printable UTF-8 at byte %zu", ...) report line 0 and column 0. Default
texts by code: 0 "no error", 1 "unexpected parser state", 2 "out of
memory", 3 "nesting depth exceeds the limit", 4 "ill-formed or unsupported
character encoding", 5 "tab character used as indentation", 6 "unterminated
quoted scalar", 7 "inconsistent indentation", 8 "simple key exceeds 1024
characters", 9 "alias references an undefined anchor", 10 "invalid escape
sequence in double-quoted scalar", 11 "invalid or unsupported directive",
12 "internal invariant violation", 13 "required descriptor node missing".

**Ownership.** The caller owns every object it receives and releases it with
the matching free function (`zarvel_document_free`, `zarvel_tape_free`,
`zarvel_plan_free`, `zarvel_plan_result_free`, `zarvel_pull_free`,
`zarvel_recorder_free`, `zarvel_iterparse_free`, `zarvel_value_free`,
`zarvel_value_free_columns`); text and bytes allocated for the caller are
released with `zarvel_free`. Node handles and every pointer the read API
returns belong to their document. Documents, tapes and JSON/CBOR results
borrow the caller's input buffer wherever a text is used in place: the buffer
must stay unchanged while they live. Texts are pointer plus length and are
not NUL-terminated unless a comment says so.

**Threads.** The library starts no threads and keeps no global mutable state
beyond the kernel table, published once. A built document may be read from
many threads at once; the editing functions take no lock and must not run
concurrently with anything else on the same document. Parsers, recorders,
iterators, pull objects, tapes and plan results belong to one thread at a
time; a compiled plan may be walked from several threads. The error record
is per thread.

**Environment.** `ZVL_TRACE`, when set, makes the YAML parser write one
diagnostic line to standard error before failing on a missing separator in
a flow collection.
"""

PLAN_GRAMMAR = """
### Plan grammar

A plan is a strict JSON object; `zarvel_plan_compile` refuses with status 6
anything outside this grammar (unknown or repeated members included):

```
plan    = { "kind": "seq" | "map",          required
            "path": key | [key, ...],       optional; absent, "" or [] = the root
            "children": [column, ...] }     required, at least one column
column  = { "name": text,                   required, not empty
            "kind": "int" | "float" | "str" | "bool" }
```

Members may come in any order. A walk follows `path` key by key through
mappings (aliases followed) to the container; without a path the root must
be a sequence. The rows are the mappings directly inside that container:
the elements of a sequence or the values of a mapping; other members are
skipped. Column `name` is looked up in each row by its exact bytes. A value
fills a column when it has the column's kind: `int` an integer that fits 64
bits, `float` a float or an integer, `str` a scalar's text (the tape walk
also takes numbers and booleans as their source text), `bool` a boolean,
stored as 1 or 0 in the ints array. A missing key, a null, a collection or
a value of another kind leaves the row's null byte at 1.
"""

SECTION = re.compile(r"^/\* ==== (.+?) =+ \*/$")
MARKER = re.compile(r"^/\* -{2,} .* -{2,} \*/$")
API = re.compile(r"\bZARVEL_API\b")
NAME = re.compile(r"\b((?:zarvel|zvl)_\w+)\s*\(")
RECORD = re.compile(r"^typedef struct (\w+)\s*\{")
OPAQUE = re.compile(r"^typedef struct (\w+) \w+;")
CALLBACK = re.compile(r"^typedef .*\(\s*\*\s*(\w+)\s*\)\s*\(")
ENUM = re.compile(r"^(?:typedef\s+)?enum\s*(\w+)?\s*\{")
DEFINE = re.compile(r"^#define ((?:ZARVEL|ZVL)_\w+)\s+\S")
ENUMERATOR = re.compile(r"\b((?:ZARVEL|ZVL)_[A-Z0-9_]+)\s*=")


def until(lines, i, done):
    """The lines from i through the first one for which done(text so far) holds."""
    code = [lines[i]]
    while not done("\n".join(code)):
        i += 1
        code.append(lines[i])
    return code, i


def declaration(lines, i):
    """(kind, heading names, code lines, last index) of a declaration at line i, or None."""
    line = lines[i]
    stripped = line.strip()
    if API.search(line):
        code, i = until(lines, i, lambda t: t.rstrip().endswith(";"))
        m = NAME.search(" ".join(c.strip() for c in code).replace("ZARVEL_API", ""))
        return ("function", [m.group(1)] if m else [], code, i)
    m = RECORD.match(stripped)
    if m:
        code, i = until(lines, i, lambda t: t.splitlines()[-1].strip().startswith("}"))
        return ("record", [m.group(1)], code, i)
    m = ENUM.match(stripped)
    if m:
        code, i = until(lines, i, lambda t: re.search(r"\}\s*\w*\s*;", t) is not None)
        names = ENUMERATOR.findall("\n".join(code))
        if m.group(1):
            return ("enum", [m.group(1)], code, i)
        return ("constants", names[:1] + names[-1:] if len(names) > 1 else names, code, i)
    m = OPAQUE.match(stripped) or CALLBACK.match(stripped)
    if m:
        code, i = until(lines, i, lambda t: t.rstrip().endswith(";"))
        return ("type", [m.group(1)], code, i)
    m = DEFINE.match(stripped)
    if m:
        return ("constant", [m.group(1)], [line], i)
    return None


def parse(lines):
    """Yields (section, kind, entries, comment) in header order: a paragraph
    (kind "note", a comment followed by a blank line) or a group (kind
    "group": a comment and the declarations right below it, up to the next
    blank line or comment). entries are (kind, names, code) triples."""
    section = None
    last_section = None
    comment = []
    group = None
    i = 0

    def flush():
        nonlocal group
        if group and group[1]:
            yield section or last_section, "group", group[1], group[0]
        group = None

    while i < len(lines):
        line = lines[i]
        stripped = line.strip()
        m = SECTION.match(stripped)
        if m:
            yield from flush()
            title = m.group(1)
            section = None if title.endswith(": end") else title
            last_section = section or last_section
            comment = []
            i += 1
            continue
        if MARKER.match(stripped) or stripped.startswith("#if") or stripped.startswith("#endif") \
                or stripped in ('extern "C" {', "}") or stripped.startswith("#else"):
            i += 1
            continue
        if stripped.startswith("/*"):
            yield from flush()
            block = [line]
            while "*/" not in line:
                i += 1
                line = lines[i]
                block.append(line)
            comment = block
            i += 1
            continue
        if stripped == "":
            yield from flush()
            if comment and (section or last_section):
                yield section or last_section, "note", [], comment
            comment = []
            i += 1
            continue
        found = declaration(lines, i)
        if found and (section or last_section):
            kind, names, code, i = found
            if group is None:
                group = (comment, [])
                comment = []
            group[1].append((kind, names, code))
        i += 1
    yield from flush()


def comment_text(block):
    text = []
    for line in block:
        s = line.strip()
        s = re.sub(r"^/\*+", "", s)
        s = re.sub(r"\*+/$", "", s)
        s = re.sub(r"^\*\s?", "", s)
        if s.strip():
            text.append(s.strip())
    return " ".join(text)


def heading(kind, names):
    quoted = " … ".join(f"`{n}`" for n in names)
    return {"function": f"### {quoted}", "constants": f"### constants {quoted}"}.get(kind, f"### {kind} {quoted}")


def main():
    lines = HEADER.read_text().splitlines()
    out = [INTRO]
    current = None
    functions = []
    undocumented = []
    for section, kind, entries, comment in parse(lines):
        if section != current:
            if current and current.startswith("JSON documents and column plans"):
                out.append(PLAN_GRAMMAR)
            current = section
            out.append(f"\n## {section[0].upper() + section[1:]}\n")
        note = comment_text(comment)
        if kind == "note":
            out.append(note + "\n")
            continue
        # One heading per declared name, then the declarations together and
        # the comment that covers them all.
        out.append("\n".join(heading(k, names) for k, names, _ in entries if names) + "\n")
        out.append("```c\n" + "\n".join(c.rstrip() for _, _, code in entries for c in code) + "\n```\n")
        for k, names, _ in entries:
            if k == "function":
                functions += names
                if not note:
                    undocumented += names
        if note:
            out.append(note + "\n")
    if current and current.startswith("JSON documents and column plans"):
        out.append(PLAN_GRAMMAR)
    out.append(f"\n---\n{len(functions)} exported functions.\n")
    if undocumented:
        sys.exit("no comment above: " + ", ".join(undocumented))
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main()
