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

# Run as Linux paths below the build folder; the processes see them on Z:.
UPDATER_EXIT_WAIT_MS = 30000


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


@dataclass
class Event:
    ms: float  # since the first event of the timeline
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

    def __str__(self):
        return "\n".join(f"{e.ms:9.1f} ms  {e.process:<10} {e.event:<19} "
                         f"{e.detail}" for e in self)


def read_timeline(path):
    rows = []
    if os.path.exists(path):
        with open(path, encoding="latin-1") as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) == 5:
                    rows.append((int(parts[0]), parts[1], int(parts[2]),
                                 parts[3], parts[4]))
    rows.sort(key=lambda r: r[0])
    start = rows[0][0] if rows else 0
    return Timeline(Event((us - start) / 1000.0, p, pid, ev, d)
                    for us, p, pid, ev, d in rows)


class Wine:
    """A Wine prefix of the project's own: 32-bit, quiet, no Mono/Gecko."""

    def __init__(self, prefix):
        self.prefix = os.path.abspath(prefix)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH="win32",
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

    def setup(self):
        self.end()
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        subprocess.run(["wineboot", "-i"], env=self.env, check=True,
                       timeout=300, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # A crashing installer is a case, not a debugging session: no crash
        # dialog waiting for a click.
        subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\WineDbg",
                        "/v", "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0",
                        "/f"], env=self.env, check=True, timeout=120,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=120)

    def end(self):
        """Ends every process of the prefix, and its wineserver."""
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self, exe, args, cwd, env):
        return subprocess.Popen(["wine", exe] + args, cwd=cwd,
                                env=dict(self.env, **env),
                                stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)


class Stage:
    """A throwaway folder with an application folder (updater.exe and the
    new zvr.exe), a folder for installers, and a timeline file."""

    def __init__(self, wine, bin_dir, root, main_app="zvr-v2.exe"):
        self.wine, self.bin, self.root = wine, bin_dir, os.path.abspath(root)
        shutil.rmtree(self.root, ignore_errors=True)
        self.app = self.path("app")
        self.tools = self.path("tools")
        self.log = self.path("timeline.txt")
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

    def update(self, command_line, hold_ms=0, hold_as="mutex", env=None,
               cwd=None, box=None, timeout=60):
        """The driving application holds the name, starts the updater with
        `command_line`, releases after `hold_ms` and waits for the updater's
        exit code. With `box` = (wait_ms, dismiss_after_ms), the box probe
        runs alongside. Returns (timeline, box fields or None)."""
        env = dict(env or {}, UPDATER_E2E_LOG=winpath(self.log))
        cwd = cwd or self.root
        probe = None
        if box:
            box_file = self.path("box.txt")
            probe = self.wine.start(
                os.path.join(self.tools, "box-probe.exe"),
                [winpath(box_file), str(box[0]), str(box[1])], cwd, env)
        driver = self.wine.start(
            os.path.join(self.tools, "zvr.exe"),
            ["--update", winpath(os.path.join(self.app, "updater.exe")),
             command_line, "--hold-ms", str(hold_ms), "--hold-as", hold_as,
             "--wait-ms", str(UPDATER_EXIT_WAIT_MS)], cwd, env)
        try:
            for process in filter(None, (probe, driver)):
                process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.wine.end()
            raise AssertionError(f"no end within {timeout} s:\n"
                                 f"{read_timeline(self.log)}")
        # The restarted application logs its own start and exit.
        self.settle()
        fields = None
        if box:
            with open(box_file) as f:
                fields = dict(line.rstrip("\n").split("=", 1) for line in f)
        return read_timeline(self.log), fields

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
