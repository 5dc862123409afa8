#!/usr/bin/env bash
# The whole test suite, under CPython and under PyPy, on a new machine too:
# installs what it needs (Debian's PyPy, each interpreter's test packages),
# installs the package with pip into one virtual environment per interpreter
# and runs pytest there.  Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v pypy3 >/dev/null 2>&1 || ! dpkg -s pypy3-dev pypy3-venv >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pypy3 pypy3-dev pypy3-venv >/dev/null
fi

run_suite() {
  local name=$1 interpreter=$2 requirements=$3
  local venv=.venv/$name
  echo "== $name: $("$interpreter" --version 2>&1 | head -n 1)"
  [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps .
  # -m "": the slow tests too, which a plain pytest run leaves out.
  "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "" "${@:4}"
}

# The whole run (no pytest arguments) draws 10^6 arguments per property test
# of the batch kernels instead of a few thousand (tests/test_batch_kernels.py).
if [ $# -eq 0 ]; then
  export TAVLOMER_FULL_PROPERTY_RUNS=1
fi

run_suite cpython python3 tests/requirements-cpython.txt "$@"
run_suite pypy pypy3 tests/requirements-pypy.txt "$@"

# The C++ layout (.clang-format), with the formatter pinned in the CPython
# requirements; `bash scripts/check_format.sh --fix` mends any drift.
echo "== format"
bash scripts/check_format.sh

# ---- Reliability: native fuzzing and the sanitized suite ---------------------
# Only for the whole run (no pytest arguments): the libFuzzer harnesses for a
# bounded time each (scripts/fuzz.sh), then the whole suite under CPython
# against an AddressSanitizer + UndefinedBehaviorSanitizer build
# (scripts/sanitize.sh).  README, section Reliability.
if [ $# -eq 0 ]; then
  echo "== native fuzzing"
  bash scripts/fuzz.sh
  bash scripts/sanitize.sh
fi
