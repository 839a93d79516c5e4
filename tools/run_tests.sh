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

status=0
(cd build && ctest --output-on-failure -j2) || status=1
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/integration "$@" || status=1
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/package || status=1
exit $status
