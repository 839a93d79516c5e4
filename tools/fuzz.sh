#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# a bounded time.
#
#   bash tools/fuzz.sh                    # every target, $FUZZ_SECONDS (30) s each
#   bash tools/fuzz.sh 3600 fuzz_soap_request   # one target for an hour
#
# Each target starts from its committed seeds (fuzz/corpus/<target>/) and
# its regression inputs (fuzz/regressions/<target>/) and grows a working
# corpus in build-fuzz/corpus/<target>/, kept between runs. A crashing
# input is left in build-fuzz/crashes/<target>/; once the fault is fixed,
# commit it to fuzz/regressions/<target>/ so that every test run replays
# it. Exits non-zero when a target found a crash.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${FUZZ_SECONDS:-30}}
shift || true
if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ is not installed; skipping the fuzz targets"
  exit 0
fi

built=$SECONDS
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DTORVANE_SANITIZE=address,undefined -DTORVANE_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)"
echo "fuzz: build took $((SECONDS - built)) s"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_datagram_parse fuzz_settings_file fuzz_convert_roundtrip fuzz_upgrade_engine
           fuzz_soap_request)
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
status=0
for t in "${targets[@]}"; do
  work=build-fuzz/corpus/$t
  crashes=build-fuzz/crashes/$t
  mkdir -p "$work" "$crashes"
  seeds=(fuzz/corpus/"$t")
  [ -d fuzz/regressions/"$t" ] && seeds+=(fuzz/regressions/"$t")
  echo "fuzz: $t for $seconds s"
  # The targets read the static files and auto/ relative to the repository
  # root; one job, so that the run stays within its time on a shared machine.
  # 0 s replays the seeds and regression inputs only.
  if [ "$seconds" = 0 ]; then limit=-runs=0; else limit=-max_total_time=$seconds; fi
  if ! build-fuzz/fuzz/"$t" "$limit" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$crashes/" "$work" "${seeds[@]}" \
       > "build-fuzz/$t.log" 2>&1; then
    echo "fuzz: $t FAILED; the input is in $crashes/, the log in build-fuzz/$t.log:"
    grep -E "ERROR|invariant failed|SUMMARY|Test unit written|runtime error" \
      "build-fuzz/$t.log" | head -20 || true
    status=1
  else
    grep -E "^stat::number_of_executed_units|^stat::new_units_added" "build-fuzz/$t.log" \
      | sed "s/^/fuzz: $t /" || true
  fi
done
exit $status
