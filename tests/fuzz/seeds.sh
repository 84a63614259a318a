#!/usr/bin/env bash
# tests/fuzz/seeds.sh SPLIT CORPUS SCRATCH: makes the fuzz targets' seed corpora with the
# splitter SPLIT in CORPUS/fuzz_header, CORPUS/fuzz_piece, CORPUS/fuzz_run and
# CORPUS/fuzz_recovery, using
# SCRATCH for the sets it splits. run.sh starts its runs from them; the restore page's
# tests replay them through the page's reader and the program's.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 SPLIT CORPUS SCRATCH" >&2
    exit 2
fi
split=$1
corpus=$2
scratch=$3
rm -rf "$corpus" "$scratch/sets"
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
# Every set above carries the data-check record in each piece; this one is made as sets
# were before it, without.
make_set nocheck 3650 --data-counts 1500,1100,1050 --name sample.txt --no-data-check
# Sets for the piece target: the first piece there carries the identifier "ZQ" (5A 51) and
# 600 of 3,600 bytes.
make_set piece_last 3600 --data-counts 600,3000 --set-id 5A51
make_set piece_mid 3600 --data-counts 600,1500,1500 --set-id 5A51 --extra-record 2:1:20 --extra-record 2:3:6
make_set piece_late 3600 --data-counts 600,3000 --set-id 5A51 --garbage 2:2100 --length-int 300
make_set piece_bad 3600 --data-counts 600,3000 --set-id 5A51 --bad-crc 2
make_set piece_nocheck 3600 --data-counts 600,3000 --set-id 5A51 --no-data-check
make_set piece_badcheck 3600 --data-counts 600,3000 --set-id 5A51 --bad-data-check 2

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
    name=recovery_${sizes//,/-}
    make_set "$name" $(( ${sizes//,/+} )) --data-counts "$sizes" --name r.bin --recovery
    dir=$scratch/sets/$name
    {
        head -c 61 "$dir/Data.d00" # 56 bytes of fields and the five of the name
        printf '#PARITY#'
        tail -c +102401 "$dir/Data.d00"
    } >"$corpus/fuzz_recovery/${sizes//,/-}"
done
# A later row: the same, with its row fields after the name.
make_set recovery_rows 3001 --data-counts 1500,1501 --name r.bin --recovery=2
dir=$scratch/sets/recovery_rows
{
    head -c 65 "$dir/Data.d00.02"
    printf '#PARITY#'
    tail -c +102401 "$dir/Data.d00.02"
} >"$corpus/fuzz_recovery/row2"
# A first-piece header with the 8-byte size form (2 GiB + 10 MB) and no data behind it.
printf -- '-PQ3-\0\x80\0\0\0\0\xa0\0\0\0\x80\0\0\0\0\xa0\0\x22\x12\x34\x01\x05big.x\0' \
    >"$corpus/fuzz_header/bigsize"
