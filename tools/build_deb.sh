#!/usr/bin/env bash
# Builds the Debian package torvane_<version>_<arch>.deb from a clean copy
# of this tree (dpkg-buildpackage with debian/) and puts it into OUTDIR,
# build/deb by default. Run as root on Debian 12: installs what the build
# needs with apt-get when it is missing.
#
#   bash tools/build_deb.sh [OUTDIR]
#
# The unit tests run during the build unless DEB_BUILD_OPTIONS holds
# nocheck (tools/run_tests.sh runs them on their own).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/deb}")

PACKAGES=(debhelper dpkg-dev fakeroot cmake g++ make gsoap libgsoap-dev libgtest-dev)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -q
  apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}"
fi

work=$(mktemp -d /tmp/torvane-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
# The sources as they are, without build outputs, npm's files or git.
tar --exclude=./build --exclude=./node_modules --exclude=./.git --exclude='./obj-*' \
    --exclude=./debian/torvane --exclude=./debian/.debhelper --exclude=./debian/files \
    --exclude='__pycache__' --exclude=./tools/js_client/jquery.js -cf - . \
  | tar -xf - -C "$work" --one-top-level=torvane

profiles=()
case " ${DEB_BUILD_OPTIONS:-} " in *" nocheck "*) profiles=(-Pnocheck) ;; esac
(cd "$work/torvane" && dpkg-buildpackage -b -us -uc "${profiles[@]}")

mkdir -p "$out"
cp "$work"/torvane_*.deb "$out"/
ls "$out"/torvane_*.deb
