#!/usr/bin/python3
"""What the updater costs, measured on the real exe under Wine. A
benchmark, not a test: it prints a table and writes the figures to JSON,
and fails only if a run does not complete.

  bench.py BIN_DIR WORK_DIR [RUNS]

- mutex released -> installer started: the latency beyond the updater's own
  300 ms sleeps. The updater's Sleep calls are read from Wine's relay trace;
  what of them falls between the release and the installer's first line is
  the contract's own waiting, the rest is the updater's (and the platform's)
  doing, the installer's process start included.
- installer ended -> zvr.exe started, beside the time the same driver needs
  to start the same exe itself, as a ratio.
- the updater's CPU time per second of waiting, with the mutex held 10 s,
  read from Linux (/proc) for the updater's Wine process, and the
  wineserver's over the same seconds (each probe is a request to it).
- its peak working set while it waits (VmHWM of the same process: the Wine
  process, Wine's own DLLs included).
- the exe's size.
"""
import json
import math
import os
import platform
import subprocess
import sys
import time

# Shared with the end-to-end cases; ./run puts tests/e2e on PYTHONPATH.
from harness import Stage, Wine, read_timeline, winpath
from relay import RelayReader, own_calls, relay_registry

RELAY = ["kernel32.Sleep", "kernel32.CreateProcessA"]


def median(values):
    ordered = sorted(values)
    n = len(ordered)
    return (ordered[n // 2] + ordered[(n - 1) // 2]) / 2


def p95(values):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(0.95 * len(ordered)) - 1)]


def fresh_timeline(stage):
    if os.path.exists(stage.log):
        os.remove(stage.log)


def one_update(stage, installer, hold_ms):
    """Returns (beyond-sleeps ms, installer end -> zvr start ms)."""
    fresh_timeline(stage)
    app = stage.start_application(installer, hold_ms=hold_ms,
                                  stderr=subprocess.PIPE)
    relay = RelayReader(app.stderr)
    app.wait(timeout=60)
    stage.settle(quiet_ms=400)
    time.sleep(0.2)  # the last relay lines
    t = read_timeline(stage.log)
    pid = int(t.one("zvr-v1", "updater-started").detail.split()[0][4:])
    release = t.one("zvr-v1", "release").us
    started = t.one("installer", "start").us
    calls = [c for c in own_calls(relay, relay.take(), pid,
                                  os.path.join(stage.app, "updater.exe"))
             if c.name == "Sleep"]
    sleeps = zip([c.us for c in calls if c.kind == "Call"],
                 [c.us for c in calls if c.kind == "Ret"])
    slept = sum(max(0, min(end, started) - max(begin, release))
                for begin, end in sleeps)
    beyond = (started - release - slept) / 1000
    restart = (t.one("zvr-v2", "start").us - t.one("installer", "end").us) / 1000
    if t.one("zvr-v1", "updater-exit").detail != "0":
        raise SystemExit("an update did not complete")
    return beyond, restart


def one_spawn(stage):
    fresh_timeline(stage)
    driver = stage.wine.start(os.path.join(stage.tools, "zvr.exe"),
                              ["--spawn", winpath(os.path.join(stage.app,
                                                               "zvr.exe"))],
                              stage.root, stage.env)
    driver.wait(timeout=60)
    stage.settle(quiet_ms=400)
    t = read_timeline(stage.log)
    return (t.one("zvr-v2", "start").us - t.one("zvr-v1", "spawn").us) / 1000


def process_mapping(path):
    """The Linux pid of the Wine process that has `path` mapped."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == os.getpid():
            continue
        try:
            with open(f"/proc/{pid}/maps") as f:
                if path in f.read():
                    return int(pid)
        except OSError:
            pass
    return None


def wineserver_pid(prefix):
    """The wineserver of `prefix`: it works in a folder named after the
    prefix's device and inode (server-DEV-INODE), whatever other prefixes
    the machine runs."""
    info = os.stat(prefix)
    folder = f"server-{info.st_dev:x}-{info.st_ino:x}"
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/comm") as f:
                if (f.read().startswith("wineserver") and os.path.basename(
                        os.readlink(f"/proc/{pid}/cwd")) == folder):
                    return int(pid)
        except OSError:
            pass
    raise SystemExit(f"no wineserver for {prefix}")


def cpu_seconds(pid):
    """CPU time of all the process's threads, to the nanosecond (the
    clock-tick counts of /proc/PID/stat are too coarse for a sleeper)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as f:
            total += int(f.read().split()[0])
    return total / 1e9


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def waiting_costs(stage, installer):
    """CPU per second of waiting, and the peak working set, with the mutex
    held for 10 s."""
    fresh_timeline(stage)
    app = stage.start_application(installer, hold_ms=10000)
    time.sleep(1.5)
    updater = process_mapping(os.path.join(stage.app, "updater.exe"))
    server = wineserver_pid(stage.wine.prefix)
    start = time.monotonic()
    cpu0, server0 = cpu_seconds(updater), cpu_seconds(server)
    time.sleep(7.5)
    cpu1, server1 = cpu_seconds(updater), cpu_seconds(server)
    wall = time.monotonic() - start
    peak = peak_kib(updater)
    app.wait(timeout=60)
    return (cpu1 - cpu0) / wall * 1000, (server1 - server0) / wall * 1000, peak


def machine():
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    wine = subprocess.run(["wine", "--version"], capture_output=True,
                          text=True).stdout.strip()
    return {"cpu": model, "cores": os.cpu_count(), "kernel": platform.release(),
            "wine": wine}


def main(bin_dir, work_dir, runs):
    wine = Wine(os.path.join(work_dir, "wineprefix"), debug="-all,+pid,+relay")
    print(f"Setting up a fresh Wine prefix in {wine.prefix} ...", flush=True)
    Wine(wine.prefix).setup(registry=relay_registry(RELAY))
    stage = Stage(wine, bin_dir, os.path.join(work_dir, "stage"))
    installer = winpath(stage.installer())

    beyond, restart, spawn = [], [], []
    for i in range(runs):
        # Release at a different moment of the updater's 300 ms cycle each run.
        b, r = one_update(stage, installer, hold_ms=500 + 37 * i)
        beyond.append(b)
        restart.append(r)
        spawn.append(one_spawn(stage))
        print(f"  run {i + 1:2}/{runs}: beyond the sleeps {b:6.1f} ms, "
              f"restart {r:6.1f} ms, driver's own start {spawn[-1]:6.1f} ms",
              flush=True)
    cpu_ms, server_ms, peak = waiting_costs(stage, installer)
    wine.end()

    size = os.path.getsize(os.path.join(bin_dir, "updater.exe"))
    figures = {
        "runs": runs,
        "release_to_installer_beyond_sleeps_ms": {
            "median": median(beyond), "p95": p95(beyond)},
        "installer_end_to_restart_ms": {
            "median": median(restart), "p95": p95(restart)},
        "driver_own_start_ms": {"median": median(spawn), "p95": p95(spawn)},
        "restart_over_own_start_ratio": median(restart) / median(spawn),
        "cpu_ms_per_second_waiting": {"updater": cpu_ms,
                                      "wineserver": server_ms},
        "peak_working_set_kib_waiting": peak,
        "exe_bytes": size,
        "machine": machine(),
    }
    rows = [
        ("mutex released -> installer started, beyond the 300 ms sleeps",
         f"median {median(beyond):.1f} ms, p95 {p95(beyond):.1f} ms"),
        ("installer ended -> zvr.exe started",
         f"median {median(restart):.1f} ms, p95 {p95(restart):.1f} ms"),
        ("the same start by the driver itself",
         f"median {median(spawn):.1f} ms, p95 {p95(spawn):.1f} ms"),
        ("ratio, updater / driver", f"{median(restart) / median(spawn):.2f}"),
        ("CPU per second of waiting (mutex held 10 s)",
         f"{cpu_ms:.1f} ms updater, {server_ms:.1f} ms wineserver"),
        ("peak working set while waiting (Wine process)", f"{peak} KiB"),
        ("updater.exe size", f"{size} bytes"),
    ]
    width = max(len(r[0]) for r in rows)
    print(f"\n{'what':<{width}}  figure ({runs} runs)")
    for what, figure in rows:
        print(f"{what:<{width}}  {figure}")
    m = figures["machine"]
    print(f"\nmachine: {m['cpu']}, {m['cores']} cores, Linux {m['kernel']}, "
          f"{m['wine']}")
    out = os.path.join(work_dir, "bench.json")
    with open(out, "w") as f:
        json.dump(figures, f, indent=2)
    print(f"figures: {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]),
                  int(sys.argv[3]) if len(sys.argv) > 3 else 20))
