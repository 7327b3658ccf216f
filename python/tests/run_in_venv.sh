#!/usr/bin/env bash
# Builds the wheel with pip (offline, no build isolation), installs it into a
# fresh virtual environment that sees the system's packages, and runs the
# pytest suite against the installed package.
#   run_in_venv.sh PYTHON WORK_DIR       (from the repository root)
set -euo pipefail
python=$1
work=$2
venv=$work/venv
rm -rf "$venv" "$work/dist" "$work/sdist"
"$python" -m venv --system-site-packages "$venv"
# A compiler cache makes rebuilding the library's sources nearly free.
# It is used only where it can keep its cache (a writable home or CCACHE_DIR).
if [[ -z "${CC:-}" ]] && command -v ccache >/dev/null 2>&1 && [[ -w "${CCACHE_DIR:-${HOME:-/nonexistent}}" ]]; then
    export CC="ccache gcc"
fi
export ZARVEL_PYTHON_BUILD_DIR=$work/pip-build
"$venv/bin/pip" wheel --no-build-isolation --no-deps --no-index -q -w "$work/dist" .
"$venv/bin/pip" install --no-index -q "$work"/dist/zarvel-*.whl
# The source archive must hold everything the extension compiles, so that it
# builds offline from the archive alone.
# (Its own build folder: a manifest left by an earlier run would hide a gap.)
ZARVEL_PYTHON_BUILD_DIR=$work/sdist/build "$venv/bin/python" setup.py -q sdist -d "$work/sdist" >/dev/null 2>&1
"$venv/bin/python" - "$work"/sdist/zarvel-*.tar.gz <<'CHECK'
import glob, os, sys, tarfile
with tarfile.open(sys.argv[1]) as archive:
    names = {n.split("/", 1)[1] for n in archive.getnames() if "/" in n}
needed = [p for d in ("src", "include") for p in glob.glob(d + "/**/*.*", recursive=True)]
needed += ["setup.py", "pyproject.toml", "python/build_ext.py", "python/zarvel.map", "python/zarvel/_zarvel.cpp",
           "python/zarvel/__init__.py", "python/zarvel/__init__.pyi"]
missing = sorted(set(needed) - names)
if missing:
    sys.exit("the source archive lacks: " + ", ".join(missing))
CHECK
cd python/tests
"$venv/bin/python" -m pytest -q -p no:cacheprovider .
