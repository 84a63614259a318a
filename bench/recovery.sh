#!/usr/bin/env bash
# bench/recovery.sh BUILD_DIR [WORK_DIR] [ROUNDS]: what the recovery file costs and what a
# rebuild takes, natively, on 1 GiB of random data in 8 pieces (PARCELON_BENCH_SIZE and
# PARCELON_BENCH_PIECES change that). Prints the median and the range of ROUNDS rounds
# (default 3) of each: split without and with --recovery, and without the data-check
# record; restore of a sound set without and with the data-check record, and without and
# with the recovery file beside it; restore with piece 4 missing, rebuilt;
# --check with piece 4 missing. Figures only: nothing is asserted. The input is made once
# and kept in WORK_DIR (default BUILD_DIR/bench-recovery).
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [WORK_DIR] [ROUNDS]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
work=${2:-$build/bench-recovery}
rounds=${3:-3}
size=${PARCELON_BENCH_SIZE:-1073741824}
pieces=${PARCELON_BENCH_PIECES:-8}
split=$build/tools/parcelon-split
restore=$build/frontend/parcelon-restore
mkdir -p "$work"
input=$work/input.bin
if [ ! -f "$input" ] || [ "$(stat -c %s "$input")" != "$size" ]; then
    head -c "$size" /dev/urandom >"$input"
fi
stub=$work/stub.exe
head -c 53248 /dev/zero >"$stub"
piece=$(( (size + pieces - 1) / pieces ))
counts=$(python3 -c "s,n,p=$size,$pieces,$piece; print(','.join(str(min(p, s - i*p)) for i in range(n)))")

# shellcheck source=bench/measure.sh
. "$(dirname "$0")/measure.sh"

last=$work/last-output
plain=$work/plain
withrec=$work/recovery
split_into() { rm -rf "$1" && mkdir -p "$1"; }
echo "== $((size >> 20)) MiB in $pieces pieces, $rounds rounds, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
measure "split" "$size" "split_into $plain" \
    "$split" --stub "$stub" --data-counts "$counts" --set-id 1A2B --out "$plain" --base Data "$input"
# Without the data-check record, as sets were made before it: what the CRC-64 of every
# piece costs a restore.
nocheck=$work/nocheck
measure "split --no-data-check" "$size" "split_into $nocheck" \
    "$split" --stub "$stub" --data-counts "$counts" --set-id 1A2B --no-data-check --out "$nocheck" --base Data "$input"
measure "split --recovery" "$size" "split_into $withrec" \
    "$split" --stub "$stub" --data-counts "$counts" --set-id 1A2B --recovery --out "$withrec" --base Data "$input"

out=$work/restored.bin
aside=$work/aside
mkdir -p "$aside"
measure "restore, without the data-check record" "$size" "rm -f $out" "$restore" --yes -o "$out" "$nocheck/Data.exe"
measure "restore, with the data-check record" "$size" "rm -f $out" "$restore" --yes -o "$out" "$plain/Data.exe"
cmp "$out" "$input"
measure "restore, no recovery file" "$size" "rm -f $out; mv -f $withrec/Data.d00 $aside/ 2>/dev/null || true" \
    "$restore" --yes -o "$out" "$withrec/Data.exe"
measure "restore, recovery file present" "$size" "rm -f $out; mv -f $aside/Data.d00 $withrec/ 2>/dev/null || true" \
    "$restore" --yes -o "$out" "$withrec/Data.exe"
cmp "$out" "$input"
measure "restore, piece 4 missing, rebuilt" "$size" "rm -f $out; mv -f $withrec/Data.d04 $aside/ 2>/dev/null || true" \
    "$restore" --yes -o "$out" "$withrec/Data.exe"
cmp "$out" "$input" && echo "   (the rebuilt file equals the input)"
measure "check, piece 4 missing" "$size" "true" "$restore" --check "$withrec/Data.exe"
tail -1 "$last"
mv -f "$aside/Data.d04" "$withrec/"
rm -f "$out"
