#!/usr/bin/env python3
"""Measures what transfers and listings cost: velkfs drives the module against
phonesim (paced like a real line, or unpaced) and every case prints the bytes on
the wire, the time the wire alone needs, the time taken, CPU and peak memory.

Usage: bench/bench.py --bin BUILD/bin [--quick]
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

KIB = 1024
MIB = 1024 * 1024
CASE_TIMEOUT_S = 120
SLOW_PHONE_DELAY_MS = 200


def size_name(size):
    return f"{size // MIB}MiB" if size >= MIB else f"{size // KIB}KiB"


class Emulator:
    """One phonesim run with a trace of its own, so that each case counts its own bytes."""

    def __init__(self, bin_dir, work, root, baud, delay_ms=0, faults=()):
        self.link = os.path.join(work, "phone-link")
        self.trace = os.path.join(work, "trace.txt")
        args = [os.path.join(bin_dir, "phonesim"), "--root", root, "--link", self.link,
                "--baud", str(baud), "--trace", self.trace]
        if delay_ms:
            args += ["--delay", str(delay_ms)]
        args += list(faults)
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        if "listening" not in line:
            self.stop()
            raise RuntimeError("phonesim did not start: " + line)

    def wire_bytes(self):
        count = 0
        with open(self.trace) as trace:
            for line in trace:
                count += line.count(" ")  # "RX" or "TX", then one space before each byte
        return count

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def same_content(path_a, path_b):
    with open(path_a, "rb") as a, open(path_b, "rb") as b:
        return a.read() == b.read()


def run_measured(measure, args, env):
    """Runs velkfs through the launcher; returns (seconds, CPU seconds, peak memory in KiB)."""
    try:
        result = subprocess.run([measure] + args, env=env, capture_output=True, text=True,
                                timeout=CASE_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"{' '.join(args)} took over {CASE_TIMEOUT_S} s")
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed ({result.returncode}): {result.stderr.strip()}")
    seconds, cpu, rss_kib = result.stdout.split()
    return float(seconds), float(cpu), int(rss_kib)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="folder with velkfs, VelkPlugin.wfx, phonesim and bench-measure")
    parser.add_argument("--quick", action="store_true", help="the 128 KiB cases and the listings only")
    options = parser.parse_args()
    bin_dir = os.path.abspath(options.bin)

    work = tempfile.mkdtemp(prefix="velk-bench-")
    try:
        return run_cases(bin_dir, work, options.quick)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_cases(bin_dir, work, quick):
    # velkfs and the module run from a folder of their own, with settings of
    # their own, so that the user's settings stay as they are.
    host_dir = os.path.join(work, "bin")
    os.makedirs(host_dir)
    for name in ("velkfs", "VelkPlugin.wfx"):
        shutil.copy2(os.path.join(bin_dir, name), host_dir)
    velkfs = os.path.join(host_dir, "velkfs")
    measure = os.path.join(bin_dir, "bench-measure")
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"))

    root = os.path.join(work, "phone")
    local = os.path.join(work, "local")
    for folder in (root, local, os.path.join(root, "up"), os.path.join(root, "many"), os.path.join(root, "few")):
        os.makedirs(folder, exist_ok=True)
    sizes = [128 * KIB] if quick else [128 * KIB, MIB, 16 * MIB]
    for size in sizes:
        data = os.urandom(size)
        for folder in (root, local):
            with open(os.path.join(folder, "f" + size_name(size)), "wb") as f:
                f.write(data)
    for i in range(1000):
        with open(os.path.join(root, "many", f"entry{i:04}.txt"), "w") as f:
            f.write("x")
    for i in range(10):
        with open(os.path.join(root, "few", f"entry{i}.txt"), "w") as f:
            f.write("x")

    # (line rate, 0 unpaced; what; size or None; reply delay)
    cases = []
    for baud in (115200, 256000, 0):
        for size in sizes:
            if size == 16 * MIB and baud:
                continue  # paced, 16 MiB would take minutes
            if size == MIB and baud == 115200:
                continue  # 100 s each way; 256000 shows the paced megabyte
            cases += [(baud, "get", size, 0), (baud, "put", size, 0)]
            if size == 128 * KIB and baud == 115200:
                cases.append((baud, "get-damaged", size, 0))
        if baud != 256000:
            cases.append((baud, "ls", 1000, 0))
    cases.append((115200, "wait", 10, SLOW_PHONE_DELAY_MS))

    header = f"{'case':<22}{'line':>8}{'wire B':>11}{'wire s':>9}{'time s':>9}{'ratio':>7}" \
             f"{'CPU s':>8}{'CPU%':>7}{'CPU s/MiB':>11}{'max RSS MiB':>13}"
    print(header)
    print("-" * len(header))
    records = []
    failures = 0
    for baud, what, amount, delay in cases:
        label = {"get": f"download {size_name(amount) if amount else ''}",
                 "get-damaged": f"download {size_name(amount)}, 1 bad",
                 "put": f"upload {size_name(amount) if amount else ''}",
                 "ls": f"listing {amount} entries",
                 "wait": f"slow phone ({delay} ms)"}[what]
        # One reply in the middle of the download damaged: what a restart costs.
        faults = ["--flip-nth", str(amount // 256 // 2), "--seed", "1"] if what == "get-damaged" else []
        emulator = Emulator(bin_dir, work, root, baud, delay, faults)
        try:
            config_baud = str(baud or 256000)
            subprocess.run([velkfs, "config", "--port", emulator.link, "--baud", config_baud],
                           env=env, check=True, stdout=subprocess.DEVNULL)
            if what in ("get", "get-damaged"):
                args = [velkfs, "get", "-f", "/f" + size_name(amount), os.path.join(work, "got")]
            elif what == "put":
                args = [velkfs, "put", os.path.join(local, "f" + size_name(amount)),
                        f"/up/b{baud}-{size_name(amount)}"]
            else:
                args = [velkfs, "ls", "/many" if what == "ls" else "/few"]
            elapsed, cpu, rss_kib = run_measured(measure, args, env)
            wire = emulator.wire_bytes()
            if what in ("get", "get-damaged", "put"):
                copy = args[-1] if what != "put" else os.path.join(root, args[-1].lstrip("/"))
                if not same_content(copy, os.path.join(local, "f" + size_name(amount))):
                    raise RuntimeError(f"the copy {copy} differs from the original")
        except (RuntimeError, subprocess.CalledProcessError) as error:
            print(f"{label:<22}{baud or 'unpaced':>8}  FAILED: {error}")
            failures += 1
            continue
        finally:
            emulator.stop()
        wire_s = wire * 10 / baud if baud else None
        ratio = wire_s / elapsed if wire_s else None
        mib = (amount / MIB) if what in ("get", "get-damaged", "put") else None
        cpu_per_mib = cpu / mib if mib else None
        fmt = lambda v, spec: format(v, spec) if v is not None else format("-", spec.split(".")[0])
        print(f"{label:<22}{baud or 'unpaced':>8}{wire:>11}{fmt(wire_s, '>9.2f')}{elapsed:>9.2f}"
              f"{fmt(ratio, '>7.2f')}{cpu:>8.2f}{100 * cpu / elapsed:>6.1f}%{fmt(cpu_per_mib, '>11.3f')}"
              f"{rss_kib / 1024:>13.1f}", flush=True)
        records.append(
            f"BENCH case={what}{'-' + size_name(amount) if what in ('get', 'get-damaged', 'put') else ''} "
            f"line={baud or 'unpaced'} wire_bytes={wire} wire_s={fmt(wire_s, '.3f')} time_s={elapsed:.3f} "
            f"ratio={fmt(ratio, '.3f')} cpu_s={cpu:.3f} cpu_pct={100 * cpu / elapsed:.2f} "
            f"cpu_s_per_mib={fmt(cpu_per_mib, '.4f')} max_rss_kib={rss_kib}")
    print()
    print("\n".join(records))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
