#!/usr/bin/env bash
# Builds the wheel with pip (offline, no build isolation), installs it into a
# fresh virtual environment that sees the system's packages, and runs the
# pytest suite against the installed package.
#   run_in_venv.sh PYTHON WORK_DIR       (from the repository root)
set -euo pipefail
python=$1
work=$2
venv=$work/venv
rm -rf "$venv" "$work/dist"
"$python" -m venv --system-site-packages "$venv"
# A compiler cache makes rebuilding the library's sources nearly free.
# It is used only where it can keep its cache (a writable home or CCACHE_DIR).
if [[ -z "${CC:-}" ]] && command -v ccache >/dev/null 2>&1 && [[ -w "${CCACHE_DIR:-${HOME:-/nonexistent}}" ]]; then
    export CC="ccache gcc"
fi
export ZARVEL_PYTHON_BUILD_DIR=$work/pip-build
"$venv/bin/pip" wheel --no-build-isolation --no-deps --no-index -q -w "$work/dist" .
"$venv/bin/pip" install --no-index -q "$work"/dist/zarvel-*.whl
cd python/tests
"$venv/bin/python" -m pytest -q -p no:cacheprovider .
