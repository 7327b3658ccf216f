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

SECTION = re.compile(r"^/\* ==== (.+?) =+ \*/$")
API = re.compile(r"\bZARVEL_API\b")
NAME = re.compile(r"\b((?:zarvel|zvl)_\w+)\s*\(")
RECORD = re.compile(r"^typedef struct (\w+)\s*\{")


def parse(lines):
    """Yields (section, kind, name, comment, code) in header order."""
    section = None
    comment = []
    i = 0
    while i < len(lines):
        line = lines[i]
        m = SECTION.match(line.strip())
        if m:
            title = m.group(1)
            section = None if title.endswith(": end") else title
            comment = []
            i += 1
            continue
        stripped = line.strip()
        if stripped.startswith("/*"):
            block = [line]
            while "*/" not in line:
                i += 1
                line = lines[i]
                block.append(line)
            comment = block
            i += 1
            continue
        if section and API.search(line):
            code = [line]
            while not code[-1].rstrip().endswith(";"):
                i += 1
                code.append(lines[i])
            text = " ".join(c.strip() for c in code)
            m = NAME.search(text.replace("ZARVEL_API", ""))
            if m:
                yield section, "function", m.group(1), comment, code
            comment = []
            i += 1
            continue
        m = RECORD.match(stripped)
        if section and m:
            code = [line]
            while not code[-1].strip().startswith("}"):
                i += 1
                code.append(lines[i])
            yield section, "record", m.group(1), comment, code
            comment = []
            i += 1
            continue
        if stripped == "":
            comment = []
        i += 1


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


def main():
    lines = HEADER.read_text().splitlines()
    out = [INTRO]
    current = None
    count = 0
    for section, kind, name, comment, code in parse(lines):
        if section != current:
            current = section
            out.append(f"\n## {section[0].upper() + section[1:]}\n")
        if kind == "function":
            count += 1
            out.append(f"### `{name}`\n")
        else:
            out.append(f"### record `{name}`\n")
        out.append("```c\n" + "\n".join(c.rstrip() for c in code) + "\n```\n")
        note = comment_text(comment)
        if note:
            out.append(note + "\n")
    out.append(f"\n---\n{count} exported functions.\n")
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main()
