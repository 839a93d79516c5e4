#!/usr/bin/env bash
# Installs what the server, its tests and its demo need on Debian 12 (as
# root), then builds into build/. Safe to run again: it installs only what
# is missing and rebuilds only what changed.
#
#   bash tools/setup.sh         what the demo needs: the server, torvane-ecf, torvanectl
#   bash tools/setup.sh --all   everything, unit tests and test tools included
set -euo pipefail
cd "$(dirname "$0")/.."

all=0
if [ "${1:-}" = "--all" ]; then all=1; fi

# clang and its runtime (libFuzzer, sanitizers) build the fuzz targets.
PACKAGES=(g++ cmake make gsoap libgsoap-dev libgtest-dev libicu-dev python3 python3-pytest
          iproute2 socat procps tftpd-hpa tftp-hpa libcli11-dev nlohmann-json3-dev jq
          nginx-light clang libclang-rt-14-dev)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Installing tftpd-hpa or nginx-light would start a server on this machine; the
  # tests and benchmarks run their own inside network namespaces, so keep services down.
  made_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    made_policy=1
    # Removed however the install ends.
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get -o DPkg::Lock::Timeout=600 update -q
  apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}"
  if [ "$made_policy" = 1 ]; then rm -f /usr/sbin/policy-rc.d; trap - EXIT; fi
fi

# The browser client's jQuery comes from the npm registry, never from git.
if ! command -v npm >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -q
  apt-get -o DPkg::Lock::Timeout=600 install -y -q nodejs npm
fi
# playwright-core drives the browser in the tests only.
if [ ! -f node_modules/jquery/dist/jquery.min.js ]; then
  if [ "$all" = 1 ]; then
    npm install --no-audit --no-fund --loglevel=error
  else
    npm install --omit=dev --no-audit --no-fund --loglevel=error
  fi
elif [ "$all" = 1 ] && [ ! -d node_modules/playwright-core ]; then
  npm install --no-audit --no-fund --loglevel=error
fi
mkdir -p tools/js_client auto
cp node_modules/jquery/dist/jquery.min.js tools/js_client/jquery.js

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(--target torvane torvane-ecf torvanectl)
if [ "$all" = 1 ]; then targets=(); fi
cmake --build build -j"$(nproc)" "${targets[@]}"
