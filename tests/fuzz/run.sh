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
split=$build/tools/parcelon-split
corpus=$build/fuzz-corpus
rm -rf "$corpus"
mkdir -p "$corpus/fuzz_header" "$corpus/fuzz_piece" "$corpus/fuzz_run" "$corpus/fuzz_recovery"
: >"$scratch/stub"
offset=53248

# make_set NAME INPUT_SIZE OPTIONS...: a split set in $scratch/sets/NAME/Data.*
make_set() {
    local name=$1 size=$2
    shift 2
    local dir=$scratch/sets/$name
    mkdir -p "$dir"
    head -c "$size" /dev/urandom >"$dir/input"
    "$split" --stub "$scratch/stub" --out "$dir" --base Data "$@" "$dir/input" >/dev/null
}

# Sets for the header and whole-run targets: the identifier varies.
make_set plain 3650 --data-counts 1500,1100,1050 --name sample.txt --time 2024-03-15T13:45:30
make_set notime 2200 --data-counts 1100,1100 --name "表ソ.TXT" --no-time
make_set records 3300 --data-counts 1200,2100 --name report.doc --second-name other.pdf \
    --extra-record 1:7:200 --extra-record 2:9:130 --length-int 200 --time 0000-01-01T00:00:00
make_set longname 1200 --data-counts 1200 --name-bytes "$(printf '61%.0s' $(seq 259))"
make_set garbage 2400 --data-counts 300,1000,1100 --name g.bin --garbage 2:1500 --bad-crc 3 \
    --set-id-for 3=1234
make_set empty 0 --data-counts 0 --name empty.txt
# Sets for the piece target: the first piece there carries the identifier "ZQ" (5A 51) and
# 600 of 3,600 bytes.
make_set piece_last 3600 --data-counts 600,3000 --set-id 5A51
make_set piece_mid 3600 --data-counts 600,1500,1500 --set-id 5A51 --extra-record 2:1:20 --extra-record 2:3:6
make_set piece_late 3600 --data-counts 600,3000 --set-id 5A51 --garbage 2:2100 --length-int 300
make_set piece_bad 3600 --data-counts 600,3000 --set-id 5A51 --bad-crc 2

sep='#PIECE#'
for dir in "$scratch"/sets/*; do
    name=$(basename "$dir")
    tail -c +$((offset + 1)) "$dir/Data.exe" >"$corpus/fuzz_header/$name"
    if [[ $name == piece_* ]]; then
        cp "$dir/Data.d02" "$corpus/fuzz_piece/$name"
    fi
    {
        printf '\0\0\0'
        cat "$corpus/fuzz_header/$name"
        for piece in "$dir"/Data.d0[2-4]; do
            [ -e "$piece" ] || continue
            printf '%s' "$sep"
            cat "$piece"
        done
    } >"$corpus/fuzz_run/$name"
done
# Recovery files: the header, then the parity data and the table behind "#PARITY#" (the
# target puts them back at the parity offset, 102,400).
for sizes in 1500,1100,1050 0,1100 2000; do
    dir=$scratch/recovery/$sizes
    mkdir -p "$dir"
    head -c $(( ${sizes//,/+} )) /dev/urandom >"$dir/input"
    "$split" --stub "$scratch/stub" --out "$dir" --base Data --data-counts "$sizes" --name r.bin --recovery \
        "$dir/input" >/dev/null
    {
        head -c 61 "$dir/Data.d00" # 56 bytes of fields and the five of the name
        printf '#PARITY#'
        tail -c +102401 "$dir/Data.d00"
    } >"$corpus/fuzz_recovery/${sizes//,/-}"
done
# A first-piece header with the 8-byte size form (2 GiB + 10 MB) and no data behind it.
printf -- '-PQ3-\0\x80\0\0\0\0\xa0\0\0\0\x80\0\0\0\0\xa0\0\x22\x12\x34\x01\x05big.x\0' \
    >"$corpus/fuzz_header/bigsize"

dict=$scratch/dict
cat >"$dict" <<'EOF'
"-PQ3-"
"#PIECE#"
"#PARITY#"
"\x00PnRec\x0d\x0a\x01\x00"
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
