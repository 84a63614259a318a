#!/usr/bin/env bash
# scripts/setup.sh: installs what the builds and tests need, once; a second call on a
# machine that has everything returns at once. With --bench it also installs 7-Zip (7zz),
# which only parcelon-bench's side-by-side comparison uses; the tests do not need it.
set -euo pipefail

need=()
if [ "${1:-}" = "--bench" ]; then
    command -v 7zz >/dev/null || need+=(7zip)
fi
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
[ -e /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ] || [ -n "$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ] || need+=(libclang-rt-14-dev)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v i686-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev)
command -v wine >/dev/null || need+=(wine wine32:i386 wine64)
command -v Xvfb >/dev/null || need+=(xvfb)
command -v xdotool >/dev/null || need+=(xdotool)
command -v xwininfo >/dev/null || need+=(x11-utils)
command -v import >/dev/null || need+=(imagemagick)
[ -e /usr/share/fonts/opentype/ipafont-gothic/ipag.ttf ] || need+=(fonts-ipafont-gothic)
command -v python3 >/dev/null || need+=(python3)
command -v localedef >/dev/null || need+=(locales)
# The Debian package: its dependencies (dpkg-shlibdeps), its check and its manual pages.
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v lintian >/dev/null || need+=(lintian)
command -v man >/dev/null || need+=(man-db)
# The restore page's tests: Node's test runner and Chromium.
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
command -v chromium >/dev/null || need+=(chromium)
command -v firefox-esr >/dev/null || need+=(firefox-esr)
# The restore engine compiled to WebAssembly for the page (its system libraries come
# prebuilt with the package, so nothing is built into a cache on first use).
command -v emcc >/dev/null || need+=(emscripten)
# WebKit, as Safari's stand-in: WebKitGTK's WebDriver and, for the tests' own small browser
# on it, its GObject bindings for python3 (run on a virtual display, Xvfb above).
command -v WebKitWebDriver >/dev/null || need+=(webkit2gtk-driver)
[ -e /usr/lib/x86_64-linux-gnu/girepository-1.0/WebKit2-4.1.typelib ] || need+=(gir1.2-webkit2-4.1)
[ -e /usr/lib/x86_64-linux-gnu/girepository-1.0/Gtk-3.0.typelib ] || need+=(gir1.2-gtk-3.0)
[ -e /usr/lib/python3/dist-packages/gi/__init__.py ] || need+=(python3-gi)
# The browser tests measure the browser's memory with ps.
command -v ps >/dev/null || need+=(procps)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# Installs the packages named, from package lists fetched once per call of setup.
lists_fetched=0
apt_install() {
    if [ "$lists_fetched" = 0 ]; then
        $SUDO dpkg --add-architecture i386
        # A mirror caught mid-sync fails one list now and then: try again, then go on with
        # the lists that did arrive (the install says so if they are not enough).
        $SUDO apt-get update -q || { sleep 15; $SUDO apt-get update -q; } ||
            echo "setup: apt-get update reported errors; installing from the package lists at hand"
        lists_fetched=1
    fi
    if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "$@"; then
        # With one architecture's list of an update suite missing, the two architectures
        # of a library come from different suites and the install fails on held packages.
        # Pinned to the release itself, both come from lists that were verified.
        local codename
        codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
        [ -n "$codename" ] || { echo "setup: the install failed and /etc/os-release names no release to pin" >&2; exit 1; }
        echo "setup: the install failed (a package list mid-sync?); trying once more pinned to $codename (apt-get install -t $codename)"
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends -t "$codename" "$@"
    fi
}

if [ ${#need[@]} -gt 0 ]; then
    echo "setup: installing ${need[*]}"
    apt_install "${need[@]}"
fi

# Wine's 32-bit side needs a kernel that runs i386 programs. Some virtual machines offer no
# 32-bit mode at all ("Exec format error"); there user-mode emulation runs them instead,
# registered for i386 ELF through binfmt_misc. A machine that runs them natively is left as
# it is. PARCELON_ASSUME_NO_I386=1 takes the kernel for one that refuses them, to try this
# path on a machine that does not; it is honoured only inside a user and mount namespace of
# its own (unshare --user --map-root-user --mount), where setup mounts a binfmt_misc of the
# namespace's own (Linux 6.7 and later) and registers the emulator there alone.
root=$(cd "$(dirname "$0")/.." && pwd)
i386_loader=/lib/ld-linux.so.2
i386_runs() { [ "${PARCELON_ASSUME_NO_I386:-0}" != 1 ] && "$i386_loader" --version >/dev/null 2>&1; }
i386_handler() { grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; }
# Whether this shell runs in a user namespace other than the machine's own: there the user
# ids are mapped, and the machine's are not all mapped one to one.
in_user_namespace() { ! grep -qE '^ *0 +0 +4294967295 *$' /proc/self/uid_map; }
if [ -e "$i386_loader" ] && ! i386_runs; then
    if in_user_namespace; then
        # Whatever binfmt_misc is visible here may be the machine's: a registration would
        # then change how every 32-bit program of the machine runs. A fresh instance of the
        # namespace's own goes over it, whether or not one is mounted already.
        if ! mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null; then
            echo "setup: this namespace cannot mount a binfmt_misc of its own (run it as unshare --user --map-root-user --mount, on Linux 6.7 or later), and setup will not register an emulator on the machine's" >&2
            exit 1
        fi
    elif [ "${PARCELON_ASSUME_NO_I386:-0}" = 1 ] && ! i386_handler; then
        echo "setup: PARCELON_ASSUME_NO_I386=1 outside a namespace of its own: refusing to register an emulator for every 32-bit program of this machine (run it under unshare --user --map-root-user --mount)" >&2
        exit 1
    fi
fi
if [ -e "$i386_loader" ] && ! i386_runs && ! i386_handler; then
    if [ -n "$SUDO" ] && ! sudo -n true 2>/dev/null; then
        echo "setup: this kernel runs no 32-bit program, and registering an emulator for them needs root (or sudo without a password)" >&2
        exit 1
    fi
    if [ ! -x /usr/bin/qemu-i386-static ]; then
        echo "setup: this kernel runs no 32-bit program: installing qemu-user-static to run Wine's 32-bit side"
        apt_install qemu-user-static
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        echo "setup: this kernel runs no 32-bit program and offers no binfmt_misc to hand them to an emulator (no /proc/sys/fs/binfmt_misc/register, and it cannot be mounted)" >&2
        exit 1
    fi
    # i386 ELF executables and shared objects, handed to the emulator; F opens it now, so
    # the registration also works inside containers and namespaces.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
        $SUDO tee /proc/sys/fs/binfmt_misc/register >/dev/null || {
        echo "setup: this kernel runs no 32-bit program, and the emulator could not be registered with binfmt_misc" >&2
        exit 1
    }
    if ! "$i386_loader" --version >/dev/null 2>&1; then
        echo "setup: i386 programs still do not run with the emulator registered ($i386_loader --version fails)" >&2
        exit 1
    fi
fi
if [ -e "$i386_loader" ] && i386_handler; then
    echo "setup: this machine runs i386 programs under emulation (qemu-i386): Wine's 32-bit side, and so the stub and its tests, run some 20 to 100 times slower than natively (a restore case 1 to 2 minutes, Wine's prefix 3 to 11)"
fi

# Wine shows the program's code page 932 texts only under a Japanese locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf-\?8$'; then
    $SUDO localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

# The restore page's browser test: puppeteer-core as locked, driving Debian's Chromium.
web_tests="$(dirname "$0")/../tests/web"
if [ ! -d "$web_tests/node_modules/puppeteer-core" ]; then
    (cd "$web_tests" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund)
fi

# Under emulation the loader alone proves little: Wine needs its fixed addresses in the
# emulated address space. So a 32-bit Wine program starts here, in the tests' own prefix,
# made now where it is not ready (a prefix that was made is proof enough).
if [ -e "$i386_loader" ] && i386_handler; then
    e2e_work="$root/build-win/e2e"
    if [ ! -e "$e2e_work/wineprefix/.e2e-ready" ]; then
        echo "setup: starting a 32-bit Wine program under the emulator, in the tests' prefix $e2e_work/wineprefix (some minutes)"
        if ! said=$(python3 "$root/tests/e2e/run_e2e.py" --probe-wine --work "$e2e_work" 2>&1 | tail -n 1); then
            echo "setup: Wine's 32-bit programs do not start under the emulator here: $said" >&2
            exit 1
        fi
        echo "setup: $said"
    fi
fi
