#!/usr/bin/env python3
"""Every yaml-test-suite case that gives the loaded value (in.json):
`zarvel convert --to json` of in.yaml yields, document by document, JSON
texts equal to in.json. Skips (exit 77) when the suite is absent.

Usage: plain_suite_test.py ZARVEL-TOOL [CORPUS-DIR] (run from the project
root; the corpus defaults to ../shared/conformance)."""
import json
import subprocess
import sys
from pathlib import Path



def json_values(text):
    decoder, values, i = json.JSONDecoder(), [], 0
    while True:
        while i < len(text) and text[i] in " \t\r\n":
            i += 1
        if i == len(text):
            return values
        value, i = decoder.raw_decode(text, i)
        values.append(value)


def main():
    tool = sys.argv[1]
    corpus = Path(sys.argv[2] if len(sys.argv) > 2 else "../shared/conformance")
    SUITE = corpus / "yaml-test-suite"
    if not SUITE.is_dir():
        print("skipped: yaml-test-suite absent")
        return 77
    cases = sorted(p.parent for p in SUITE.glob("*/in.json") if not (p.parent / "error").exists())
    failures = []
    for case in cases:
        expected = json_values((case / "in.json").read_text(encoding="utf-8"))
        run = subprocess.run([tool, "convert", "--to", "json", str(case / "in.yaml")],
                             capture_output=True)
        try:
            got = [json.loads(line) for line in run.stdout.decode("utf-8").splitlines()]
        except ValueError as e:
            got = f"not JSON: {e}"
        if run.returncode != 0 or got != expected:
            failures.append(f"{case.name}: rc {run.returncode} {run.stderr.decode()[:200]!r} "
                            f"got {str(got)[:200]} expected {str(expected)[:200]}")
    for f in failures:
        print("FAIL", f)
    print(f"{len(cases) - len(failures)} of {len(cases)} cases equal in.json")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
