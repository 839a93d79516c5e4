#!/usr/bin/env bash
# Installs, builds and runs every test (needs root for the network
# namespaces of the integration tests):
#   1. builds: build/ (plain, the demo's), build-asan/ (AddressSanitizer and
#      UndefinedBehaviorSanitizer), build-tsan/ (ThreadSanitizer);
#   2. the unit tests (CTest) of all three builds;
#   3. the integration tests against the ASan+UBSan server;
#   4. the engine's integration tests (discovery, monitor, device set,
#      upgrade) against the TSan server;
#   5. the package tests (tests/package: the Debian package built, checked,
#      installed, run in a lab namespace and purged);
#   6. the fuzz targets (tools/fuzz.sh): clang build in build-fuzz/, every
#      seed and regression input replayed, then each target for
#      $FUZZ_SECONDS seconds (default 30; 0 replays only).
# A sanitizer report of the server fails the test that started it
# (tests/integration/torvane.py). Options are passed on to pytest, for
# example: bash tools/run_tests.sh -k discovery
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
stage_start=$SECONDS
stage() {
  echo "== $1 (previous stage $((SECONDS - stage_start)) s, total $((SECONDS - started)) s)"
  stage_start=$SECONDS
}

stage "set-up and plain build"
bash tools/setup.sh --all

# The browser test drives Debian's chromium (through playwright-core, which
# setup.sh installs from npm); it is only needed for testing.
if [ ! -x /usr/bin/chromium ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -q
  apt-get -o DPkg::Lock::Timeout=600 install -y -q chromium
fi

# The package stage builds and checks the Debian package, installs it
# (services kept down), runs the installed server in a lab namespace as its
# unit would and purges it again.
pkg_stage=(debhelper dpkg-dev fakeroot lintian libjs-jquery adduser strace systemd)
missing=()
for p in "${pkg_stage[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -q
  apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}"
fi

jobs=$(nproc)
stage "sanitizer builds"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTORVANE_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j"$jobs"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$jobs"

status=0
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-second_deadlock_stack=1}
stage "unit tests: plain, ASan+UBSan, TSan"
for b in build build-asan build-tsan; do
  echo "-- $b"
  (cd "$b" && ctest --output-on-failure -j2) || status=1
done

pytest_run() {
  /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@"
}
stage "integration tests against build-asan/torvane"
TORVANE_BINARY=build-asan/torvane pytest_run tests/integration "$@" || status=1

stage "engine integration tests against build-tsan/torvane"
TORVANE_BINARY=build-tsan/torvane pytest_run tests/integration/test_discovery.py \
  tests/integration/test_monitor.py tests/integration/test_device_set.py \
  tests/integration/test_upgrade.py "$@" || status=1

stage "package tests"
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/package || status=1

stage "fuzz targets, ${FUZZ_SECONDS:-30} s each"
bash tools/fuzz.sh "${FUZZ_SECONDS:-30}" || status=1

stage "done, status $status"
exit $status
