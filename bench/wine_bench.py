#!/usr/bin/env python3
"""bench/wine_bench.py: the --wine half of parcelon-bench. Times the real stub under Wine,
from pressing Start to the dialog reading "復元が終了しました。", against a bare Win32
copy loop (wincopy.exe: 1024-byte ReadFile/WriteFile) over the same pieces, alternating
over the rounds, and prints the medians. The display, the Wine prefix and the dialog are
handled by the end-to-end suite's own helpers in tests/e2e/run_e2e.py.

    wine_bench.py --win-build DIR --split PATH --wincopy EXE --wincrc EXE --work DIR
                  --size BYTES --rounds N

It first runs wincrc.exe, the CRC-alone figures of the 32-bit build.

It prints figures and passes or fails nothing; it exits non-zero only when it could not
measure. Where i386 programs run under emulation it measures nothing and says why: its
figures would be the emulator's.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(os.path.dirname(HERE), "tests", "e2e")
PIECES = 3
STUB_SIZE = 53248
RUN_TIMEOUT = 900  # seconds for one restore or one copy of the whole set


def not_available(reason):
    print("--wine: not available yet: %s" % reason, flush=True)
    return 0


def load_helpers():
    """The end-to-end suite's module, or None with the reason when it is not there yet."""
    if not os.path.exists(os.path.join(E2E, "run_e2e.py")):
        return None, "tests/e2e/run_e2e.py does not exist"
    sys.path.insert(0, E2E)
    try:
        import run_e2e
    except Exception as error:  # a half-written runner: say so rather than fail
        return None, "tests/e2e/run_e2e.py cannot be loaded (%s)" % error
    needed = ["Session", "App", "win_path", "START_ID", "DEST_ID", "INFO_ID", "FINISHED"]
    missing = [name for name in needed if not hasattr(run_e2e, name)]
    if missing:
        return None, "tests/e2e/run_e2e.py has no %s" % ", ".join(missing)
    return run_e2e, None


def same_file(a, b):
    if not os.path.exists(a) or not os.path.exists(b) or os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            ba, bb = fa.read(1 << 20), fb.read(1 << 20)
            if ba != bb:
                return False
            if not ba:
                return True


def random_file(path, size):
    """Random bytes, written in 1 MiB blocks."""
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, 1 << 20)
            f.write(os.urandom(n))
            left -= n


def prepare_set(args, stub):
    """A set made with the real stub, once; made again when the stub has changed."""
    folder = os.path.join(args.work, "wine-set-%d" % args.size)
    pieces = [os.path.join(folder, "Data.exe")] + [os.path.join(folder, "Data.d%02d" % i) for i in range(2, PIECES + 1)]
    source = os.path.join(folder, "input.bin")
    kept_stub = os.path.join(folder, "stub.exe")
    complete = os.path.join(folder, "complete")
    if os.path.exists(complete) and same_file(kept_stub, stub):
        return folder, source, pieces
    os.makedirs(folder, exist_ok=True)
    if os.path.exists(complete):
        os.unlink(complete)
    print("making the %d-byte set with %s in %s (once per stub)..." % (args.size, stub, folder), flush=True)
    if not os.path.exists(source) or os.path.getsize(source) != args.size:
        random_file(source, args.size)
    each = args.size // PIECES
    counts = [each] * (PIECES - 1) + [args.size - each * (PIECES - 1)]
    subprocess.run([args.split, "--stub", stub, "--data-counts", ",".join(str(c) for c in counts), "--out", folder,
                    "--base", "Data", "--name", "restored.bin", source], check=True)
    shutil.copyfile(stub, kept_stub)
    open(complete, "w").close()
    return folder, source, pieces


class SizeWatch:
    """Notes the moment a file first reaches a size, polling every 2 ms beside a wait."""

    def __init__(self, path, size):
        self.path, self.size, self.reached, self.stop = path, size, None, False
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _watch(self):
        while not self.stop:
            try:
                if os.path.getsize(self.path) >= self.size:
                    self.reached = time.monotonic()
                    return
            except OSError:
                pass
            time.sleep(0.002)

    def end(self):
        self.stop = True
        self.thread.join()


def time_stub(e2e, session, driver_exe, exe, destination, size, log):
    """One restore by the real stub: seconds from Start to the file's full size and to the
    finished text."""
    app = e2e.App(session, driver_exe, exe, log)
    try:
        app.find()
        app.wait_loaded()
        app.set_text(e2e.DEST_ID, e2e.win_path(destination))
        watch = SizeWatch(destination, size)
        begin = time.monotonic()
        app.click(e2e.START_ID)
        app.wait_text(e2e.INFO_ID, e2e.FINISHED, RUN_TIMEOUT)
        finished = time.monotonic()
        watch.end()
        full = watch.reached if watch.reached is not None else finished
        app.close_and_exit()
        return full - begin, finished - begin
    finally:
        app.end()


def time_wincopy(e2e, session, wincopy, destination, pieces):
    """One bare Win32 copy: the seconds wincopy.exe measured itself, from its first
    CreateFileA to its last CloseHandle."""
    process = session.spawn(["wine", wincopy, e2e.win_path(destination)] + [e2e.win_path(p) for p in pieces],
                            stdout=subprocess.PIPE)
    output, _ = process.communicate(timeout=RUN_TIMEOUT)
    if process.returncode != 0:
        raise RuntimeError("wincopy.exe ended with status %d" % process.returncode)
    return float(output.split()[0])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--win-build", required=True)
    parser.add_argument("--split", required=True)
    parser.add_argument("--wincopy", required=True)
    parser.add_argument("--wincrc", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--size", type=int, required=True)
    parser.add_argument("--rounds", type=int, required=True)
    args = parser.parse_args()

    e2e, reason = load_helpers()
    if e2e is None:
        return not_available(reason)
    if e2e.i386_emulated():
        print("--wine: refused: i386 programs run under user-mode emulation on this machine (an i386 handler is "
              "registered with binfmt_misc), so Wine's figures would measure the emulator, not the program; "
              "run it on a machine that runs i386 programs natively", flush=True)
        return 0
    stub = os.path.join(args.win_build, "PnRestore.exe")
    driver_exe = os.path.join(args.win_build, "e2e-driver.exe")
    for needed in (stub, driver_exe, args.wincopy, args.wincrc, args.split):
        if not os.path.exists(needed):
            return not_available("%s does not exist (build the Windows tree and the native tree first)" % needed)
    if os.path.getsize(stub) > STUB_SIZE:
        return not_available("%s is larger than %d bytes" % (stub, STUB_SIZE))

    folder, source, pieces = prepare_set(args, stub)
    destination = os.path.join(folder, "restored.bin")
    megabytes = args.size / 1e6
    session = e2e.Session(os.path.join(args.work, "wine"))
    full_rates, finished_rates, copy_rates = [], [], []
    verified = None
    with open(os.path.join(args.work, "wine-bench.log"), "ab") as log:
        try:
            session.start_display()
            session.start_wine()
            crc = session.spawn(["wine", args.wincrc], stdout=subprocess.PIPE)
            output, _ = crc.communicate(timeout=RUN_TIMEOUT)
            print(output.decode("utf-8", "replace").replace("\r\n", "\n").rstrip("\n"), flush=True)
            print("\nUnder Wine, %d bytes in %d pieces, warm page cache, %d rounds of A B"
                  % (args.size, PIECES, args.rounds))
            print("MB/s = the restored file's bytes / wall time (10^6 bytes/s). (a) the stub from pressing Start:\n"
                  "to the destination's full size, and to the finished text (the dialog's status poll\n"
                  "runs every 500 ms); (b) wincopy.exe's own time for its whole copy, stub and headers included.")
            for round_number in range(1, args.rounds + 1):
                if os.path.exists(destination):
                    os.unlink(destination)
                full, finished = time_stub(e2e, session, driver_exe, pieces[0], destination, args.size, log)
                full_rates.append(megabytes / full)
                finished_rates.append(megabytes / finished)
                if verified is None:
                    verified = same_file(destination, source)
                os.unlink(destination)
                copy = time_wincopy(e2e, session, args.wincopy, destination, pieces)
                copy_rates.append(megabytes / copy)
                os.unlink(destination)
                print("  round %d: stub %6.0f MB/s to full size, %6.0f to the finished text; wincopy %6.0f MB/s"
                      % (round_number, full_rates[-1], finished_rates[-1], copy_rates[-1]), flush=True)
        except (e2e.Failure, RuntimeError, subprocess.TimeoutExpired) as error:
            print("--wine: could not measure: %s (the stub's output is in %s)"
                  % (error, os.path.join(args.work, "wine-bench.log")), flush=True)
            return 1
        finally:
            session.close()
            if os.path.exists(destination):
                os.unlink(destination)
    full, finished, copy = (statistics.median(r) for r in (full_rates, finished_rates, copy_rates))
    print("medians: (a) stub %.0f MB/s to full size, %.0f MB/s to the finished text; (b) Win32 copy loop %.0f MB/s"
          % (full, finished, copy))
    print("ratios: stub/loop %.2f to full size, %.2f to the finished text" % (full / copy, finished / copy))
    print("restored file equal to the input: %s" % ("yes" if verified else "NO"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
