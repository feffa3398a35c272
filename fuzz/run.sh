#!/usr/bin/env bash
# Runs the fuzz target for a number of seconds from the kept corpus, prints libFuzzer's
# summary, the executions run and the coverage reached, and fails on any finding.
#
#   fuzz/run.sh [SECONDS] [--merge] [--reader]
#
# --reader fuzzes the log reader and the header alone (build/fuzz/dismora_fuzz_reader),
# which runs far more inputs a second than the whole-run target.
#
# New inputs collect in build/fuzz/work; findings in build/fuzz/findings. With --merge,
# the inputs that reach coverage the kept corpus does not are added to fuzz/corpus
# (minimised), which `make test` replays.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=300
merge=0
target=build/fuzz/dismora_fuzz
work=build/fuzz/work
findings=build/fuzz/findings
for argument in "$@"; do
    case $argument in
        --merge) merge=1 ;;
        --reader) target=build/fuzz/dismora_fuzz_reader work=build/fuzz/reader-work findings=build/fuzz/reader-findings ;;
        *) seconds=$argument ;;
    esac
done
if [ ! -x "$target" ]; then
    echo "fuzz: $target is missing (make fuzz builds it)" >&2
    exit 1
fi
mkdir -p "$work" "$findings"
rm -f "$findings"/*
log=build/fuzz/last-run.log

# Every run starts from the kept corpus and the regression cases; -timeout and the
# simulated call budget both stop an input that would hang.
"$target" -max_total_time="$seconds" -dict=fuzz/dictionary -max_len=8192 -timeout=30 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work" fuzz/corpus fuzz/regressions >"$log" 2>&1
status=$?

grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" | tail -n 2
grep -E '^stat::' "$log"
done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
coverage=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
features=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
corpus=$(sed -n 's/.* corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$done_line")
echo "fuzz: ${runs:-0} executions in ${seconds} s, coverage ${coverage:-?} edges, ${features:-?} features, corpus ${corpus:-?}"

found=$(find "$findings" -type f | wc -l)
if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
    grep -E -A30 'dismora fuzz finding|ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error' "$log" | head -n 60
    echo "fuzz: FAILED (libFuzzer exit $status, $found finding(s) in $findings; full output in $log)"
    exit 1
fi

if [ "$merge" -eq 1 ]; then
    before=$(ls fuzz/corpus | wc -l)
    "$target" -merge=1 -dict=fuzz/dictionary -max_len=8192 fuzz/corpus "$work" >>"$log" 2>&1 || {
        echo "fuzz: merge failed (see $log)"
        exit 1
    }
    echo "fuzz: corpus $before -> $(ls fuzz/corpus | wc -l) inputs"
fi
echo "fuzz: no findings"
