"""Runs the real updater.exe under Wine, among the project's stand-ins, and
reads back one timeline of what every process did. Shared by the
end-to-end suite and the demo.

Every process is started from Linux with `wine`, except the updater: the
stand-in main application starts it through CreateProcessA, with the
application name set and the installer's bare path as the whole command
line, as the real application must (`wine updater.exe PATH` would put a
program name in front of PATH).
"""
import os
import shutil
import subprocess
import time
from dataclasses import dataclass

from relay import (RelayReader, UPDATER_FUNCTIONS, relay_registry,
                   updater_calls)

UPDATER_EXIT_WAIT_MS = 30000
# Wine draws its own desktop of this size, with window captions, inside the
# X display; the display should be the same size.
DESKTOP = "640x480"
# No Mono or Gecko: nothing here needs them, and Wine would offer to
# install them.
DLL_OVERRIDES = "mscoree,mshtml="


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


@dataclass
class Event:
    us: int  # on the clock all the processes share
    process: str
    pid: int
    event: str
    detail: str


class Timeline(list):
    def of(self, process, event=None):
        return [e for e in self
                if e.process == process and (event is None or e.event == event)]

    def one(self, process, event):
        found = self.of(process, event)
        if len(found) != 1:
            raise AssertionError(
                f"expected one {process} {event}, found {len(found)}:\n{self}")
        return found[0]

    def ms(self, event):
        """Milliseconds from the timeline's first event to `event`."""
        return (event.us - self[0].us) / 1000.0

    def __str__(self):
        return "\n".join(f"{self.ms(e):9.1f} ms  {e.process:<10} {e.event:<19} "
                         f"{e.detail}" for e in self)


def parse_event(line):
    parts = line.rstrip("\n").split("\t")
    if len(parts) != 5:
        return None
    return Event(int(parts[0]), parts[1], int(parts[2]), parts[3], parts[4])


def read_timeline(path):
    events = []
    if os.path.exists(path):
        with open(path, encoding="latin-1") as f:
            events = [e for e in map(parse_event, f) if e]
    return Timeline(sorted(events, key=lambda e: e.us))


class Wine:
    """A Wine prefix of the project's own: 32-bit and quiet."""

    def __init__(self, prefix, debug="-all"):
        self.prefix = os.path.abspath(prefix)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH="win32",
                        WINEDEBUG=debug, WINEDLLOVERRIDES=DLL_OVERRIDES)

    def setup(self, registry=relay_registry(UPDATER_FUNCTIONS)):
        """A fresh prefix, where a process started with WINEDEBUG=+pid,+relay
        traces the updater's platform functions. `registry`: more (key,
        name, type, data) values."""
        self.end()
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        subprocess.run(["wineboot", "-i"], env=self.env, check=True,
                       timeout=300, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        values = [
            # A crashing installer is a case, not a debugging session: no
            # crash dialog waiting for a click.
            ("HKCU\\Software\\Wine\\WineDbg", "ShowCrashDialog", "REG_DWORD",
             "0"),
            # Wine's own desktop, as on Windows: window captions are drawn,
            # and a closed box does not wait on the X server.
            ("HKCU\\Software\\Wine\\Explorer", "Desktop", "REG_SZ", "Default"),
            ("HKCU\\Software\\Wine\\Explorer\\Desktops", "Default", "REG_SZ",
             DESKTOP),
        ] + list(registry)
        for key, name, kind, data in values:
            subprocess.run(["wine", "reg", "add", key, "/v", name, "/t", kind,
                            "/d", data, "/f"], env=self.env, check=True,
                           timeout=120, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=120)

    def end(self):
        """Ends every process of the prefix, and its wineserver."""
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_idle(self, timeout):
        """Waits until every process of the prefix has ended."""
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=timeout)

    def start(self, exe, args, cwd, env, stderr=subprocess.DEVNULL):
        return subprocess.Popen(["wine", exe] + args, cwd=cwd,
                                env=dict(self.env, **env),
                                stdout=subprocess.DEVNULL, stderr=stderr,
                                text=True, errors="replace")


class Stage:
    """A throwaway folder with an application folder (updater.exe and a
    zvr.exe), a folder for installers, tools apart, and a timeline file."""

    def __init__(self, wine, bin_dir, root, main_app="zvr-v2.exe"):
        self.wine, self.bin, self.root = wine, bin_dir, os.path.abspath(root)
        shutil.rmtree(self.root, ignore_errors=True)
        self.app = self.path("app")
        self.tools = self.path("tools")
        self.log = self.path("timeline.txt")
        self.env = {"UPDATER_E2E_LOG": winpath(self.log)}
        self.copy("updater.exe", self.app, "updater.exe")
        if main_app:
            self.copy(main_app, self.app, "zvr.exe")
        # The driving application lives apart, so that the updater can only
        # find the zvr.exe of the application folder.
        self.copy("zvr-v1.exe", self.tools, "zvr.exe")
        self.copy("box-probe.exe", self.tools, "box-probe.exe")

    def path(self, *parts):
        path = os.path.join(self.root, *parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return path

    def copy(self, built, folder, name):
        os.makedirs(folder, exist_ok=True)
        target = os.path.join(folder, name)
        shutil.copyfile(os.path.join(self.bin, built), target)
        return target

    def installer(self, relative="setup.exe", built="test-installer.exe"):
        target = self.path("installers", relative)
        shutil.copyfile(os.path.join(self.bin, built), target)
        return target

    def start_application(self, command_line, hold_ms=0, hold_as="mutex",
                          wait=True, driver=None, env=None, cwd=None,
                          stderr=subprocess.DEVNULL, start_via="direct"):
        """The main application holds the name, starts the updater with
        `command_line` (`start_via` "helper": through the elevated helper),
        releases after `hold_ms` and, with `wait`, waits for the exit code
        of what it started before it exits itself."""
        args = ["--update", winpath(os.path.join(self.app, "updater.exe")),
                command_line, "--hold-ms", str(hold_ms), "--hold-as", hold_as,
                "--start-via", start_via]
        if wait:
            args += ["--wait-ms", str(UPDATER_EXIT_WAIT_MS)]
        return self.wine.start(driver or os.path.join(self.tools, "zvr.exe"),
                               args, cwd or self.root,
                               dict(env or {}, **self.env), stderr)

    def start_box_probe(self, wait_ms, dismiss_after_ms):
        return self.wine.start(
            os.path.join(self.tools, "box-probe.exe"),
            [winpath(self.path("box.txt")), str(wait_ms),
             str(dismiss_after_ms)], self.root, self.env)

    def box(self):
        with open(self.path("box.txt")) as f:
            return dict(line.rstrip("\n").split("=", 1) for line in f)

    def update(self, command_line, box=None, timeout=60, trace=False,
               until=None, **application):
        """One whole update, waited for. With `box` = (wait_ms,
        dismiss_after_ms), the box probe runs alongside. With `trace`, the
        updater's platform calls are read from Wine's relay trace into
        `self.calls` (see relay.updater_calls). With `until` = (process,
        event), also waits for that event (the application may exit before
        the processes it set going have done). Returns the timeline and the
        box's fields (None without `box`)."""
        processes = [self.start_box_probe(*box)] if box else []
        reader = None
        if trace:
            application["env"] = dict(application.get("env") or {},
                                      WINEDEBUG="-all,+pid,+relay")
            application["stderr"] = subprocess.PIPE
        processes.append(self.start_application(command_line, **application))
        if trace:
            reader = RelayReader(processes[-1].stderr)
        try:
            for process in processes:
                process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.wine.end()
            raise AssertionError(f"no end within {timeout} s:\n"
                                 f"{read_timeline(self.log)}")
        if until:
            self.wait_for(*until, limit_s=timeout)
        # The restarted application logs its own start and exit.
        self.settle()
        timeline = read_timeline(self.log)
        if reader:
            started = timeline.one("zvr-v1", "updater-started")
            self.calls = updater_calls(
                reader, reader.take(), int(started.detail.split()[0][4:]),
                os.path.join(self.app, "updater.exe"))
        return timeline, (self.box() if box else None)

    def wait_for(self, process, event, limit_s):
        """Waits until the timeline holds `event` of `process`, at most
        `limit_s`; what is missing then shows in the case's checks."""
        deadline = time.monotonic() + limit_s
        while (time.monotonic() < deadline and
               not read_timeline(self.log).of(process, event)):
            time.sleep(0.1)

    def settle(self, quiet_ms=600, limit_s=15):
        """Waits until the timeline has been quiet for `quiet_ms`."""
        deadline = time.monotonic() + limit_s
        last = None
        while time.monotonic() < deadline:
            size = os.path.getsize(self.log) if os.path.exists(self.log) else 0
            if size == last:
                return
            last = size
            time.sleep(quiet_ms / 1000.0)
