# bench/measure.sh: sourced by the native benchmark scripts. measure LABEL BYTES SETUP CMD...
# runs CMD ROUNDS times (the caller's $rounds) after one untimed run, which warms the page
# cache, each after SETUP; prints the label, the median in seconds, the range and MB/s of
# BYTES at the median. The last run's output is kept in $last when the caller names one.
measure() {
    local label=$1 bytes=$2 setup=$3
    shift 3
    local times=() out=${last:-/dev/null}
    eval "$setup"
    "$@" >/dev/null 2>&1 || true
    for _ in $(seq "$rounds"); do
        eval "$setup"
        sync
        local start end
        start=$(date +%s%N)
        "$@" >"$out" 2>/dev/null || true
        end=$(date +%s%N)
        times+=("$((end - start))")
    done
    python3 - "$label" "$bytes" "${times[@]}" <<'PY'
import statistics, sys
label, size, times = sys.argv[1], int(sys.argv[2]), sorted(int(t) / 1e9 for t in sys.argv[3:])
median = statistics.median(times)
print("%-52s median %7.3f s  (%.3f to %.3f)  %7.0f MB/s" % (label, median, times[0], times[-1], size / median / 1e6))
PY
}
