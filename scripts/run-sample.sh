#!/usr/bin/env bash
# scripts/run-sample.sh: the main job. Installs what is missing, builds the native tools
# (build/) and the Windows stub (build-win/), cuts samples/sample.txt into a three-piece
# self-restoring set in out/sample/ and runs it under Wine.
#
# With a DISPLAY the real window opens for you to press Start and Close. Without one the
# set runs on a virtual display: Start is pressed for you, the restored file is compared
# with the sample and a screenshot of the finished dialog is saved.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/setup.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel
cmake --build build-win

sample=samples/sample.txt
out=out/sample
rm -rf "$out"
mkdir -p "$out"
size=$(stat -c %s "$sample")
first=$((size / 3))
second=$((size / 3))
third=$((size - first - second))
build/tools/parcelon-split --stub build-win/PnRestore.exe --data-counts "$first,$second,$third" \
    --out "$out" --base Sample --name sample.txt "$sample"
echo "run-sample: made $out/Sample.exe, $out/Sample.d02 and $out/Sample.d03 from $sample ($size bytes)"

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Under emulation, what Wine's programs need in their environment (the address space the
# emulator reserves for them); natively nothing.
eval "$(python3 tests/e2e/run_e2e.py --wine-env)"
if [ -z "${DISPLAY:-}" ]; then
    # The end-to-end tests' prefix and helpers: a virtual display, the driver presses Start.
    exec python3 tests/e2e/run_e2e.py --win-build build-win --sample "$out/Sample.exe" \
        --expect "$sample" --shot "$out/finished.png"
fi

# A prefix of its own, with Wine's usual window management for a real desktop.
export WINEPREFIX="$root/build-win/sample-prefix"
if [ ! -e "$WINEPREFIX/.ready" ]; then
    rm -rf "$WINEPREFIX"
    echo "run-sample: creating the Wine prefix $WINEPREFIX"
    # Wine's 32-bit side under emulation takes far longer (setup says when it does).
    bound=240
    if [ "$(python3 tests/e2e/run_e2e.py --emulation)" = emulated ]; then
        bound=$((240 * ${PARCELON_WINE_SLOWDOWN:-30}))
        echo "run-sample: i386 programs run under emulation here: the prefix takes some minutes, the dialog one or two"
    fi
    timeout "$bound" wineboot -i
    timeout 30 wineserver -w || true
    touch "$WINEPREFIX/.ready"
fi
echo "run-sample: the dialog opens on $DISPLAY; press 復元開始(X), then 閉じる(C) when it has finished"
LC_ALL=ja_JP.UTF-8 wine "$root/$out/Sample.exe" || true
timeout 30 wineserver -w || true
if cmp -s "$sample" "$out/sample.txt"; then
    echo "run-sample: $out/sample.txt equals $sample"
else
    echo "run-sample: $out/sample.txt was not restored to the sample's bytes"
    exit 1
fi
