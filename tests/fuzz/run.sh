#!/usr/bin/env bash
# tests/fuzz/run.sh BUILD_DIR [SECONDS]: builds the four fuzz targets with clang++
# (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and parcelon-split in BUILD_DIR,
# makes their seed corpora with parcelon-split, replays the checked-in regression inputs,
# then runs each target for SECONDS seconds (default 60). Any crash, sanitizer report,
# hang or disagreement with the reference run fails the script; the input that caused it
# is copied to tests/fuzz/regressions/<target>/, where ctest replays it from then on.
#
# Environment: PARCELON_FUZZ_TARGETS (default "fuzz_header fuzz_piece fuzz_run fuzz_recovery") and
# PARCELON_FUZZ_FLAGS (more libFuzzer options, e.g. "-jobs=2").
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [SECONDS]" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
seconds=${2:-60}
targets=${PARCELON_FUZZ_TARGETS:-fuzz_header fuzz_piece fuzz_run fuzz_recovery}

echo "== fuzz build in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCELON_SANITIZE=address,undefined -DPARCELON_FUZZ=ON >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" --target parcelon-split $targets

# Scratch files of the targets and the seed sets live on a memory-backed file system
# when there is one, and go when the script ends.
scratch_root=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_root=/dev/shm
scratch=$(mktemp -d "$scratch_root/parcelon-fuzzrun-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export PARCELON_FUZZ_TMP=$scratch

# --- seed corpora -------------------------------------------------------------------------
corpus=$build/fuzz-corpus
"$here/seeds.sh" "$build/tools/parcelon-split" "$corpus" "$scratch"

dict=$scratch/dict
cat >"$dict" <<'EOF'
"-PQ3-"
"#PIECE#"
"ZQ"
"\x01\x0asample.txt"
"\x03\x06\xe8\x07"
"\x80\x00\x00\x00"
"\xff\xff"
EOF

# --- regression inputs, then the bounded runs ----------------------------------------------
max_len() {
    case $1 in
    fuzz_header) echo 4096 ;;
    *) echo 16384 ;;
    esac
}

failed=0
for target in $targets; do
    program=$build/tests/fuzz/$target
    regressions=$here/regressions/$target
    artifacts=$build/fuzz-artifacts/$target
    mkdir -p "$regressions" "$artifacts"
    shopt -s nullglob
    kept=("$regressions"/*)
    shopt -u nullglob
    if [ ${#kept[@]} -gt 0 ]; then
        echo "== $target: replaying ${#kept[@]} regression inputs"
        if ! "$program" "${kept[@]}" >"$build/$target-regressions.log" 2>&1; then
            tail -n 30 "$build/$target-regressions.log"
            echo "!! $target fails on a regression input" >&2
            failed=1
            continue
        fi
    fi
    echo "== $target: ${seconds} s"
    set +e
    # shellcheck disable=SC2086
    "$program" "$corpus/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$(max_len "$target")" -dict="$dict" -artifact_prefix="$artifacts/" \
        -print_final_stats=1 ${PARCELON_FUZZ_FLAGS:-} >"$build/$target.log" 2>&1
    status=$?
    set -e
    grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs' "$build/$target.log" || true
    if [ $status -ne 0 ]; then
        tail -n 40 "$build/$target.log"
        for artifact in "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-* "$artifacts"/oom-*; do
            [ -e "$artifact" ] || continue
            cp "$artifact" "$regressions/"
            echo "!! $target: kept $(basename "$artifact") in tests/fuzz/regressions/$target/" >&2
        done
        echo "!! $target failed (status $status); log in $build/$target.log" >&2
        failed=1
    fi
done
exit $failed
