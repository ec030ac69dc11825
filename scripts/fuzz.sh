#!/usr/bin/env bash
# Builds the fuzz preset and fuzzes every target for the given number of seconds (60
# each by default), starting from its seed corpus. What a run learns goes to
# build/fuzz/fuzz-found/<target>/; a crash, leak or time-out leaves its input there as
# build/fuzz/fuzz-found/<target>-crash-... and ends the script with status 1.
#
#   bash scripts/fuzz.sh            # every target, a minute each
#   bash scripts/fuzz.sh 3600 replies   # one target for an hour
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds="${1:-60}"
shift || true

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for corpus in fuzz/corpus/*/; do
    targets+=("$(basename "$corpus")")
  done
fi

status=0
for name in "${targets[@]}"; do
  found="build/fuzz/fuzz-found/$name"
  mkdir -p "$found"
  options=()
  if [ -f "fuzz/$name.dict" ]; then
    options+=("-dict=fuzz/$name.dict")
  fi
  echo "== $name: $seconds s"
  if ! "build/fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/fuzz-found/$name-" "${options[@]}" "$found" "fuzz/corpus/$name" \
      2>"build/fuzz/fuzz-found/$name.log"; then
    echo "   found something: see build/fuzz/fuzz-found/$name.log" >&2
    status=1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
    "build/fuzz/fuzz-found/$name.log" | sed 's/^/   /' || true
done
exit "$status"
