#!/usr/bin/env bash
# scripts/test.sh: installs what is missing, builds the stub and the native tree, and runs
# every test: the unit and integration tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded ones again under ThreadSanitizer, the fuzz
# targets for a bounded time, and the end-to-end suite of the real stub under Wine; the
# Debian package is built, linted and tried unpacked (scripts/package-check.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

began=$(date +%s)
scripts/setup.sh

# Where Wine's 32-bit side runs under emulation (setup said so), its suite runs two cases at
# a time and a subset that covers every area, and may take up to an hour rather than minutes.
e2e_timeout=900
if [ "$(python3 tests/e2e/run_e2e.py --emulation)" = emulated ]; then
    e2e_timeout=4200
    echo "== i386 programs run under emulation here: the Wine suite may take up to $((e2e_timeout / 60)) minutes"
fi

echo "== the restore engine for the page, in WebAssembly: web/engine.js (the release zip and the package carry it)"
emcmake cmake -S . -B build-web -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-web

echo "== Windows build: the stub and the end-to-end driver"
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build build-win

echo "== the stub again in another folder: a build of one commit is the same bytes"
repro=$(mktemp -d)
cmake -S . -B "$repro" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build "$repro" --target PnRestore >/dev/null
if ! cmp build-win/PnRestore.exe "$repro/PnRestore.exe"; then
    echo "the stub built in $repro differs from build-win/PnRestore.exe" >&2
    exit 1
fi
rm -rf "$repro"
echo "same bytes: $(sha256sum build-win/PnRestore.exe | cut -d' ' -f1)"

echo "== the Windows release zip: its listing with the restore page, the stub inside, the README's line ends"
zips=(build-win/parcelon-*-win32.zip)
python3 - "${zips[@]}" <<'PYTHON'
import sys, zipfile
if len(sys.argv) != 2:
    sys.exit("want one release zip in build-win, found %s" % sys.argv[1:])
with zipfile.ZipFile(sys.argv[1]) as z:
    if z.testzip() is not None:
        sys.exit("%s: a damaged entry: %s" % (sys.argv[1], z.testzip()))
    top = sorted(i.filename for i in z.infolist() if "/" not in i.filename)
    if top != ["LICENSE.txt", "PnRestore.exe", "README.txt", "parcelon-split.exe"]:
        sys.exit("%s lists %s" % (sys.argv[1], top))
    web = sorted(i.filename for i in z.infolist() if i.filename.startswith("web/"))
    if web != ["web/engine.js", "web/index.html", "web/parcelon.js", "web/style.css"]:
        sys.exit("%s holds the restore page as %s" % (sys.argv[1], web))
    stub = z.read("PnRestore.exe")
    if len(stub) != 53248 or stub != open("build-win/PnRestore.exe", "rb").read():
        sys.exit("the zip's PnRestore.exe (%d bytes) is not the 53,248-byte stub of build-win" % len(stub))
    for text in ("README.txt", "LICENSE.txt"):
        data = z.read(text)
        if data.count(b"\n") != data.count(b"\r\n"):
            sys.exit("%s in the zip has line ends without CR" % text)
print("%s: %s" % (sys.argv[1], ", ".join(top + web)))
PYTHON

echo "== the Debian package of the Linux tools: lintian, then the unpacked tools"
scripts/package-check.sh "$root/build-win"

echo "== native build under ThreadSanitizer: the tests that run threads"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCELON_SANITIZE=thread >/dev/null
cmake --build build-tsan
TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build-tsan --output-on-failure -j2 -L threads

if [ -d tests/fuzz ]; then
    echo "== fuzz targets, bounded"
    tests/fuzz/run.sh "$root/build-fuzz" "${PARCELON_FUZZ_SECONDS:-60}"
fi

echo "== native build under AddressSanitizer and UndefinedBehaviorSanitizer, with the Wine suite"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPARCELON_SANITIZE=address,undefined \
    -DPARCELON_WIN_BUILD="$root/build-win" -DPARCELON_E2E_TIMEOUT="$e2e_timeout" >/dev/null
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j2 -E '^e2e_wine$'
# The Wine suite on its own, with its lines as they come: the slowdown factor, and under
# emulation the cases it leaves out.
ctest --test-dir build-asan --output-on-failure -V -R '^e2e_wine$'

echo "== the restore page: its logic under Node, then the page in headless Chromium and Firefox, and in WebKit (WebKitGTK on a virtual display)"
# A browser that cannot run fails its test with the reason; PARCELON_WEB_SKIP_OK=1 turns
# that into a skip that names the browser and the reason.
PARCELON_BUILD="$root/build-asan" node --test tests/web/

echo "== every test passed in $(( ($(date +%s) - began) / 60 )) min $(( ($(date +%s) - began) % 60 )) s"
