#!/usr/bin/env bash
# One fuzz target: every kept regression input once, then a short run from a temporary
# copy of the seeds. Fails on any crash, leak, sanitizer report or time-out.
#   smoke.sh TARGET CORPUS_DIR REGRESSIONS_DIR [SECONDS]
set -uo pipefail
target=$1 corpus=$2 regressions=$3 seconds=${4:-${RX_FUZZ_SMOKE_SECONDS:-15}}
work=$(mktemp -d /tmp/rx-fuzz-smoke.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
  echo "== regressions: $(ls "$regressions" | wc -l) inputs"
  "$target" "$regressions"/* >regressions.log 2>&1 ||
    { tail -n 60 regressions.log; echo "== a regression input fails again"; exit 1; }
  tail -n 1 regressions.log
fi

mkdir corpus
[ -d "$corpus" ] && cp -R "$corpus"/. corpus/
echo "== fuzzing for ${seconds}s from $(ls corpus | wc -l) seeds"
"$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/" corpus >fuzz.log 2>&1
status=$?
if [ "$status" -eq 0 ]; then
  grep -E '^#[0-9]+.*DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
    fuzz.log
  exit 0
fi
tail -n 80 fuzz.log
for artifact in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
  [ -e "$artifact" ] && echo "== reproducer $(basename "$artifact") (base64):" &&
    base64 "$artifact" | head -c 4000 && echo
done
exit "$status"
