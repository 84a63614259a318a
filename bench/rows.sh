#!/usr/bin/env bash
# bench/rows.sh BUILD_DIR [WORK_DIR] [ROUNDS]: what R recovery files cost to make and what
# a rebuild of R lost pieces takes, natively, on 1 GiB of random data in 16 pieces
# (PARCELON_BENCH_SIZE and PARCELON_BENCH_PIECES change that), beside Debian's par2
# (par2cmdline) making and using the same redundancy for the same file: blocks of one
# piece's size, R recovery blocks, R of the file's blocks overwritten before its repair.
# For R = 1, 2 and 4: split without and with --recovery=R; restore of the sound set with
# the R recovery files beside it and without them; restore with pieces 2 to R + 1 missing,
# rebuilt; par2 create and par2 repair, with all cores and with one. Prints the median and
# the range of ROUNDS rounds (default 3), the page cache warm. Figures only: nothing is
# asserted but that every restore and repair gives back the input. The input is made once
# and kept in WORK_DIR (default BUILD_DIR/bench-rows). PARCELON_BENCH_PEER=0 leaves par2 out.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [WORK_DIR] [ROUNDS]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
work=${2:-$build/bench-rows}
rounds=${3:-3}
size=${PARCELON_BENCH_SIZE:-1073741824}
pieces=${PARCELON_BENCH_PIECES:-16}
split=$build/tools/parcelon-split
restore=$build/frontend/parcelon-restore
mkdir -p "$work"
input=$work/input.bin
if [ ! -f "$input" ] || [ "$(stat -c %s "$input")" != "$size" ]; then
    head -c "$size" /dev/urandom >"$input"
fi
stub=$work/stub.exe
head -c 53248 /dev/zero >"$stub"
# Every piece of one size, a multiple of 4 as par2's blocks must be.
piece=$(( ((size + pieces - 1) / pieces + 3) / 4 * 4 ))
counts=$(python3 -c "s,n,p=$size,$pieces,$piece; print(','.join(str(max(0, min(p, s - i*p))) for i in range(n)))")

# shellcheck source=bench/measure.sh
. "$(dirname "$0")/measure.sh"

split_into() { rm -rf "$1" && mkdir -p "$1"; }
out=$work/restored.bin
aside=$work/aside
echo "== $((size >> 20)) MiB in $pieces pieces of $piece bytes, $rounds rounds, $(nproc) cores," \
    "load $(cut -d' ' -f1-3 /proc/loadavg), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"
set_dir=$work/plain
measure "split" "$size" "split_into $set_dir" \
    "$split" --stub "$stub" --data-counts "$counts" --set-id 1A2B --out "$set_dir" --base Data "$input"
for r in 1 2 4; do
    set_dir=$work/rows-$r
    measure "split --recovery=$r" "$size" "split_into $set_dir" \
        "$split" --stub "$stub" --data-counts "$counts" --set-id 1A2B --recovery=$r --out "$set_dir" --base Data "$input"
    rm -rf "$aside" && mkdir -p "$aside"
    measure "restore, sound, $r recovery files beside it" "$size" "rm -f $out" \
        "$restore" --yes -o "$out" "$set_dir/Data.exe"
    cmp "$out" "$input"
    mv "$set_dir"/Data.d00* "$aside/"
    measure "restore, sound, without them" "$size" "rm -f $out" "$restore" --yes -o "$out" "$set_dir/Data.exe"
    mv "$aside"/Data.d00* "$set_dir/"
    lost=()
    for i in $(seq 2 $((r + 1))); do lost+=("$(printf 'Data.d%02d' "$i")"); done
    measure "restore, ${r} pieces missing, rebuilt" "$size" \
        "rm -f $out; for f in ${lost[*]}; do mv -f $set_dir/\$f $aside/ 2>/dev/null || true; done" \
        "$restore" --yes -o "$out" "$set_dir/Data.exe"
    cmp "$out" "$input" && echo "   (the rebuilt file equals the input)"
    mv -f "$aside"/* "$set_dir/"
    if [ "${PARCELON_BENCH_PEER:-1}" = 0 ]; then
        :
    elif command -v par2 >/dev/null; then
        p2=$work/par2-$r
        for threads in "" 1; do
            flag=${threads:+-t$threads}
            label=${threads:+, one thread}
            measure "par2 create, $r recovery blocks${label}" "$size" \
                "rm -rf $p2 && mkdir -p $p2 && ln -f $input $p2/input.bin" \
                par2 create -q -q $flag -s"$piece" -c"$r" -n1 -m2048 "$p2/input.par2" "$p2/input.bin"
            # The repair: blocks 2 to R + 1 overwritten with zeros, in a copy of the input.
            measure "par2 repair, $r blocks damaged${label}" "$size" \
                "rm -f $p2/input.bin $p2/input.bin.1 && cp $input $p2/input.bin && for i in \$(seq 1 $r); do dd if=/dev/zero of=$p2/input.bin bs=$piece seek=\$i count=1 conv=notrunc status=none; done" \
                par2 repair -q -q $flag -m2048 "$p2/input.par2"
            cmp "$p2/input.bin" "$input" && echo "   (the repaired file equals the input)"
        done
        rm -rf "$p2"
    else
        echo "   (par2 is not installed: apt-get install par2)"
    fi
done
rm -f "$out"
