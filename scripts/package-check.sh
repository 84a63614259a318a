#!/usr/bin/env bash
# scripts/package-check.sh [WIN_BUILD]: builds the Debian package of the Linux tools from a
# Release native build of just the two tools (build-pkg/) with the stub of the Windows build
# (default build-win/), runs lintian on it (an error fails the run), unpacks it with dpkg -x
# and, with the unpacked tools alone, splits a generated file without --stub, checks and
# restores the set and compares the result with the file; both manual pages must render
# without a warning and be found by name.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

win_build=${1:-build-win}
if [ ! -s "$win_build/PnRestore.exe" ]; then
    echo "package-check: $win_build/PnRestore.exe is missing: build the Windows stub first" >&2
    exit 1
fi
win_build=$(cd "$win_build" && pwd)

echo "== package: Release build of the tools, with the stub of $win_build"
build=$root/build-pkg
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DPARCELON_WIN_BUILD="$win_build" >/dev/null
cmake --build "$build" -j2 --target parcelon-split parcelon-restore package-docs
rm -f "$build"/parcelon_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/parcelon_*.deb)
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
echo "package-check: $(basename "$deb"), Depends: $(dpkg-deb -f "$deb" Depends)"

echo "== lintian"
lintian --fail-on error --display-info "$deb"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/parcelon-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
dpkg -x "$deb" "$scratch/root"
bin=$scratch/root/usr/bin
if ! grep -qx 'License: Expat' "$scratch/root/usr/share/doc/parcelon/copyright"; then
    echo "package-check: the package's copyright file does not give the Expat (MIT) licence" >&2
    exit 1
fi

echo "== the unpacked tools"
for tool in parcelon-split parcelon-restore; do
    said=$("$bin/$tool" --version)
    if [ "$said" != "$tool $version" ]; then
        echo "package-check: $tool --version says '$said', the package is $version" >&2
        exit 1
    fi
done
# A few hundred KB that do not repeat, cut into pieces of 100,000 bytes: the executable
# and three more pieces.
python3 -c 'import random, sys; random.seed(7); sys.stdout.buffer.write(random.randbytes(300000))' \
    >"$scratch/sample.bin"
mkdir "$scratch/set"
"$bin/parcelon-split" --piece-size 100000 --out "$scratch/set" --base Sample "$scratch/sample.bin"
if [ ! -e "$scratch/set/Sample.d03" ]; then
    echo "package-check: the set has fewer than three pieces" >&2
    exit 1
fi
if ! cmp -n 53248 "$scratch/set/Sample.exe" "$scratch/root/usr/share/parcelon/PnRestore.exe"; then
    echo "package-check: the set does not start with the packaged stub" >&2
    exit 1
fi
"$bin/parcelon-restore" --check "$scratch/set/Sample.exe"
"$bin/parcelon-restore" --yes -o "$scratch/restored.bin" "$scratch/set/Sample.exe" </dev/null
cmp "$scratch/sample.bin" "$scratch/restored.bin"
echo "package-check: split without --stub, checked and restored: the file is the same"

echo "== the manual pages"
for page in "$scratch"/root/usr/share/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "package-check: $(basename "$page") renders with warnings:" >&2
        echo "$warnings" >&2
        exit 1
    fi
    echo "package-check: $(basename "$page") renders without warnings"
done
# As `man parcelon-restore` finds it once the package is installed: by name, in section 1.
for tool in parcelon-split parcelon-restore; do
    found=$(MANPATH="$scratch/root/usr/share/man" man -w "$tool")
    if [ "$found" != "$scratch/root/usr/share/man/man1/$tool.1.gz" ]; then
        echo "package-check: man $tool finds '$found'" >&2
        exit 1
    fi
done
echo "package-check: man finds both pages by name"
