#!/usr/bin/env bash
# Installs, builds and runs every test: the unit tests (CTest) and the
# integration tests, which drive the built server inside network
# namespaces of their own (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh --all

# The browser test drives Debian's chromium (through playwright-core, which
# setup.sh installs from npm); it is only needed for testing.
if [ ! -x /usr/bin/chromium ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q chromium
fi

status=0
(cd build && ctest --output-on-failure -j2) || status=1
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/integration "$@" || status=1
exit $status
