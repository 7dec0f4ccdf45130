#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: install what is missing, configure, build
# (warnings are errors), run every test headless.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake --preset ci
cmake --build --preset ci
ctest --preset ci
