#!/usr/bin/env python3
"""tests/e2e/run_e2e.py: runs the real stub under Wine on a virtual display and checks what a
user sees: the dialog's texts, buttons and progress bar, the message boxes, the restored file
and the process's end. Split sets are made by parcelon-split; the dialog is read and driven by
e2e-driver.exe, which runs in the same Wine prefix.

    run_e2e.py --win-build BUILD-WIN --split PATH/parcelon-split [--only NAME] [--keep] [--jobs N]
    run_e2e.py --win-build BUILD-WIN --sample NAME.exe --expect FILE --shot PNG
    run_e2e.py --emulation | --wine-env
    run_e2e.py --probe-wine --work FOLDER

Prints one line per case and closes with "N passed, M failed"; the exit status is non-zero
when a case failed. Every wait is bounded, and everything started here is ended on the way
out, also after a failure or Ctrl-C.

Every time limit is given as it holds where i386 programs run natively, and is multiplied by
one slowdown factor, printed first: 1 natively; where Wine's 32-bit side runs under user-mode
emulation (an i386 handler registered with binfmt_misc), the time a small 32-bit Wine program
takes to start, measured once the prefix is ready, against what the limits allow for; or the
whole number in PARCELON_WINE_SLOWDOWN. Under emulation the cases run two at a time, each
pair of jobs in a prefix and on a display of its own, and only EMULATION_CASES run, which
cover every area of the program: the others are named as left out, and the closing line
says how many ("N passed, 0 failed, M left out under emulation"); PARCELON_E2E_ALL=1 runs
them all. Under emulation, while a Save dialog case runs, Wine's device services run only
while the stub's main thread waits (qemu-i386 mishandles the signal that a quicker answer of
theirs would take); a case whose Save dialog still hangs (its program's main thread stops
using the processor before the dialog comes) prints "HANG" and runs again in a new Wine
session, at most HANG_ATTEMPTS times in all. Under emulation every Wine program also gets
QEMU_RESERVED_VA in its environment, so that Wine finds its fixed addresses free.
--emulation prints "emulated" or "native" and exits; --wine-env prints the export lines of
that environment; --probe-wine, setup's check, makes the prefix and starts a 32-bit program.
"""
import argparse
import calendar
import functools
import math
import os
import queue
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

CAPTION = "Parcelon 自己復元"
RUNNING = "現在復元中です。しばらくお待ち下さい。"
FINISHED = "復元が終了しました。"
STOPPED = "復元を中止しました。"
CLOSE = "閉じる(&C)"
CANCEL = "中止(&C)"
START = "復元開始(&X)"
BROWSE = "参照(&R)"
OVERWRITE_CAPTION = "Parcelon  上書き確認"
CHECK_CAPTION = "Parcelon 復元確認"
NEXT_CAPTION = "Parcelon 次のファイル"
PRODUCT_CAPTION = "Parcelon"
SAVE_CAPTION = "復元先ファイル名を指定"

IDOK, IDCANCEL, IDRETRY, IDYES, IDNO = 1, 2, 4, 6, 7
START_ID, CLOSE_ID, DEST_ID, INFO_ID, BROWSE_ID = 1, 2, 1000, 1001, 1002
FILE_TYPE_ID, FILE_NAME_ID = 0x470, 0x47C  # the Save dialog's file-type combo and file name

# Dialog template 102 as the program must show it: id, window class, x, y, width, height in
# dialog units, in creation order.
TEMPLATE = [
    (1, "Button", 205, 30, 50, 14),
    (2, "Button", 205, 45, 50, 14),
    (1000, "Edit", 55, 5, 145, 14),
    (1001, "Static", 15, 32, 175, 23),
    (-1, "Static", 5, 8, 48, 8),
    (1002, "Button", 205, 5, 50, 14),
    (-1, "Button", 5, 20, 195, 40),
    (1003, "msctls_progress32", 5, 63, 195, 14),
]

VERSION_STRINGS = {
    "Comments": "  このファイルは、Parcelonによって分割された、自己復元型分割ファイルです。実行することで、元のファイルに復元されます。",
    "FileDescription": "Parcelon自己復元（WIN32版）",
    "FileVersion": "2.01",
    "InternalName": "PnRestore32",
    "OriginalFilename": "分割元ファイルに依存",
    "ProductName": "Parcelon自己復元（WIN32版）",
    "ProductVersion": "2.01",
}

STAMP = "2021-06-15T08:30:45"  # the time stamp every set carries, UTC
STAMP_EPOCH = calendar.timegm((2021, 6, 15, 8, 30, 45, 0, 0, 0))
# The long restore: Wine restores about 200 MB a second here, so 1 GiB leaves seconds for a
# cancel. Only its first megabyte is random; the rest is a hole, so it costs no disk space
# until it is restored.
LARGE_SIZE = 1 << 30
LARGE_HEAD = 1000003  # random bytes at the start: no multiple of the block size

# Bounds of the waits, in seconds where i386 programs run natively; limit() scales them.
WINEBOOT_TIMEOUT = 240
START_TIMEOUT = 30        # from starting the stub to its dialog being found
STEP_TIMEOUT = 15         # one message box, one status change, one small restore
EXIT_TIMEOUT = 15         # from closing the dialog to the process's end
SPLIT_TIMEOUT = 180

# How many times longer than natively Wine's 32-bit programs take here; set once per run
# (slowdown()) before any case starts, and given to the driver and the child jobs.
SLOWDOWN = 1
# The factor for the prefix's creation under emulation, before anything can be measured:
# wineboot -i took 264 s there against about 15 s natively.
PROVISIONAL_SLOWDOWN = 30
# A 32-bit program that starts and ends at once (Wine's own cmd.exe) takes 0.03 to 0.6 s
# natively; the native limits leave room for starts of up to a tenth of START_TIMEOUT.
NATIVE_START_ALLOWANCE = START_TIMEOUT / 10
# Under emulation: a Save dialog is awaited in slices of this many seconds, and the stub's
# main thread counts as hung when it has used no processor time for STALL_SECONDS meanwhile
# (opening the dialog keeps it busy throughout); a case that meets that runs at most
# HANG_ATTEMPTS times, each in a new Wine session.
SAVE_SLICE_SECONDS = 5
STALL_SECONDS = 60
HANG_ATTEMPTS = 3
# The binfmt_misc magic of i386 ELF files: a handler registered for it runs them.
I386_MAGIC = "7f454c4601010100000000000000000002000300"
# Under emulation, how much of the guest's address space qemu-i386 reserves as it starts:
# all of it but the last 64 KiB (it refuses more than 0xfffff000). Wine maps the shared user
# data and its other fixed ranges at addresses of its own choosing; unreserved, qemu's own
# mappings may sit where they belong, and a program then fails at its start ("failed to map
# the shared user data: c0000018"). qemu reads it from each program's environment, which a
# registration with the F flag leaves as it is.
QEMU_RESERVED_VA = "0xffff0000"


def limit(seconds):
    """A time limit set for a native machine, as it holds here."""
    return seconds * SLOWDOWN


def ms(seconds):
    """limit() in whole milliseconds, for the driver's commands."""
    return int(limit(seconds) * 1000)


@functools.lru_cache(maxsize=None)
def i386_emulated():
    """True when i386 programs are handed to an emulator rather than run by the kernel."""
    folder = "/proc/sys/fs/binfmt_misc"
    try:
        entries = os.listdir(folder)
    except OSError:
        return False
    for entry in entries:
        if entry in ("register", "status"):
            continue
        try:
            with open(os.path.join(folder, entry)) as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        if lines and lines[0] == "enabled" and "magic " + I386_MAGIC in lines:
            return True
    return False


def emulation_env():
    """What the environment of every Wine program needs here: under emulation, the reserved
    address space; natively nothing."""
    return {"QEMU_RESERVED_VA": QEMU_RESERVED_VA} if i386_emulated() else {}


def reduced_run():
    """Under emulation, unless PARCELON_E2E_ALL=1: the cases, and the rows within them, that
    repeat a path already covered are left out (and named)."""
    return i386_emulated() and os.environ.get("PARCELON_E2E_ALL") != "1"


def given_slowdown():
    """PARCELON_WINE_SLOWDOWN as a whole number of at least 1, or None when it is not set."""
    text = os.environ.get("PARCELON_WINE_SLOWDOWN", "").strip()
    if not text:
        return None
    try:
        return max(1, int(text))
    except ValueError:
        raise Failure("PARCELON_WINE_SLOWDOWN=%r is no whole number" % text)


def set_slowdown(factor, session=None):
    global SLOWDOWN
    SLOWDOWN = factor
    os.environ["PARCELON_WINE_SLOWDOWN"] = str(factor)
    if session is not None and session.env is not None:
        session.env["PARCELON_WINE_SLOWDOWN"] = str(factor)


def announce_slowdown():
    """Sets the factor that holds before the prefix is ready and says it, as the first line.
    Returns True when it is still to be measured in the prefix."""
    given = given_slowdown()
    emulated = i386_emulated()
    if given is not None:
        set_slowdown(given)
        print("e2e: slowdown factor %d (given by PARCELON_WINE_SLOWDOWN; i386 programs run %s here)"
              % (given, "under emulation" if emulated else "natively"), flush=True)
        return False
    if not emulated:
        set_slowdown(1)
        print("e2e: slowdown factor 1 (i386 programs run natively)", flush=True)
        return False
    set_slowdown(PROVISIONAL_SLOWDOWN)
    print("e2e: slowdown factor %d for now: i386 programs run under emulation here, so Wine's 32-bit side "
          "is measured once the prefix is ready" % PROVISIONAL_SLOWDOWN, flush=True)
    return True


def measure_slowdown(session):
    """Under emulation: the factor from the start of a small 32-bit Wine program in the ready
    prefix (the slower of two, as the machine may be busier later), against what the native
    limits allow for."""
    taken = max(session.start_time(), session.start_time())
    factor = max(1, math.ceil(taken / NATIVE_START_ALLOWANCE))
    set_slowdown(factor, session)
    print("e2e: slowdown factor %d: a 32-bit cmd.exe took %.1f s to start and end (the native limits allow "
          "for %.1f s)" % (factor, taken, NATIVE_START_ALLOWANCE), flush=True)


class Failure(Exception):
    pass


class WineHang(Failure):
    """Under emulation only: the Save dialog did not come, because the program's main thread
    lost its place with Wine's server (see Session.hold_back_devices, which makes that rarer;
    natively it never happened)."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def expect(what, actual, expected):
    if actual != expected:
        raise Failure("%s: got %r, expected %r" % (what, actual, expected))


def escape(text):
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")


def unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            i += 1
            c = {"r": "\r", "n": "\n", "t": "\t"}.get(text[i], text[i])
        out.append(c)
        i += 1
    return "".join(out)


def win_path(path):
    """The path a program under Wine sees for a Unix path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def ascii_upper(text):
    """Upper-cases a to z only, as the program does with its own path."""
    return "".join(c.upper() if "a" <= c <= "z" else c for c in text)


def proposal(folder, name):
    """The destination the program proposes: its folder in upper case, then the stored name."""
    return ascii_upper(win_path(folder)) + "\\" + name


def blocked_read(pid):
    """The file descriptor that process pid's main thread is blocked reading, or None."""
    try:
        with open("/proc/%d/task/%d/syscall" % (pid, pid)) as f:
            words = f.read().split()
    except OSError:
        return None
    return int(words[1], 16) if len(words) > 1 and words[0] == "0" else None  # 0: read on x86-64


def idle_wait_pipe(pid):
    """The pipe that process pid's main thread, idle, waits on: the same blocked read seen
    twice 50 ms apart (a request's reply takes microseconds), within a second; else None."""
    seen = None
    for _ in range(20):
        now = blocked_read(pid)
        if now is not None and now == seen:
            return now
        seen = now
        time.sleep(0.05)
    return None


def last_error(log_path):
    """The last line of Wine's own complaints in a log, as ': LINE', or nothing."""
    try:
        with open(log_path, "rb") as f:
            lines = [line.decode("utf-8", "replace").strip() for line in f]
    except OSError:
        return ""
    said = [line for line in lines if line.startswith("wine:") or ":err:" in line or line.startswith("err:")]
    return ": " + said[-1] if said else ""


def _tied_to_runner(args):
    """The command line that gives a child SIGKILL when the runner dies, however it dies."""
    setpriv = shutil.which("setpriv")
    return [setpriv, "--pdeathsig", "KILL", "--"] + args if setpriv else args


class Session:
    """The virtual display, the Wine prefix and every process started for the cases."""

    def __init__(self, work, cpu=0):
        self.work = work
        self.children = []  # (process, is a Windows program) in start order
        self.display = None
        self.env = None
        self.cpu = cpu   # the processor hold_back_devices() confines to
        self.held = []   # the threads it has changed
        self.held_stub = None  # the process id of the stub it holds back for
        self.gate = None  # and the thread that stops and continues the device services
        self.gate_done = None

    def spawn(self, args, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        kwargs.setdefault("env", self.env)
        process = subprocess.Popen(_tied_to_runner(args), **kwargs)
        self.children.append((process, args[0] == "wine"))
        return process

    def start_display(self, first=90):
        for number in range(first, first + 100):
            if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            # Not in the prefix's environment: ending the prefix's programs must spare it.
            xvfb = self.spawn(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                              env=dict(os.environ))
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and xvfb.poll() is None:
                if os.path.exists("/tmp/.X11-unix/X%d" % number):
                    self.display = ":%d" % number
                    return
                time.sleep(0.05)
            self.stop(xvfb)
        raise Failure("no virtual display could be started")

    def start_wine(self):
        prefix = os.path.join(self.work, "wineprefix")
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=prefix, WINEDEBUG="-all", LC_ALL="ja_JP.UTF-8", DISPLAY=self.display,
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        ready = os.path.join(prefix, ".e2e-ready")
        if not os.path.exists(ready):
            shutil.rmtree(prefix, ignore_errors=True)
            os.makedirs(self.work, exist_ok=True)
            print("e2e: creating the Wine prefix %s" % prefix, flush=True)
            log_path = os.path.join(self.work, "wineboot.log")
            with open(log_path, "wb") as log:
                boot = self.spawn(["wineboot", "-i"], stderr=log,
                                  env=dict(self.env, WINEDEBUG="-all,err+virtual"))
            try:
                boot.wait(timeout=limit(WINEBOOT_TIMEOUT))
            except subprocess.TimeoutExpired:
                raise Failure("wineboot -i did not finish in %d s" % limit(WINEBOOT_TIMEOUT))
            check(boot.returncode == 0, "wineboot -i failed with status %d%s" % (boot.returncode, last_error(log_path)))
            # Without a window manager Wine waits 2 s for every managed window it hides;
            # unmanaged windows close at once, and the cases close many message boxes.
            unmanaged = self.spawn(["wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed",
                                    "/t", "REG_SZ", "/d", "N", "/f"])
            try:
                unmanaged.wait(timeout=limit(60))
            except subprocess.TimeoutExpired:
                raise Failure("wine reg add did not finish in %d s" % limit(60))
            check(unmanaged.returncode == 0, "wine reg add failed with status %d" % unmanaged.returncode)
            self.kill_wine()
            open(ready, "w").close()
        else:
            self.kill_wine()  # whatever an interrupted run may have left
        # A server that stays up makes each program start faster.
        self.spawn(["wineserver", "-f", "-p"])

    def start_time(self):
        """Seconds that Wine's 32-bit cmd.exe takes to start and end in this prefix."""
        began = time.monotonic()
        try:
            done = subprocess.run(["wine", "C:\\windows\\syswow64\\cmd.exe", "/c", "exit"], env=self.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=limit(START_TIMEOUT))
        except subprocess.TimeoutExpired:
            raise Failure("a 32-bit cmd.exe did not start and end within %d s" % limit(START_TIMEOUT))
        check(done.returncode == 0, "a 32-bit cmd.exe failed with status %d" % done.returncode)
        return time.monotonic() - began

    def prefix_processes(self):
        """(process id, command line's words) of every running program of our prefix."""
        wanted = ("WINEPREFIX=" + self.env["WINEPREFIX"]).encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                with open("/proc/%s/environ" % entry, "rb") as f:
                    if wanted not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    words = f.read().decode("utf-8", "replace").split("\0")
            except OSError:
                continue
            yield int(entry), words

    def kill_wine(self):
        """Ends every program of our prefix: through its server, then by process id whatever is
        left (Wine's own services outlive a server that was killed, say with an earlier run)."""
        if self.env is None:
            return
        try:
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=limit(20),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except (subprocess.TimeoutExpired, OSError):
            pass
        for pid, _ in list(self.prefix_processes()):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

    def hold_back_devices(self, exe):
        """Under emulation, before a Save dialog opens: the prefix's device services
        (winedevice.exe) run only while the stub's main thread waits, until undo_hold_back().

        The dialog asks the mount manager, a device service, about each drive it lists. Native
        and fast, the service answers before the emulated thread has begun to wait for the
        answer, so Wine's server hands the answer over with a signal; under qemu-i386 that
        signal is handled on the signal stack of another of the program's threads (the dialog
        has started one that serves COM calls), and the thread then waits on the server for
        good. Held back, the service answers while the thread waits, and the answer comes with
        the wait's end.

        The services are stopped whenever the main thread is not blocked reading the pipe it
        waits on (the one it reads now, idle in its message loop), watched every 2 ms; and
        as that leaves a moment after each wait, they also share the stub's processor at idle
        priority."""
        if not i386_emulated() or self.env is None:
            return
        stub = os.path.abspath(exe)
        main, devices = None, []
        for pid, words in list(self.prefix_processes()):
            device = any(word.lower().endswith("winedevice.exe") for word in words)
            if not device and stub not in words:
                continue
            if device:
                devices.append(pid)
            else:
                main = pid
            try:
                threads = [int(tid) for tid in os.listdir("/proc/%d/task" % pid)]
            except FileNotFoundError:  # a program that has just ended
                continue
            for tid in threads:
                try:
                    before = (os.sched_getaffinity(tid), os.sched_getscheduler(tid))
                    os.sched_setaffinity(tid, {self.cpu})
                    if device:
                        os.sched_setscheduler(tid, os.SCHED_IDLE, os.sched_param(0))
                    self.held.append((tid, before))
                except ProcessLookupError:  # a thread that has just ended
                    pass
        self.held_stub = main
        wait_pipe = idle_wait_pipe(main) if main else None
        if wait_pipe is not None and devices:
            self.gate_done = threading.Event()
            self.gate = threading.Thread(target=self.run_gate, args=(main, wait_pipe, devices), daemon=True)
            self.gate.start()

    def run_gate(self, main, wait_pipe, devices):
        stopped = False
        try:
            while not self.gate_done.wait(0.002):
                waiting = blocked_read(main) == wait_pipe
                if waiting == stopped:
                    for pid in devices:
                        try:
                            os.kill(pid, signal.SIGCONT if waiting else signal.SIGSTOP)
                        except OSError:
                            pass
                    stopped = not waiting
        finally:
            for pid in devices:
                try:
                    os.kill(pid, signal.SIGCONT)
                except OSError:
                    pass

    def undo_hold_back(self):
        if self.gate is not None:
            self.gate_done.set()
            self.gate.join()
            self.gate = None
        for tid, (cpus, policy) in self.held:
            try:
                os.sched_setaffinity(tid, cpus)
                # Refused where the runner may not raise a priority (a user namespace): the
                # services then stay at idle priority for the rest of the session.
                os.sched_setscheduler(tid, policy, os.sched_param(0))
            except OSError:
                pass
        self.held = []
        self.held_stub = None

    def main_thread_time(self):
        """The processor time, in clock ticks, that the held-back stub's main thread has used so
        far; None when hold_back_devices() found no stub or it has ended."""
        if self.held_stub is None:
            return None
        try:
            with open("/proc/%d/task/%d/stat" % (self.held_stub, self.held_stub)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            return None
        return int(fields[11]) + int(fields[12])  # utime and stime

    @staticmethod
    def stop(process):
        if process.poll() is not None:
            return
        process.terminate()
        try:
            process.wait(timeout=3)
        except subprocess.TimeoutExpired:
            process.kill()
            try:
                process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                pass

    def screenshot(self, name):
        if not self.display:
            return None
        folder = os.path.join(self.work, "screenshots")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name + ".png")
        try:
            subprocess.run(["import", "-window", "root", path], env=self.env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except (subprocess.TimeoutExpired, OSError):
            return None
        return path if os.path.exists(path) else None

    def close(self):
        # The programs first, then the prefix's server, the display last.
        for process, windows in reversed(self.children):
            if windows:
                self.stop(process)
        self.kill_wine()
        for process, _ in reversed(self.children):
            self.stop(process)
        self.children = []


class Driver:
    """e2e-driver.exe in the prefix: one command line out, one answer line back."""

    def __init__(self, session, exe, log):
        self.process = session.spawn(["wine", exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            self.lines.put(raw.decode("utf-8", "replace").rstrip("\r\n"))
        self.lines.put(None)

    def call(self, command, timeout):
        try:
            self.process.stdin.write((command + "\n").encode("utf-8"))
            self.process.stdin.flush()
        except OSError:
            raise Failure("the driver has gone (sending %r)" % command)
        try:
            answer = self.lines.get(timeout=limit(timeout))
        except queue.Empty:
            raise Failure("the driver did not answer %r within %d s" % (command, limit(timeout)))
        if answer is None:
            raise Failure("the driver ended while answering %r" % command)
        return answer

    def ok(self, command, timeout=STEP_TIMEOUT):
        answer = self.call(command, timeout + 10)
        if answer != "ok" and not answer.startswith("ok "):
            raise Failure("%s: %s" % (command, answer))
        return answer[3:]

    def quit(self):
        try:
            self.process.stdin.write(b"quit\n")
            self.process.stdin.close()
            self.process.wait(timeout=limit(5))
        except (OSError, subprocess.TimeoutExpired):
            Session.stop(self.process)


class MessageBox:
    def __init__(self, answer):
        owned, buttons, caption, text = answer.split("\t")
        self.owned = owned == "1"
        self.buttons = {int(b) for b in buttons.split(",") if b}
        self.caption = unescape(caption)
        self.text = unescape(text)

    def expect(self, caption, text, buttons):
        check(self.owned, "the message box %r is not owned by the dialog" % self.text)
        expect("message box caption", self.caption, caption)
        expect("message box text", self.text, text)
        expect("message box buttons", self.buttons, set(buttons))


class App:
    """One running stub and the driver that watches it."""

    def __init__(self, session, driver_exe, exe, log, overrides=None):
        self.exe = exe
        self.session = session
        env = session.env
        if overrides:
            env = dict(env, WINEDLLOVERRIDES=env["WINEDLLOVERRIDES"] + ";" + overrides)
        self.process = session.spawn(["wine", exe], cwd=os.path.dirname(exe), stdout=log, stderr=log, env=env)
        self.driver = Driver(session, driver_exe, log)

    def find(self):
        self.driver.ok("find %d %s" % (ms(START_TIMEOUT), escape(CAPTION)), START_TIMEOUT)

    def wait_loaded(self, timeout=STEP_TIMEOUT):
        """Waits for the start-up load to fill the information text, as a user would before Start."""
        deadline = time.monotonic() + limit(timeout)
        while time.monotonic() < deadline:
            if self.text(INFO_ID).startswith("分割元ファイル "):
                return
            time.sleep(0.05)
        raise Failure("the start-up load did not fill the information text within %d s" % limit(timeout))

    def text(self, control):
        return unescape(self.driver.ok("text %d" % control))

    def wait_text(self, control, text, timeout=STEP_TIMEOUT):
        answer = self.driver.call("waittext %d %d %s" % (control, ms(timeout), escape(text)), timeout + 10)
        if answer != "ok":
            last = unescape(answer[len("err timeout "):]) if answer.startswith("err timeout") else answer
            raise Failure("control %d did not read %r within %d s (it reads %r)" % (control, text, limit(timeout), last))

    def enabled(self, control):
        return self.driver.ok("enabled %d" % control) == "1"

    def pos(self):
        return int(self.driver.ok("pos"))

    def click(self, control):
        self.driver.ok("click %d" % control)

    def set_text(self, control, text):
        self.driver.ok("settext %d %s" % (control, escape(text)))

    def menu_char(self, char):
        self.driver.ok("menuchar %s" % char)

    def rect(self, control):
        return tuple(int(v) for v in self.driver.ok("rect %d" % control).split())

    def version(self, path):
        """The version block a Properties page shows: (language and code page, file version, strings)."""
        fields = self.driver.ok("version %s" % escape(win_path(path))).split("\t")
        return fields[0], fields[1], dict(unescape(f).split("=", 1) for f in fields[2:])

    def icons(self, path):
        return self.driver.ok("icons %s" % escape(win_path(path))).split(",")

    def children(self):
        entries = []
        for entry in self.driver.ok("children").split(";"):
            ident, cls, x, y, w, h = entry.split(",")
            entries.append((int(ident), cls, int(x), int(y), int(w), int(h)))
        return entries

    def message_box(self, timeout=STEP_TIMEOUT):
        return MessageBox(self.driver.ok("msgbox %d" % ms(timeout), timeout))

    def no_message_box(self, wait=0.0):
        answer = self.driver.call("msgbox %d" % ms(wait), wait + 10)
        if answer.startswith("ok "):
            box = MessageBox(answer[3:])
            raise Failure("unexpected message box %r: %r" % (box.caption, box.text))
        expect("message box look-up", answer, "err timeout")
        expect("Save dialog look-up", self.driver.call("window 0 %s" % escape(SAVE_CAPTION), 10), "err timeout")

    def answer(self, button):
        self.driver.ok("answer %d" % button)

    def save_dialog(self, timeout=START_TIMEOUT):
        """Waits for the Save dialog that Browse opens; True when the program's dialog owns it.
        Its first opening loads the shell's libraries, which costs as much as a program's start.
        Under emulation a dialog that does not come, or whose program's main thread stops using
        the processor before it comes, is a WineHang."""
        if not i386_emulated():
            return self.driver.ok("window %d %s" % (ms(timeout), escape(SAVE_CAPTION)), timeout) == "1"
        deadline = time.monotonic() + limit(timeout)
        used, since = None, time.monotonic()
        while True:
            answer = self.driver.call("window %d %s" % (SAVE_SLICE_SECONDS * 1000, escape(SAVE_CAPTION)),
                                      SAVE_SLICE_SECONDS + 10)
            if answer == "ok" or answer.startswith("ok "):
                return answer[3:] == "1"
            if answer != "err timeout":
                raise Failure("window: %s" % answer)
            now = time.monotonic()
            if now >= deadline:
                raise WineHang("the Save dialog did not appear within %d s" % limit(timeout))
            last = self.session.main_thread_time()
            if last is None or last != used:  # unknown, or still working
                used, since = last, now
            elif now - since >= STALL_SECONDS:
                raise WineHang("the Save dialog did not appear, and the program's main thread has used no "
                               "processor time for %d s" % STALL_SECONDS)

    def save_text(self, control):
        return unescape(self.driver.ok("wtext %d" % control))

    def save_set_text(self, control, text):
        self.driver.ok("wsettext %d %s" % (control, escape(text)))

    def save_press(self, button):
        """Presses Save (IDOK) or Cancel (IDCANCEL) and waits for the Save dialog to close."""
        self.driver.ok("wpress %d" % button)

    def expect_idle(self, status):
        """After a run: the status, Close on button 2 and every control usable again."""
        self.wait_text(INFO_ID, status)
        self.wait_text(CLOSE_ID, CLOSE, 2)
        for control in (START_ID, CLOSE_ID, DEST_ID, BROWSE_ID):
            check(self.enabled(control), "control %d is still disabled after the run" % control)

    def expect_running(self):
        self.wait_text(INFO_ID, RUNNING, 2)
        expect("button 2 while running", self.text(CLOSE_ID), CANCEL)
        for control in (START_ID, DEST_ID, BROWSE_ID):
            check(not self.enabled(control), "control %d is enabled while running" % control)
        check(self.enabled(CLOSE_ID), "the cancel button is disabled while running")

    def run_to_end(self, status=FINISHED):
        """Start, then the end of the run. Start shows RUNNING until the first status poll, half a
        second later, so a status left over from an earlier run is never taken for this one's."""
        self.click(START_ID)
        self.wait_text(INFO_ID, RUNNING, 5)
        self.expect_idle(status)

    def close_and_exit(self):
        """Close while idle ends the process with status 0."""
        self.click(CLOSE_ID)
        self.expect_exit()

    def expect_exit(self):
        self.driver.ok("waitgone %d" % ms(EXIT_TIMEOUT), EXIT_TIMEOUT)
        try:
            status = self.process.wait(timeout=limit(EXIT_TIMEOUT))
        except subprocess.TimeoutExpired:
            raise Failure("the process did not end within %d s of its window" % limit(EXIT_TIMEOUT))
        expect("exit status", status, 0)

    def end(self):
        self.driver.quit()
        Session.stop(self.process)


class Runner:
    def __init__(self, args):
        self.win_build = os.path.abspath(args.win_build)
        self.stub = os.path.join(self.win_build, "PnRestore.exe")
        self.driver_exe = os.path.join(self.win_build, "e2e-driver.exe")
        self.split_tool = os.path.abspath(args.split)
        self.work = os.path.abspath(args.work or os.path.join(self.win_build, "e2e"))
        self.keep = args.keep
        self.jobs = args.jobs
        self.display_from = args.display_from
        self.session = Session(self.work, args.cpu)
        self.apps = []
        self.log = None
        self.case_dir = None
        self.large = None
        self.passed = self.failed = self.left_out = 0

    # --- fixtures ---

    def folder(self, *parts):
        path = os.path.join(self.case_dir, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    @staticmethod
    def content(size, seed):
        return random.Random(seed).randbytes(size)

    def make_set(self, data, name, options=(), base="Data", folder=None, name_bytes=None):
        """Writes data as the split file and splits it; returns the executable's path."""
        folder = folder or self.case_dir
        source = os.path.join(self.folder("input"), "source.bin")
        with open(source, "wb") as f:
            f.write(data)
        command = [self.split_tool, "--stub", self.stub, "--out", folder, "--base", base, "--time", STAMP]
        command += ["--name-bytes", name_bytes.hex()] if name_bytes is not None else ["--name", name]
        if not any(o in ("--data-counts", "--piece-size") for o in options):
            options = ["--data-counts", str(len(data))] + list(options)
        command += list(options) + [source]
        self.split(command)
        exe = os.path.join(folder, base + ".exe")
        check(os.path.exists(exe), "parcelon-split made no %s" % exe)
        return exe

    def split(self, command):
        try:
            done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=SPLIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise Failure("parcelon-split did not finish in %d s" % SPLIT_TIMEOUT)
        check(done.returncode == 0, "parcelon-split failed: %s" % done.stdout.decode("utf-8", "replace").strip())

    def large_set(self):
        """One single-piece set of LARGE_SIZE bytes, shared by the cases that need a long run."""
        if self.large is None:
            folder = os.path.join(self.work, "cases", "_large")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            source = os.path.join(folder, "large.bin")
            with open(source, "wb") as f:
                f.write(random.Random(7).randbytes(LARGE_HEAD))
                f.truncate(LARGE_SIZE)
            self.split([self.split_tool, "--stub", self.stub, "--out", folder, "--base", "Large",
                        "--name", "large.bin", "--time", STAMP, "--data-counts", str(LARGE_SIZE), source])
            self.large = (os.path.join(folder, "Large.exe"), source)
        return self.large

    # --- checks on files ---

    def expect_restored(self, path, data):
        check(os.path.exists(path), "no restored file %s" % path)
        with open(path, "rb") as f:
            restored = f.read()
        check(restored == data, "%s holds %d bytes that differ from the %d of the split file"
              % (path, len(restored), len(data)))
        expect("last-write time of %s" % os.path.basename(path), int(os.stat(path).st_mtime), STAMP_EPOCH)

    # --- running ---

    def start(self, exe, loaded=True, overrides=None):
        """Starts the stub and finds its dialog; unless told otherwise, waits for its start-up load."""
        app = App(self.session, self.driver_exe, exe, self.log, overrides)
        self.apps.append(app)
        app.find()
        if loaded:
            app.wait_loaded()
        return app

    def select(self, cases, only, exact):
        """The cases to run. Under emulation, without --only, the others are left out and named."""
        if exact:
            named = dict(cases)
            return [(n, named[n]) for n in exact if n in named]
        if only:
            return [(n, c) for n, c in cases if any(o in n for o in only)]
        if reduced_run():
            kept = [(n, c) for n, c in cases if n in EMULATION_CASES]
            left = [n for n, _ in cases if n not in EMULATION_CASES]
            if left:
                self.left_out = len(left)
                print("e2e: left out under emulation, where a case takes minutes (their areas are covered by the "
                      "cases that run; PARCELON_E2E_ALL=1 runs them too): %s" % ", ".join(left), flush=True)
            return kept
        return list(cases)

    def run(self, cases, only, exact=None):
        os.makedirs(self.work, exist_ok=True)
        shutil.rmtree(os.path.join(self.work, "screenshots"), ignore_errors=True)
        started = time.monotonic()
        try:
            to_measure = announce_slowdown()
            cases = self.select(cases, only, exact)
            for tool in (self.stub, self.driver_exe, self.split_tool):
                check(os.path.exists(tool), "missing %s" % tool)
            self.session.start_display(self.display_from)
            self.session.start_wine()
            if to_measure:
                measure_slowdown(self.session)
            jobs = min(self.jobs or (2 if i386_emulated() and (os.cpu_count() or 1) >= 2 else 1), len(cases))
            if jobs > 1:
                self.session.close()
                self.run_jobs(cases, jobs)
            else:
                for name, case in cases:
                    if self.run_case(name, case):
                        self.passed += 1
                    else:
                        self.failed += 1
        except Failure as error:
            print("e2e: setup failed: %s" % error, flush=True)
            self.failed += 1
        finally:
            self.session.close()
            if self.log:
                self.log.close()
        if not self.failed and not self.keep:
            shutil.rmtree(os.path.join(self.work, "cases"), ignore_errors=True)
        print("e2e: %.1f s" % (time.monotonic() - started))
        closing = "%d passed, %d failed" % (self.passed, self.failed)
        if self.left_out:
            closing += ", %d left out under emulation" % self.left_out
        print(closing, flush=True)
        return self.failed == 0

    def run_jobs(self, cases, jobs):
        """Runs the cases in that many child runs at once, each with a copy of the ready prefix
        and a display of its own; their lines are passed on as they come, their counts added."""
        weights = dict(CASE_WEIGHTS)
        shares = [[] for _ in range(jobs)]
        loads = [0] * jobs
        for name, _ in sorted(cases, key=lambda c: -weights.get(c[0], 1)):
            lightest = loads.index(min(loads))
            shares[lightest].append(name)
            loads[lightest] += weights.get(name, 1)
        # The Save dialog's cases go first in each job: should Wine still hang over that dialog
        # under emulation, the hang and its further attempts then come early, not at the end.
        for names in shares:
            names.sort(key=lambda name: name not in SAVE_DIALOG_CASES)
        prefix = os.path.join(self.work, "wineprefix")
        children = []
        for number, names in enumerate(shares):
            work = os.path.join(self.work, "job%d" % number)
            shutil.rmtree(os.path.join(work, "wineprefix"), ignore_errors=True)
            os.makedirs(work, exist_ok=True)
            subprocess.run(["cp", "-a", prefix, os.path.join(work, "wineprefix")], check=True)
            print("e2e: job %d runs %s" % (number, ", ".join(names)), flush=True)
            command = [sys.executable, os.path.abspath(__file__), "--win-build", self.win_build,
                       "--split", self.split_tool, "--work", work, "--jobs", "1",
                       "--display-from", str(self.display_from + 100 * (number + 1)),
                       "--cpu", str(number % (os.cpu_count() or 1))]
            command += ["--keep"] if self.keep else []
            for name in names:
                command += ["--case", name]
            child = subprocess.Popen(_tied_to_runner(command), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
            counts = {}
            relay = threading.Thread(target=self.relay, args=(number, child, counts), daemon=True)
            relay.start()
            children.append((child, relay, counts))
        for child, relay, counts in children:
            child.wait()
            relay.join()
            if "passed" in counts:
                self.passed += counts["passed"]
                self.failed += counts["failed"]
            else:
                print("e2e: a job ended with status %d and no count" % child.returncode, flush=True)
                self.failed += 1

    @staticmethod
    def relay(number, child, counts):
        for raw in child.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            words = line.split()
            if len(words) == 4 and words[1] == "passed," and words[3] == "failed":
                counts["passed"], counts["failed"] = int(words[0]), int(words[2])
                continue
            print("[%d] %s" % (number, line), flush=True)

    def run_case(self, name, case, attempt=1):
        self.case_dir = os.path.join(self.work, "cases", name)
        shutil.rmtree(self.case_dir, ignore_errors=True)
        os.makedirs(self.case_dir)
        if self.log:
            self.log.close()
        self.log = open(os.path.join(self.case_dir, "wine.log"), "wb")
        self.apps = []
        began = time.monotonic()
        retry = False
        try:
            case(self)
            ok = True
            print("PASS %s (%.1f s)%s" % (name, time.monotonic() - began,
                                          " at attempt %d" % attempt if attempt > 1 else ""), flush=True)
        except WineHang as error:
            ok = False
            retry = attempt < HANG_ATTEMPTS
            print("%s %s (%.1f s): %s" % ("HANG" if retry else "FAIL", name, time.monotonic() - began, error),
                  flush=True)
        except Exception as error:  # a broken case fails like a failing one and the rest still run
            ok = False
            reason = error if isinstance(error, Failure) else "%s: %s" % (type(error).__name__, error)
            print("FAIL %s (%.1f s): %s" % (name, time.monotonic() - began, reason), flush=True)
            shot = self.session.screenshot(name)
            if shot:
                print("     screenshot: %s" % shot, flush=True)
        finally:
            for app in self.apps:
                app.end()
            self.session.undo_hold_back()
        if retry:
            # In a new Wine session: the case's every check holds again, or it fails.
            print("     %s: the Save dialog hung, a fault of Wine under emulation; the case runs again in a new "
                  "Wine session (attempt %d of %d)" % (name, attempt + 1, HANG_ATTEMPTS), flush=True)
            self.session.close()
            self.session.start_display(self.display_from)
            self.session.start_wine()
            return self.run_case(name, case, attempt + 1)
        return ok


# --- the cases ---

def mul_div(value, numerator, denominator):
    """Windows' MulDiv for the positive values of a dialog layout: rounded half up."""
    return (value * numerator * 2 + denominator) // (denominator * 2)


def expect_template_layout(children):
    """Every control sits exactly where the template's dialog units put it, for the one pair of
    base units (horizontal, vertical) that gives the Start button its 50 x 14 units."""
    start_w, start_h = children[0][4], children[0][5]
    for base_x in range(1, 40):
        for base_y in range(1, 80):
            if mul_div(50, base_x, 4) != start_w or mul_div(14, base_y, 8) != start_h:
                continue
            placed = [(c[2], c[3], c[4], c[5]) for c in children]
            wanted = [(mul_div(t[2], base_x, 4), mul_div(t[3], base_y, 8), mul_div(t[4], base_x, 4),
                       mul_div(t[5], base_y, 8)) for t in TEMPLATE]
            if placed == wanted:
                return
            for (ident, cls, *_), got, want in zip(children, placed, wanted):
                check(got == want, "control %d (%s) is at %s, the template puts it at %s (base units %d, %d)"
                      % (ident, cls, got, want, base_x, base_y))
    raise Failure("no base units give the Start button its %d x %d pixels" % (start_w, start_h))


def case_startup(r):
    """Start-up texts, the proposal, the template's layout; Close while idle ends the process."""
    exe = r.make_set(r.content(5000, 1), "sample.txt")
    app = r.start(exe)
    app.wait_text(INFO_ID, "分割元ファイル sample.txt\r\nサイズ  5,000Bytes")
    expect("proposed destination", app.text(DEST_ID), proposal(r.case_dir, "sample.txt"))
    expect("caption", app.text(0), CAPTION)
    expect("start button", app.text(START_ID), START)
    expect("close button", app.text(CLOSE_ID), CLOSE)
    expect("browse button", app.text(BROWSE_ID), BROWSE)
    for control in (START_ID, CLOSE_ID, DEST_ID, BROWSE_ID):
        check(app.enabled(control), "control %d is disabled at start-up" % control)
    expect("progress at start-up", app.pos(), 0)
    children = app.children()
    expect("controls in creation order", [(c[0], c[1]) for c in children], [(t[0], t[1]) for t in TEMPLATE])
    expect_template_layout(children)
    app.no_message_box()
    translation, file_version, strings = app.version(exe)
    check(translation in ("041104B0", "041103A4"), "the version block's language is %s" % translation)
    expect("file version", file_version, "2.0.1.0")
    expect("version strings", strings, VERSION_STRINGS)
    expect("images of icon group 101", app.icons(exe), ["32x32x4", "16x16x4"])
    app.close_and_exit()
    check(sorted(os.listdir(r.case_dir)) == ["Data.exe", "input", "wine.log"], "start-up wrote files")


def case_single_piece(r):
    data = r.content(5000, 2)
    exe = r.make_set(data, "single.dat")
    app = r.start(exe)
    app.run_to_end()
    expect("progress after the restore", app.pos(), 100)
    app.no_message_box()
    r.expect_restored(os.path.join(r.case_dir, "single.dat"), data)
    app.close_and_exit()


def case_three_pieces(r):
    data = r.content(8500, 3)
    exe = r.make_set(data, "three.dat", ["--data-counts", "3000,3000,2500"])
    check(os.path.exists(os.path.join(r.case_dir, "Data.d03")), "the set has no third piece")
    app = r.start(exe)
    app.run_to_end()
    expect("progress after the restore", app.pos(), 100)
    r.expect_restored(os.path.join(r.case_dir, "three.dat"), data)
    app.close_and_exit()


def overwrite_question(app, path):
    """The overwrite question for a destination at the proposed path."""
    shown = proposal(os.path.dirname(path), os.path.basename(path))
    app.message_box().expect(OVERWRITE_CAPTION, "%s は\nすでに存在しますが、上書きしてもよろしいですか" % shown,
                             [IDYES, IDNO])


def case_overwrite(r):
    """An existing destination: No leaves it untouched, Yes restores over it."""
    data = r.content(6000, 4)
    exe = r.make_set(data, "exists.txt", ["--data-counts", "4000,2000"])
    target = os.path.join(r.case_dir, "exists.txt")
    with open(target, "wb") as f:
        f.write(b"the older file\n")
    os.utime(target, (1000000000, 1000000000))
    app = r.start(exe)
    app.click(START_ID)
    overwrite_question(app, target)
    app.answer(IDNO)
    app.expect_idle(STOPPED)
    with open(target, "rb") as f:
        expect("destination after No", f.read(), b"the older file\n")
    expect("destination's time after No", int(os.stat(target).st_mtime), 1000000000)
    app.click(START_ID)
    overwrite_question(app, target)
    app.answer(IDYES)
    app.expect_idle(FINISHED)
    r.expect_restored(target, data)
    app.close_and_exit()


def case_bad_crc(r):
    """A wrong check value in an intermediate piece: No stops, Yes goes on to the end."""
    data = r.content(9000, 5)
    exe = r.make_set(data, "crc.bin", ["--data-counts", "3000,3000,3000", "--bad-crc", "2"])
    target = os.path.join(r.case_dir, "crc.bin")
    warning = "ファイルの内容が正しくありません。強行しますか？\n[%s]" % win_path(os.path.join(r.case_dir, "Data.d02"))
    app = r.start(exe)
    app.click(START_ID)
    app.message_box().expect(CHECK_CAPTION, warning, [IDYES, IDNO])
    app.answer(IDNO)
    app.expect_idle(STOPPED)
    app.click(START_ID)
    overwrite_question(app, target)
    app.answer(IDYES)
    app.message_box().expect(CHECK_CAPTION, warning, [IDYES, IDNO])
    app.answer(IDYES)
    app.expect_idle(FINISHED)
    r.expect_restored(target, data)
    app.close_and_exit()


def case_missing_piece(r):
    """A missing piece is asked for until it is there."""
    data = r.content(9000, 6)
    exe = r.make_set(data, "missing.bin", ["--data-counts", "3000,3000,3000"])
    piece = os.path.join(r.case_dir, "Data.d03")
    aside = os.path.join(r.folder("aside"), "Data.d03")
    os.rename(piece, aside)
    prompt = "次に %s を読み込みます。" % win_path(piece)
    app = r.start(exe)
    app.click(START_ID)
    app.message_box().expect(NEXT_CAPTION, prompt, [IDOK, IDCANCEL])
    app.answer(IDOK)
    app.message_box().expect(NEXT_CAPTION, prompt, [IDOK, IDCANCEL])
    os.rename(aside, piece)
    app.answer(IDOK)
    app.expect_idle(FINISHED)
    r.expect_restored(os.path.join(r.case_dir, "missing.bin"), data)
    app.close_and_exit()


def case_recovery_rebuild(r):
    """With two recovery files: a missing piece rebuilt, then a damaged one, then two missing ones, byte for byte
    with the time stamp; with one of them gone, the second missing piece gets today's question."""
    data = r.content(9500, 26)
    exe = r.make_set(data, "rebuild.bin", ["--data-counts", "4000,3000,2500", "--recovery=2"])
    target = os.path.join(r.case_dir, "rebuild.bin")
    d02 = os.path.join(r.case_dir, "Data.d02")
    d03 = os.path.join(r.case_dir, "Data.d03")
    aside = os.path.join(r.folder("aside"), "Data.d02")
    os.rename(d02, aside)
    app = r.start(exe)
    app.click(START_ID)
    app.message_box().expect(CHECK_CAPTION, "「%s」が見つかりません。\n回復ファイルから作り直しますか？" % win_path(d02),
                             [IDYES, IDNO])
    app.answer(IDYES)
    app.expect_idle(FINISHED)
    r.expect_restored(target, data)
    os.rename(aside, d02)
    with open(d03, "r+b") as f:
        f.seek(13 + 1000)
        byte = f.read(1)
        f.seek(13 + 1000)
        f.write(bytes([byte[0] ^ 0x40]))
    app.click(START_ID)
    overwrite_question(app, target)
    app.answer(IDYES)
    app.message_box().expect(CHECK_CAPTION, "ファイルの内容が正しくありません。\n回復ファイルから作り直しますか？\n[%s]"
                             % win_path(d03), [IDYES, IDNO])
    app.answer(IDYES)
    app.expect_idle(FINISHED)
    r.expect_restored(target, data)
    # Two pieces lost: the second recovery file covers the second.
    os.rename(d02, aside)
    os.rename(d03, os.path.join(r.folder("aside"), "Data.d03"))
    app.click(START_ID)
    overwrite_question(app, target)
    app.answer(IDYES)
    for lost in (d02, d03):
        app.message_box().expect(CHECK_CAPTION, "「%s」が見つかりません。\n回復ファイルから作り直しますか？" % win_path(lost),
                                 [IDYES, IDNO])
        app.answer(IDYES)
    app.expect_idle(FINISHED)
    r.expect_restored(target, data)
    # With the second recovery file gone too, the second lost piece gets today's question.
    os.rename(os.path.join(r.case_dir, "Data.d00.02"), os.path.join(r.folder("aside"), "Data.d00.02"))
    app.click(START_ID)
    overwrite_question(app, target)
    app.answer(IDYES)
    app.message_box().expect(CHECK_CAPTION, "「%s」が見つかりません。\n回復ファイルから作り直しますか？" % win_path(d02),
                             [IDYES, IDNO])
    app.answer(IDYES)
    app.message_box().expect(NEXT_CAPTION, "次に %s を読み込みます。" % win_path(d03), [IDOK, IDCANCEL])
    app.answer(IDCANCEL)
    app.expect_idle(STOPPED)
    check(os.path.getsize(target) < len(data), "a stopped run left a file of the full size")
    app.close_and_exit()


def case_missing_piece_cancel(r):
    data = r.content(6000, 7)
    exe = r.make_set(data, "gone.bin", ["--data-counts", "3000,3000"])
    piece = os.path.join(r.case_dir, "Data.d02")
    os.remove(piece)
    app = r.start(exe)
    app.click(START_ID)
    app.message_box().expect(NEXT_CAPTION, "次に %s を読み込みます。" % win_path(piece), [IDOK, IDCANCEL])
    app.answer(IDCANCEL)
    app.expect_idle(STOPPED)
    with open(os.path.join(r.case_dir, "gone.bin"), "rb") as f:
        expect("the partly restored file", f.read(), data[:3000])
    app.close_and_exit()


def case_no_marker(r):
    """A piece file without the piece marker: Retry looks again, Cancel stops."""
    data = r.content(6000, 8)
    exe = r.make_set(data, "marker.bin", ["--data-counts", "3000,3000"])
    with open(os.path.join(r.case_dir, "Data.d02"), "wb") as f:
        f.write(b"no marker in here. " * 250)
    app = r.start(exe)
    app.click(START_ID)
    app.message_box().expect(PRODUCT_CAPTION, "分割ファイルが異常です。", [IDRETRY, IDCANCEL])
    app.answer(IDRETRY)
    app.message_box().expect(PRODUCT_CAPTION, "分割ファイルが異常です。", [IDRETRY, IDCANCEL])
    app.answer(IDCANCEL)
    app.expect_idle(STOPPED)
    with open(os.path.join(r.case_dir, "marker.bin"), "rb") as f:
        expect("the partly restored file", f.read(), data[:3000])
    app.close_and_exit()


def case_other_set(r):
    """A piece of another set: Yes takes it, No (on a second run) stops."""
    data = r.content(9000, 9)
    exe = r.make_set(data, "other.bin", ["--data-counts", "3000,3000,3000", "--set-id", "1234",
                                         "--set-id-for", "2=ABCD"])
    target = os.path.join(r.case_dir, "other.bin")
    question = "「%s」は、\n現在復元中のファイルとは異なります。強行しますか？" % win_path(os.path.join(r.case_dir, "Data.d02"))
    app = r.start(exe)
    app.click(START_ID)
    app.message_box().expect(CHECK_CAPTION, question, [IDYES, IDNO])
    app.answer(IDYES)
    app.expect_idle(FINISHED)
    r.expect_restored(target, data)
    app.click(START_ID)
    overwrite_question(app, target)
    app.answer(IDYES)
    app.message_box().expect(CHECK_CAPTION, question, [IDYES, IDNO])
    app.answer(IDNO)
    app.expect_idle(STOPPED)
    app.close_and_exit()


def case_bad_crc_last(r):
    """A wrong check value in the last piece is reported, and the restore still counts as finished."""
    data = r.content(6000, 14)
    exe = r.make_set(data, "last.bin", ["--data-counts", "3000,3000", "--bad-crc", "2"])
    app = r.start(exe)
    app.click(START_ID)
    app.message_box().expect(CHECK_CAPTION, "ファイルの内容が正しくありません。\n[%s]"
                             % win_path(os.path.join(r.case_dir, "Data.d02")), [IDOK])
    app.answer(IDOK)
    app.expect_idle(FINISHED)
    r.expect_restored(os.path.join(r.case_dir, "last.bin"), data)
    app.close_and_exit()


def case_truncated_piece(r):
    """A piece file that ends inside its data."""
    data = r.content(6000, 15)
    exe = r.make_set(data, "short.bin", ["--data-counts", "3000,3000"])
    piece = os.path.join(r.case_dir, "Data.d02")
    os.truncate(piece, os.path.getsize(piece) - 500)
    app = r.start(exe)
    app.click(START_ID)
    app.message_box().expect(PRODUCT_CAPTION, "ファイルの終端が欠けてします。\n[%s]" % win_path(piece), [IDOK])
    app.answer(IDOK)
    app.expect_idle(STOPPED)
    app.close_and_exit()


def case_destination_not_creatable(r):
    """An edited destination in a folder that does not exist."""
    exe = r.make_set(r.content(3000, 16), "nowhere.bin")
    app = r.start(exe)
    app.set_text(DEST_ID, win_path(os.path.join(r.case_dir, "no_such_folder", "nowhere.bin")))
    app.click(START_ID)
    app.message_box().expect(PRODUCT_CAPTION, "復元ファイルを作成できません\nファイルパス名を確認してください。", [IDOK])
    app.answer(IDOK)
    app.expect_idle(STOPPED)
    check(not os.path.exists(os.path.join(r.case_dir, "no_such_folder")), "a folder was created")
    app.close_and_exit()


def wait_progress(app, least=1, timeout=STEP_TIMEOUT):
    deadline = time.monotonic() + limit(timeout)
    while time.monotonic() < deadline:
        position = app.pos()
        if position >= least:
            return position
        time.sleep(0.05)
    raise Failure("the progress bar did not reach %d within %d s" % (least, limit(timeout)))


def expect_prefix(path, source, total):
    size = os.path.getsize(path)
    check(LARGE_HEAD < size < total, "the cancelled restore left %d of %d bytes" % (size, total))
    with open(path, "rb") as restored, open(source, "rb") as original:
        check(restored.read() == original.read(size), "the cancelled restore is no prefix of the split file")


def case_cancel_large(r):
    """Cancel during a long restore: it stops, keeps what it wrote, and gives the buttons back."""
    exe, source = r.large_set()
    target = os.path.join(r.case_dir, "large.bin")
    app = r.start(exe)
    app.set_text(DEST_ID, win_path(target))
    app.click(START_ID)
    app.expect_running()
    wait_progress(app)
    app.click(CLOSE_ID)
    app.expect_idle(STOPPED)
    check(app.pos() < 100, "the progress bar is full after a cancel")
    expect_prefix(target, source, LARGE_SIZE)
    app.close_and_exit()


def case_second_run(r):
    """Two runs in one process give the same result and the same messages."""
    data = r.content(7000, 10)
    exe = r.make_set(data, "twice.bin", ["--data-counts", "2500,2500,2000"])
    target = os.path.join(r.case_dir, "twice.bin")
    app = r.start(exe)
    app.run_to_end()
    r.expect_restored(target, data)
    os.remove(target)
    app.run_to_end()
    expect("progress after the second run", app.pos(), 100)
    r.expect_restored(target, data)
    app.close_and_exit()


def case_mnemonics(r):
    """Alt+X starts, a second Alt+X does nothing, Alt+C cancels, Alt+R nothing, Alt+C closes."""
    exe, source = r.large_set()
    target = os.path.join(r.case_dir, "large.bin")
    app = r.start(exe)
    app.set_text(DEST_ID, win_path(target))
    app.menu_char("r")
    app.no_message_box(0.5)
    app.menu_char("x")
    app.expect_running()
    wait_progress(app)
    app.menu_char("X")
    app.no_message_box(0.5)
    expect("status after a second Alt+X", app.text(INFO_ID), RUNNING)
    app.menu_char("c")
    app.expect_idle(STOPPED)
    expect_prefix(target, source, LARGE_SIZE)
    app.menu_char("C")
    app.expect_exit()


def case_stub_only(r):
    """The bare stub, with nothing appended, reports itself damaged and ends."""
    exe = os.path.join(r.case_dir, "Bare.exe")
    shutil.copyfile(r.stub, exe)
    app = r.start(exe, loaded=False)
    app.message_box().expect(PRODUCT_CAPTION, "ファイルが壊れています。\n[%s]" % win_path(exe), [IDOK])
    app.answer(IDOK)
    app.expect_exit()
    expect("files beside the bare stub", sorted(os.listdir(r.case_dir)), ["Bare.exe", "wine.log"])


def case_long_folder(r):
    """A folder path of more than 128 characters."""
    folder = r.folder("a_folder_whose_name_is_long_enough" + "_x" * 20, "and_one_more_level_below" + "_y" * 20)
    check(len(win_path(os.path.join(folder, "Data.exe"))) > 128, "the test folder is not long enough")
    data = r.content(8000, 11)
    exe = r.make_set(data, "deep.txt", ["--data-counts", "3000,3000,2000"], folder=folder)
    app = r.start(exe)
    app.wait_text(INFO_ID, "分割元ファイル deep.txt\r\nサイズ  8,000Bytes")
    expect("proposed destination", app.text(DEST_ID), proposal(folder, "deep.txt"))
    app.run_to_end()
    r.expect_restored(os.path.join(folder, "deep.txt"), data)
    app.close_and_exit()


def case_name_with_folder(r):
    """A stored name that climbs out of the folder is refused before anything is written."""
    outer = r.folder("outer")
    folder = r.folder("outer", "set")
    exe = r.make_set(r.content(3000, 12), None, folder=folder, name_bytes=b"..\\evil.txt")
    app = r.start(exe, loaded=False)
    app.message_box().expect(PRODUCT_CAPTION, "ファイルが壊れています。\n[%s]" % win_path(exe), [IDOK])
    app.answer(IDOK)
    app.expect_exit()
    expect("files beside the set", sorted(os.listdir(outer)), ["set"])
    expect("files of the set", sorted(os.listdir(folder)), ["Data.exe"])


def case_japanese_name(r):
    """A stored name in code page 932 whose second byte is a backslash (表 is 95 5C)."""
    data = r.content(5000, 13)
    exe = r.make_set(data, None, name_bytes="表.txt".encode("cp932"))
    app = r.start(exe)
    app.wait_text(INFO_ID, "分割元ファイル 表.txt\r\nサイズ  5,000Bytes")
    expect("proposed destination", app.text(DEST_ID), proposal(r.case_dir, "表.txt"))
    app.run_to_end()
    r.expect_restored(os.path.join(r.case_dir, "表.txt"), data)
    app.close_and_exit()


def case_zone_mark(r):
    """The executable's download mark (under Wine a file named like its stream stands for the
    stream): zones 3 and 4 give the restored file a mark of that zone naming the executable, also
    from a mark in UTF-16 or one whose ZoneId comes after 1 KiB; zone 1 and no mark give none, and
    nothing named with a colon appears."""
    long_url = "https://example.org/" + "x" * 3000
    rows = [
        # folder, zone, the executable's mark (None: none)
        ("zone3", 3, None),
        ("zone4", 4, None),
        ("zone1", 1, None),
        ("zoneNone", None, None),
        ("utf16", 3, b"\xff\xfe" + ("[ZoneTransfer]\r\nReferrerUrl=%s\r\nZoneId=3\r\n" % long_url).encode("utf-16-le")),
        ("long", 4, ("[ZoneTransfer]\r\nReferrerUrl=%s\r\nZoneId=4\r\n" % long_url).encode("ascii")),
    ]
    if reduced_run():
        # Each row starts the stub anew, which takes minutes under emulation: zone 4 takes
        # the path of zone 3, and zone 1 that of no mark.
        rows = [row for row in rows if row[0] not in ("zone4", "zone1")]
        print("     zone_mark: rows zone4 and zone1 left out under emulation", flush=True)
    for name, zone, text in rows:
        folder = r.folder(name)
        data = r.content(3000, 40)
        exe = r.make_set(data, "marked.docm", folder=folder)
        if zone is not None:
            with open(exe + ":Zone.Identifier", "wb") as f:
                f.write(text or b"[ZoneTransfer]\r\nZoneId=%d\r\nReferrerUrl=https://example.org/\r\n"
                        b"HostUrl=https://example.org/Data.exe\r\n" % zone)
        app = r.start(exe)
        app.run_to_end()
        app.close_and_exit()
        target = os.path.join(folder, "marked.docm")
        r.expect_restored(target, data)
        mark = target + ":Zone.Identifier"
        if zone in (3, 4):
            check(os.path.exists(mark), "%s: the restored file has no mark" % name)
            with open(mark, "rb") as f:
                expect("%s: the restored file's mark" % name, f.read().decode("cp932"),
                       "[ZoneTransfer]\r\nZoneId=%d\r\nReferrerUrl=%s\r\n" % (zone, win_path(exe)))
        else:
            made = [n for n in os.listdir(folder) if ":" in n and n != "Data.exe:Zone.Identifier"]
            expect("%s: files named with a colon" % name, made, [])


def mount_tmpfs(folder, size):
    """A small disk of its own at folder (as root, or through sudo without a password)."""
    command = ["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs", folder]
    if os.geteuid() != 0:
        command = ["sudo", "-n"] + command
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)
    check(done.returncode == 0, "could not mount a tmpfs (root is needed): %s" % done.stdout.decode().strip())


def unmount(folder):
    command = ["umount", folder] if os.geteuid() == 0 else ["sudo", "-n", "umount", folder]
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)


def case_no_room(r):
    """A destination on a disk of 1 MiB for a 3 MB file: the question comes before the file
    exists; No leaves no file, Yes goes on until the disk is full."""
    data = r.content(3000000, 41)
    exe = r.make_set(data, "big.bin")
    disk = r.folder("disk")
    mount_tmpfs(disk, "1m")
    try:
        target = os.path.join(disk, "big.bin")
        app = r.start(exe)
        app.set_text(DEST_ID, win_path(target))
        info = os.statvfs(disk)
        question = ("復元先の空き容量が不足しています。強行しますか？\n必要な容量 3,000,000Bytes\n空き容量 %sBytes\n[%s]"
                    % ("{:,}".format(info.f_bavail * info.f_frsize), win_path(target)))
        app.click(START_ID)
        app.message_box().expect(CHECK_CAPTION, question, [IDYES, IDNO])
        check(not os.path.exists(target), "the destination exists while the question is open")
        r.session.screenshot("no_room_question")
        app.answer(IDNO)
        app.expect_idle(STOPPED)
        check(not os.path.exists(target), "No left a destination")
        app.click(START_ID)
        app.message_box().expect(CHECK_CAPTION, question, [IDYES, IDNO])
        app.answer(IDYES)
        app.message_box().expect(PRODUCT_CAPTION, "復元ファイルへの書き込みに失敗しました。\nディスクの空き容量を確認してください。\n[%s]"
                                 % win_path(target), [IDOK])
        app.answer(IDOK)
        app.expect_idle(STOPPED)
        check(os.path.getsize(target) < len(data), "the full disk took the whole file")
        app.close_and_exit()
    finally:
        for app in r.apps:
            app.end()
        r.apps = []
        unmount(disk)


def case_windows_split(r):
    """parcelon-split.exe under Wine, without --stub (it takes PnRestore.exe beside it), and the
    Linux tool with --stub: the same input, set identifier, time and piece size give the same
    files, byte for byte; the stub restores the Japanese name's set under its name and the input's
    time stamp; a name without a code page 932 form is refused alike, and nothing is written."""
    win_split = os.path.join(r.win_build, "parcelon-split.exe")
    check(os.path.exists(win_split), "missing %s" % win_split)
    data = r.content(100000, 21)
    rows = [
        # label, input name, options, exit status, files of the set, restored by the stub
        ("Japanese name, the input's time", "ソース表.txt", [], 0, ["ソース表.d02", "ソース表.d03", "ソース表.exe"], True),
        ("Japanese name, --time, --recovery", "ソース表.txt", ["--time", "2024-03-15T13:45:30", "--recovery"], 0,
         ["ソース表.d00", "ソース表.d02", "ソース表.d03", "ソース表.exe"], False),
        ("name outside code page 932", "résumé.txt", [], 1, [], False),
    ]
    for number, (label, name, options, status, files, restore) in enumerate(rows):
        source = os.path.join(r.folder("input%d" % number), name)
        with open(source, "wb") as f:
            f.write(data)
        os.utime(source, (STAMP_EPOCH, STAMP_EPOCH))
        common = ["--piece-size", "60000", "--set-id", "5A3C"] + options
        linux_out, windows_out = r.folder("linux%d" % number), r.folder("windows%d" % number)
        linux = subprocess.run([r.split_tool, "--stub", r.stub, "--out", linux_out] + common + [source],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=SPLIT_TIMEOUT,
                               env=dict(os.environ, LC_ALL="C.UTF-8"))
        # Its output goes to a file: Wine's own processes inherit a pipe and keep it open.
        errors_path = os.path.join(r.case_dir, "windows%d.stderr" % number)
        with open(errors_path, "wb") as errors:
            windows = r.session.spawn(["wine", win_split, "--out", win_path(windows_out)] + common +
                                      [win_path(source)], stderr=errors)
            try:
                windows.wait(timeout=limit(SPLIT_TIMEOUT))
            except subprocess.TimeoutExpired:
                raise Failure("%s: parcelon-split.exe did not finish in %d s" % (label, limit(SPLIT_TIMEOUT)))
        with open(errors_path, "rb") as errors:
            windows_errors = errors.read()
        expect("%s: exit status of parcelon-split" % label, linux.returncode, status)
        expect("%s: exit status of parcelon-split.exe" % label, windows.returncode, status)
        expect("%s: files of parcelon-split" % label, sorted(os.listdir(linux_out)), files)
        expect("%s: files of parcelon-split.exe" % label, sorted(os.listdir(windows_out)), files)
        for file in files:
            with open(os.path.join(linux_out, file), "rb") as a, open(os.path.join(windows_out, file), "rb") as b:
                check(a.read() == b.read(), "%s: the two tools' %s differ" % (label, file))
        if status:
            message = linux.stderr.decode("utf-8").strip()
            check(message in windows_errors.decode("utf-8", "replace").splitlines(),
                  "%s: parcelon-split.exe did not say %r but %r" % (label, message, windows_errors))
        if restore:
            app = r.start(os.path.join(windows_out, files[-1]))
            app.wait_text(INFO_ID, "分割元ファイル %s\r\nサイズ  100,000Bytes" % name)
            app.run_to_end()
            r.expect_restored(os.path.join(windows_out, name), data)
            app.close_and_exit()


def open_save_dialog(app):
    """Browse opens the Save dialog, owned by the program's dialog, which waits disabled under it."""
    app.session.hold_back_devices(app.exe)
    app.click(BROWSE_ID)
    check(app.save_dialog(), "the Save dialog is not owned by the program's dialog")
    check(not app.enabled(0), "the program's dialog is usable while the Save dialog is open")


def case_browse_cancel(r):
    """Browse shows the set's own filter and the proposed name; Cancel leaves the field alone,
    even after a new name was typed in the Save dialog."""
    exe = r.make_set(r.content(4000, 17), "Report.DAT")
    app = r.start(exe)
    proposed = proposal(r.case_dir, "Report.DAT")
    expect("proposed destination", app.text(DEST_ID), proposed)
    open_save_dialog(app)
    expect("Save dialog file type", app.save_text(FILE_TYPE_ID), "分割元ファイル (*.dat)")
    expect("Save dialog file name", app.save_text(FILE_NAME_ID), "Report.DAT")
    time.sleep(limit(1))  # let the Save dialog paint itself before the picture
    print("     screenshot of the Save dialog: %s" % r.session.screenshot("browse_save_dialog"), flush=True)
    expect("message box look-up over the Save dialog", app.driver.call("msgbox 0", 10), "err timeout")
    app.save_set_text(FILE_NAME_ID, win_path(os.path.join(r.folder("other"), "typed.dat")))
    app.save_press(IDCANCEL)
    expect("destination after Cancel", app.text(DEST_ID), proposed)
    check(app.enabled(0), "the program's dialog is still disabled after Cancel")
    app.close_and_exit()
    expect("files in the other folder", os.listdir(os.path.join(r.case_dir, "other")), [])


def case_browse_save(r):
    """A full path typed in the Save dialog becomes the destination, and Start restores there."""
    data = r.content(7000, 18)
    exe = r.make_set(data, "Report.DAT", ["--data-counts", "4000,3000"])
    chosen = os.path.join(r.folder("elsewhere"), "chosen.bin")
    app = r.start(exe)
    open_save_dialog(app)
    app.save_set_text(FILE_NAME_ID, win_path(chosen))
    app.save_press(IDOK)
    expect("destination after Save", app.text(DEST_ID), win_path(chosen))
    app.run_to_end()
    app.no_message_box()
    r.expect_restored(chosen, data)
    check(not os.path.exists(os.path.join(r.case_dir, "Report.DAT")), "a file was made at the proposed path")
    app.close_and_exit()


# DLLs that programs are commonly tricked into loading from their own folder: Windows looks
# there before the system folder for any that are not known to it.
PLANTED_NAMES = [
    "version", "uxtheme", "dwmapi", "cryptbase", "propsys", "userenv", "profapi", "apphelp", "oleacc",
    "clbcatq", "ntmarta", "setupapi", "comctl32", "comdlg32", "shell32", "shlwapi", "msimg32", "imm32",
    "usp10", "winmm", "bcrypt", "cryptsp", "rsaenh", "sspicli", "secur32", "wtsapi32", "iertutil",
    "netutils", "textshaping", "winspool.drv", "mpr", "ole32", "oleaut32", "dbghelp", "dwrite", "msasn1",
    "riched20", "wininet", "urlmon", "iphlpapi", "dnsapi", "edputil", "wldp", "duser", "xmllite",
]


def case_planted_dlls(r):
    """DLLs planted beside the set, which Wine is told to prefer over its own (as Windows would
    from the program's folder), are loaded neither at start-up, nor during a restore, nor for a
    message box, nor for the Save dialog; the restore is exact."""
    data = r.content(9000, 19)
    exe = r.make_set(data, "planted.bin", ["--data-counts", "3000,3000,3000", "--bad-crc", "2"])
    planted = os.path.join(r.win_build, "planted.dll")
    files = [n if "." in n else n + ".dll" for n in PLANTED_NAMES]
    for name in files:
        shutil.copyfile(planted, os.path.join(r.case_dir, name))

    def loaded():
        return sorted(n[:-len(".loaded")] for n in os.listdir(r.case_dir) if n.endswith(".loaded"))

    try:
        app = r.start(exe, overrides=",".join(PLANTED_NAMES) + "=n,b")
        open_save_dialog(app)
        app.save_press(IDCANCEL)
        app.click(START_ID)
        app.message_box().expect(CHECK_CAPTION, "ファイルの内容が正しくありません。強行しますか？\n[%s]"
                                 % win_path(os.path.join(r.case_dir, "Data.d02")), [IDYES, IDNO])
        app.answer(IDYES)
        app.expect_idle(FINISHED)
        app.close_and_exit()
    except Failure as error:
        raise type(error)("%s (planted DLLs loaded: %s)" % (error, ", ".join(loaded()) or "none"))
    expect("planted DLLs that were loaded", loaded(), [])
    r.expect_restored(os.path.join(r.case_dir, "planted.bin"), data)


CASES = [
    ("startup", case_startup),
    ("single_piece", case_single_piece),
    ("three_pieces", case_three_pieces),
    ("overwrite_no_then_yes", case_overwrite),
    ("bad_crc_intermediate", case_bad_crc),
    ("missing_piece_put_back", case_missing_piece),
    ("missing_piece_cancel", case_missing_piece_cancel),
    ("recovery_rebuild", case_recovery_rebuild),
    ("piece_without_marker", case_no_marker),
    ("piece_of_another_set", case_other_set),
    ("bad_crc_last_piece", case_bad_crc_last),
    ("truncated_piece", case_truncated_piece),
    ("destination_not_creatable", case_destination_not_creatable),
    ("cancel_large_restore", case_cancel_large),
    ("second_run", case_second_run),
    ("alt_mnemonics", case_mnemonics),
    ("stub_only", case_stub_only),
    ("long_folder", case_long_folder),
    ("name_with_folder", case_name_with_folder),
    ("japanese_name", case_japanese_name),
    ("zone_mark", case_zone_mark),
    ("no_room", case_no_room),
    ("windows_split", case_windows_split),
    ("browse_then_cancel", case_browse_cancel),
    ("browse_then_save", case_browse_save),
    ("planted_dlls", case_planted_dlls),
]

# The cases that run under emulation, where each takes minutes: one or more for every area of
# the program (start-up texts, a restore with its time stamp, a missing piece supplied, a bad
# check value, a foreign piece, a full disk and too little room, the chooser, the download
# mark, the Windows splitter, the DLL loader, the rebuild from the recovery file).
EMULATION_CASES = [
    "startup", "three_pieces", "missing_piece_put_back", "bad_crc_intermediate", "piece_of_another_set",
    "no_room", "browse_then_save", "zone_mark", "windows_split", "planted_dlls", "recovery_rebuild",
]

# The cases that open the Save dialog.
SAVE_DIALOG_CASES = ("browse_then_cancel", "browse_then_save", "planted_dlls")

# How much longer than one restore case a case takes, where it is more: the jobs share them out
# by these.
CASE_WEIGHTS = [("zone_mark", 4), ("windows_split", 4), ("no_room", 2), ("overwrite_no_then_yes", 2),
                ("bad_crc_intermediate", 2), ("piece_of_another_set", 2), ("second_run", 2)]


def run_sample(args):
    """The sample run without a screen: press Start, check the restored file, keep a picture."""
    win_build = os.path.abspath(args.win_build)
    work = os.path.abspath(args.work or os.path.join(win_build, "e2e"))
    session = Session(work)
    exe = os.path.abspath(args.sample)
    try:
        to_measure = announce_slowdown()
        session.start_display()
        session.start_wine()
        if to_measure:
            measure_slowdown(session)
        app = App(session, os.path.join(win_build, "e2e-driver.exe"), exe, subprocess.DEVNULL)
        app.find()
        app.wait_loaded()
        print("sample: %s" % app.text(INFO_ID).replace("\r\n", " / "), flush=True)
        target = app.text(DEST_ID)
        print("sample: restoring into %s" % target, flush=True)
        app.run_to_end()
        with open(args.expect, "rb") as f:
            wanted = f.read()
        restored = os.path.join(os.path.dirname(exe), target.split("\\")[-1])
        with open(restored, "rb") as f:
            check(f.read() == wanted, "%s differs from %s" % (restored, args.expect))
        print("sample: %s equals %s" % (restored, args.expect), flush=True)
        x, y, w, h = app.rect(0)
        shot = os.path.abspath(args.shot)
        subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", shot],
                       env=session.env, timeout=30, check=True)
        print("sample: screenshot of the finished dialog: %s" % shot, flush=True)
        app.close_and_exit()
        app.driver.quit()
        return 0
    except (Failure, subprocess.SubprocessError, OSError) as error:
        print("sample: failed: %s" % error, flush=True)
        shot = session.screenshot("sample-failure")
        if shot:
            print("sample: screenshot: %s" % shot, flush=True)
        return 1
    finally:
        session.close()


def probe_wine(args):
    """Under emulation, setup's check that Wine's 32-bit side starts at all: the tests' prefix
    is made where it is not ready yet (that starts wineboot and Wine's 32-bit programs), then
    a 32-bit cmd.exe starts and ends in it. One line either way."""
    work = os.path.abspath(args.work)
    session = Session(work)
    set_slowdown(given_slowdown() or PROVISIONAL_SLOWDOWN)
    try:
        session.start_display()
        session.start_wine()
        taken = session.start_time()
        print("a 32-bit Wine program started and ended under the emulator in %.1f s" % taken, flush=True)
        return 0
    except (Failure, subprocess.SubprocessError, OSError) as error:
        print(error, flush=True)
        return 1
    finally:
        session.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--win-build", help="the Windows build folder (PnRestore.exe, e2e-driver.exe)")
    parser.add_argument("--split", help="the native parcelon-split tool")
    parser.add_argument("--sample", help="run only this self-restoring executable: Start, then check --expect")
    parser.add_argument("--expect", help="with --sample: the file the restore must produce")
    parser.add_argument("--shot", help="with --sample: where the picture of the finished dialog goes")
    parser.add_argument("--work", help="scratch folder (default: WIN-BUILD/e2e); the Wine prefix is kept there")
    parser.add_argument("--only", action="append", help="run only the cases whose name contains this")
    parser.add_argument("--keep", action="store_true", help="keep the case folders after a passing run")
    parser.add_argument("--jobs", type=int, default=0,
                        help="cases run at once, each in a prefix of its own (default: 2 under emulation, else 1)")
    parser.add_argument("--case", action="append", help=argparse.SUPPRESS)  # a job's own cases, by exact name
    parser.add_argument("--display-from", type=int, default=90, help=argparse.SUPPRESS)
    parser.add_argument("--cpu", type=int, default=0, help=argparse.SUPPRESS)  # a job's processor
    parser.add_argument("--emulation", action="store_true",
                        help="print whether i386 programs run emulated or natively here, and exit")
    parser.add_argument("--wine-env", action="store_true",
                        help="print the shell's export lines that Wine's programs need here (under emulation the "
                             "address space qemu-i386 reserves; natively none), and exit")
    parser.add_argument("--probe-wine", action="store_true",
                        help="with --work: make the Wine prefix there if need be and start a 32-bit program in it; "
                             "one line, and a non-zero status when Wine cannot start")
    args = parser.parse_args()
    if args.emulation:
        print("emulated" if i386_emulated() else "native")
        return 0
    for name, value in emulation_env().items():
        if args.wine_env:
            print("export %s=%s" % (name, value))
        os.environ.setdefault(name, value)
    if args.wine_env:
        return 0
    if args.probe_wine:
        if not args.work:
            parser.error("--probe-wine needs --work")
        return probe_wine(args)
    if not args.win_build:
        parser.error("--win-build is required")
    if args.sample:
        if not (args.expect and args.shot):
            parser.error("--sample needs --expect and --shot")
        return run_sample(args)
    if not args.split:
        parser.error("--split is required")

    runner = Runner(args)

    def on_signal(number, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    try:
        ok = runner.run(CASES, args.only, args.case)
    except KeyboardInterrupt:
        runner.session.close()
        print("e2e: interrupted")
        print("%d passed, %d failed" % (runner.passed, runner.failed + 1), flush=True)
        return 130
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
