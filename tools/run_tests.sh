#!/usr/bin/env bash
# Installs, builds and runs every test: the unit tests (CTest) and the
# integration tests, which drive the built server inside network
# namespaces of their own (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

status=0
(cd build && ctest --output-on-failure -j2) || status=1
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/integration "$@" || status=1
exit $status
