#!/usr/bin/python3
"""One whole update under Wine, shown step by step as it happens.

  demo.py BIN_DIR WORK_DIR

Road 1: the application (zvr.exe version 1) runs, starts the updater with
a real NSIS installer of version 2 and exits after a moment; the updater
probes the mutex while it runs, runs the installer silently, and starts
version 2. Road 2: the same with an installer that is not there; the error
box appears (a screenshot is saved), is dismissed, and zvr.exe starts.

The stand-ins write their events to a timeline file; the updater itself
writes nothing, so its platform calls are read from Wine's relay trace.
Exit code 0 if both roads completed, 1 if not.
"""
import os
import subprocess
import sys
import time

# Shared with the end-to-end cases; ./run puts tests/e2e on PYTHONPATH.
from harness import Event, Stage, Wine, parse_event, winpath
from relay import RelayReader, now_us, own_calls, relay_registry

HERE = os.path.dirname(os.path.abspath(__file__))
# The updater's platform calls worth showing, and no others.
RELAY = ["kernel32.CreateMutexA", "kernel32.GetLastError", "kernel32.Sleep",
         "kernel32.CreateProcessA", "kernel32.WaitForSingleObject",
         "kernel32.ExitProcess", "user32.MessageBoxA"]


class UpdaterTrace:
    """Turns the updater's relay calls into timeline events."""

    def __init__(self):
        self.pid = None

    def event(self, call):
        kind, name = call.kind, call.name
        if kind == "Ret" and name == "GetLastError":
            return self.make(call, "probe", {
                183: '"Zelvaro" exists: the application still runs',
                0: '"Zelvaro" is gone: created and closed at once',
            }.get(call.ret, f"probe failed with error {call.ret}: "
                            "taken as gone"))
        if kind == "Call" and name == "Sleep":
            return self.make(call, "sleep", f"{call.values[0]} ms")
        if kind == "Call" and name == "CreateProcessA":
            return self.make(call, "CreateProcessA", call.strings()[0])
        if kind == "Ret" and name == "CreateProcessA":
            return self.make(call, "started" if call.ret else "not-started",
                             "")
        if kind == "Call" and name == "WaitForSingleObject":
            return self.make(call, "wait", "for the installer to end")
        if kind == "Ret" and name == "WaitForSingleObject":
            return self.make(call, "wait-over", "the installer has ended")
        if kind == "Call" and name == "MessageBoxA":
            return self.make(call, "error-box",
                             " / ".join(reversed(call.strings())))
        if kind == "Ret" and name == "MessageBoxA":
            return self.make(call, "box-closed", "")
        if kind == "Call" and name == "ExitProcess":
            return self.make(call, "exit", f"code {call.values[0]}")
        return None

    def make(self, call, event, detail):
        return Event(call.us, "updater", self.pid, event, detail)


class Show:
    """Prints events in time order, as they come, from the timeline file and
    the relay trace; keeps every event for the checks at the end."""

    def __init__(self, stage, relay_stream):
        self.stage, self.trace = stage, UpdaterTrace()
        self.relay = RelayReader(relay_stream)
        self.calls = []  # read, but not yet known to be the updater's
        self.events, self.pending = [], []
        self.read_bytes, self.start_us = 0, now_us()

    def poll(self, hold_ms=150):
        if os.path.exists(self.stage.log):
            with open(self.stage.log, encoding="latin-1") as f:
                f.seek(self.read_bytes)
                chunk = f.read()
            whole = chunk[:chunk.rfind("\n") + 1]
            self.read_bytes += len(whole.encode("latin-1"))
            for line in whole.splitlines():
                e = parse_event(line)
                if e:
                    if e.event == "updater-started":
                        self.trace.pid = int(e.detail.split()[0][4:])
                        e.detail = e.detail.split(" ", 1)[1]
                    self.pending.append(e)
        self.calls += self.relay.take()
        if self.trace.pid is not None:
            for call in own_calls(self.relay, self.calls, self.trace.pid,
                                  os.path.join(self.stage.app, "updater.exe")):
                e = self.trace.event(call)
                if e:
                    self.pending.append(e)
            self.calls = []
        # Hold events back a moment so that both sources interleave in order.
        ready_before = now_us() - hold_ms * 1000
        self.pending.sort(key=lambda e: e.us)
        while self.pending and self.pending[0].us <= ready_before:
            self.print(self.pending.pop(0))

    def print(self, e):
        self.events.append(e)
        print(f"{(e.us - self.start_us) / 1000:8.0f} ms  {e.process:<10}"
              f"{e.event:<16}{e.detail}", flush=True)

    def until(self, done, limit_s):
        deadline = time.monotonic() + limit_s
        while time.monotonic() < deadline:
            self.poll()
            if done(self.events):
                return True
            time.sleep(0.05)
        return False


def seen(events, process, event, detail=None):
    return [e for e in events if e.process == process and e.event == event
            and (detail is None or e.detail == detail)]


def build_installer(stage, bin_dir):
    out = stage.path("downloads", "zvr-2.0-setup.exe")
    subprocess.run(["makensis", "-V2", f"-DAPPDIR={winpath(stage.app)}",
                    f"-DPAYLOAD={os.path.join(bin_dir, 'zvr-v2.exe')}",
                    f"-DOUTFILE={out}",
                    os.path.join(HERE, "zvr-v2-setup.nsi")], check=True)
    return out


def road(title, stage, installer, done, box_shot=None):
    print(f"\n=== {title}\n    application folder: {winpath(stage.app)}\n"
          f"    updater command line: {installer}\n", flush=True)
    app = stage.start_application(installer, hold_ms=1500, wait=False,
                                  start_via="direct",
                                  driver=os.path.join(stage.app, "zvr.exe"),
                                  stderr=subprocess.PIPE)
    show = Show(stage, app.stderr)
    probe = stage.start_box_probe(20000, 2500) if box_shot else None
    shot_taken = False
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        show.poll()
        if box_shot and not shot_taken and seen(show.events, "box-probe",
                                                "box-seen"):
            time.sleep(0.8)
            subprocess.run(["import", "-window", "root", box_shot], check=True)
            print(f"{'':12}screenshot of the box: {box_shot}", flush=True)
            shot_taken = True
        if done(show.events):
            break
        time.sleep(0.05)
    show.until(lambda events: False, 1.0)  # the last events, in order
    for process in filter(None, (app, probe)):
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
    stage.wine.end()
    ok = done(show.events)
    print(f"\n    {'completed' if ok else 'DID NOT COMPLETE'}; every event, "
          f"as the processes wrote it: {stage.log}", flush=True)
    return ok


def main(bin_dir, work_dir):
    wine = Wine(os.path.join(work_dir, "wineprefix"), debug="-all,+pid,+relay")
    print(f"Setting up a fresh Wine prefix in {wine.prefix} ...", flush=True)
    Wine(wine.prefix).setup(registry=relay_registry(RELAY))

    first = Stage(wine, bin_dir, os.path.join(work_dir, "road1"),
                  main_app="zvr-v1.exe")
    setup = build_installer(first, bin_dir)

    def updated(events):
        return (seen(events, "installer", "end", "0") and
                seen(events, "zvr-v2", "start", '"zvr.exe" /silent'))
    ok1 = road("Road 1: an update with a real installer", first,
               winpath(setup), updated)
    with open(os.path.join(first.app, "zvr.exe"), "rb") as f, \
            open(os.path.join(bin_dir, "zvr-v2.exe"), "rb") as g:
        ok1 = ok1 and f.read() == g.read()
    print("    the application folder now holds zvr.exe version "
          f"{'2' if ok1 else '1 (not updated)'}")

    second = Stage(wine, bin_dir, os.path.join(work_dir, "road2"),
                   main_app="zvr-v1.exe")
    shot = os.path.join(work_dir, "error-box.png")

    def reported(events):
        dismissed = seen(events, "box-probe", "box-dismissed")
        return dismissed and [e for e in seen(events, "zvr-v1", "start")
                              if e.us > dismissed[0].us]
    ok2 = road("Road 2: the installer is missing", second,
               winpath(second.path("downloads", "zvr-2.0-setup.exe")),
               reported, box_shot=shot)
    return 0 if ok1 and ok2 else 1


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
