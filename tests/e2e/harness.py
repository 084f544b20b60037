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
import sys
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
# Another Unix user than the one Wine runs as (see Stage.per_machine).
NOBODY = 65534


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
    """A Wine prefix of the project's own, quiet: 32-bit, or with `arch`
    "win64" 64-bit (wine64), where 64-bit and 32-bit programs both run."""

    def __init__(self, prefix, debug="-all", arch="win32"):
        self.prefix = os.path.abspath(prefix)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH=arch,
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

    def windows_folder(self, *parts):
        """The Linux path of C:\\windows\\<parts> in this prefix."""
        return os.path.join(self.prefix, "drive_c", "windows", *parts)

    def restart_windows(self):
        """What a restart of Windows does to the prefix: pending file
        operations (MOVEFILE_DELAY_UNTIL_REBOOT) are carried out."""
        subprocess.run(["wineboot", "-r"], env=self.env, check=True,
                       timeout=120, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.wait_idle(60)

    def end(self):
        """Ends every process of the prefix, and its wineserver."""
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def processes(self):
        """The command lines of the processes running in this prefix (the
        wineserver and Wine's own among them)."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if f"WINEPREFIX={self.prefix}".encode() not in \
                            f.read().split(b"\0"):
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    found.append(f.read().replace(b"\0", b" ").decode(
                        errors="replace").strip())
            except OSError:
                continue  # gone meanwhile, or not ours to read
        return found

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
    zvr.exe), a folder for installers, tools apart, and a timeline file.

    By default the driving application (zvr.exe version 1) lives apart
    among the tools, so that the updater can only find the zvr.exe of the
    application folder (`main_app`, version 2). With `beside`, it is the
    zvr.exe of the application folder itself, as the helper's road needs
    (the helper starts only the updater beside the application's own exe),
    and the test installer installs version 2 over it (`payload`);
    `driver_name`: another name there, which nothing installs over.
    `bin64`: where the 64-bit stand-ins (names ending in "-x64.exe") are.
    `app_folder`: the application folder's path under the stage's.
    """

    def __init__(self, wine, bin_dir, root, main_app="zvr-v2.exe",
                 beside=False, driver="zvr-v1.exe", driver_name="zvr.exe",
                 bin64=None, app_folder="app"):
        self.wine, self.bin, self.root = wine, bin_dir, os.path.abspath(root)
        self.bin64 = bin64
        self.app = os.path.join(self.root, app_folder)
        self.unlock()
        shutil.rmtree(self.root, ignore_errors=True)
        self.path(app_folder)
        self.tools = self.path("tools")
        self.log = self.path("timeline.txt")
        self.env = {"UPDATER_E2E_LOG": winpath(self.log)}
        self.copy("updater.exe", self.app, "updater.exe")
        if beside:
            self.driver = self.copy(driver, self.app, driver_name)
            payload = self.copy(main_app, self.path("payload"), "zvr.exe")
            self.env["INSTALLER_INSTALL"] = (
                winpath(payload) + "|" +
                winpath(os.path.join(self.app, "zvr.exe")))
        else:
            if main_app:
                self.copy(main_app, self.app, "zvr.exe")
            self.driver = self.copy(driver, self.tools, "zvr.exe")
        self.copy("box-probe.exe", self.tools, "box-probe.exe")

    def built(self, name):
        """The path of a built stand-in."""
        if name.endswith("-x64.exe"):
            if not self.bin64:
                raise AssertionError(f"{name}: no 64-bit build given "
                                     "(E2E_BIN64; build the win64 preset)")
            return os.path.join(self.bin64, name)
        return os.path.join(self.bin, name)

    def path(self, *parts):
        path = os.path.join(self.root, *parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return path

    def copy(self, built, folder, name):
        os.makedirs(folder, exist_ok=True)
        target = os.path.join(folder, name)
        shutil.copyfile(self.built(built), target)
        return target

    def installer(self, relative="setup.exe", built="test-installer.exe"):
        target = self.path("installers", relative)
        shutil.copyfile(self.built(built), target)
        return target

    # What Wine shows as the rights on a file or folder comes from its Unix
    # owner and mode alone (Wine keeps no security descriptors). The owner
    # is always given the rights to change the permissions, so only a file
    # of another Unix user is one the application's user cannot change, as
    # Program Files is for a user who is not elevated.
    def per_machine(self):
        """Gives the application folder and all in it to another Unix user
        (nobody), as a per-machine install is not the application user's.
        The harness runs as root, so Linux itself, and installers, can
        still write there."""
        for name in os.listdir(self.app):
            os.chown(os.path.join(self.app, name), NOBODY, NOBODY)
        os.chown(self.app, NOBODY, NOBODY)

    def unlock(self):
        if os.path.isdir(self.app):
            os.chown(self.app, os.getuid(), os.getgid())

    def start_application(self, command_line, hold_ms=0, hold_as="mutex",
                          wait=True, driver=None, env=None, cwd=None,
                          stderr=subprocess.DEVNULL, start_via="contract",
                          hold_until=None, sha256=None):
        """The main application holds the name, starts the updater with
        `command_line` (`start_via` "contract": by the updater's contract
        alone, without the kit; "direct": the kit's StartUpdater;
        "helper": through the elevated helper; "helper-handing-back": the
        same, leaving the watcher behind as an unelevated application
        does; `sha256`: the digest the kit's roads get), releases after
        `hold_ms` and once the file `hold_until` exists, and, with `wait`,
        waits for the exit code of what it started before it exits
        itself."""
        self.publish(env)
        args = ["--update", winpath(os.path.join(self.app, "updater.exe")),
                command_line, "--hold-ms", str(hold_ms), "--hold-as", hold_as,
                "--start-via", start_via]
        if sha256:
            args += ["--sha256", sha256]
        if hold_until:
            args += ["--hold-until", winpath(hold_until)]
        if wait:
            args += ["--wait-ms", str(UPDATER_EXIT_WAIT_MS)]
        return self.wine.start(driver or self.driver, args, cwd or self.root,
                               dict(self.env, **(env or {})), stderr)

    def run_kit_line(self, line, env=None, timeout=30):
        """Starts the application's exe with `line` as its whole command
        line, as any process of the user can (through the stand-in's
        --command-line), waits for it, and returns the timeline: a helper
        or watcher line that no prompt of the application's own asked
        for, or a restart with `env` in the environment."""
        self.publish(env)
        launcher = self.copy("zvr-v1.exe", self.tools, "launcher.exe")
        process = self.wine.start(launcher, ["--command-line",
                                             winpath(self.driver), line],
                                  self.root, dict(self.env, **(env or {})))
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.wine.end()
            raise AssertionError(f"no end within {timeout} s:\n"
                                 f"{read_timeline(self.log)}")
        self.settle()
        return read_timeline(self.log)

    def publish(self, env=None):
        """Writes the stand-ins' settings (this stage's, then `env`) where
        each stand-in finds them without its environment: on the elevated
        roads the kit gives the updater, and what it starts, an environment
        made from the system alone. In UTF-8, as the stand-ins read it
        (timeline.h)."""
        settings = dict(self.env, **(env or {}))
        with open(os.path.join(self.wine.prefix, "drive_c", "stand-ins.txt"),
                  "w", encoding="utf-8") as f:
            f.writelines(f"{k}={v}\n" for k, v in settings.items())

    def start_box_probe(self, wait_ms, dismiss_after_ms):
        return self.wine.start(
            os.path.join(self.tools, "box-probe.exe"),
            [winpath(self.path("box.txt")), str(wait_ms),
             str(dismiss_after_ms)], self.root, self.env)

    def box(self):
        with open(self.path("box.txt")) as f:
            return dict(line.rstrip("\n").split("=", 1) for line in f)

    def update(self, command_line, box=None, timeout=60, trace=False,
               until=None, meanwhile=None, **application):
        """One whole update, waited for. With `box` = (wait_ms,
        dismiss_after_ms), the box probe runs alongside. With `trace`, the
        updater's platform calls are read from Wine's relay trace into
        `self.calls` (see relay.updater_calls). With `until` = (process,
        event), also waits for that event (the application may exit before
        the processes it set going have done). With `meanwhile` = (process,
        event, action), calls action() once that event is in the timeline,
        while the application runs. Returns the timeline and the box's
        fields (None without `box`)."""
        processes = [self.start_box_probe(*box)] if box else []
        reader = None
        if trace:
            application["env"] = dict(application.get("env") or {},
                                      WINEDEBUG="-all,+pid,+relay")
            application["stderr"] = subprocess.PIPE
        processes.append(self.start_application(command_line, **application))
        if trace:
            reader = RelayReader(processes[-1].stderr)
        if meanwhile:
            process, event, action = meanwhile
            self.wait_for(process, event, limit_s=timeout)
            action()
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
        while not read_timeline(self.log).of(process, event):
            if time.monotonic() >= deadline:
                # What still runs tells a program that never started from
                # one that hangs, the updater's wait from a stand-in's.
                print(f"no {process} {event} within {limit_s} s; still "
                      "running in the prefix:\n  " +
                      "\n  ".join(self.wine.processes()), file=sys.stderr)
                return
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


class Keys:
    """Throwaway Authenticode keys, made fresh for a run (openssl): a
    vendor's certificate authority with two code-signing certificates
    under it ("vendor", the application's publisher, and "stranger"), and
    a second authority that issued "look-alike" under the vendor's very
    name."""

    SIGNERS = {"vendor": ("vendor-ca", "Zelvaro Test Vendor"),
               "stranger": ("vendor-ca", "Someone Else"),
               "look-alike": ("other-ca", "Zelvaro Test Vendor")}

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)

    def file(self, name):
        return os.path.join(self.folder, name)

    def _openssl(self, *args):
        subprocess.run(["openssl", *args], check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def setup(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        for ca in ("vendor-ca", "other-ca"):
            self._openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes",
                          "-days", "2", "-subj", f"/CN={ca} (test)",
                          "-addext", "basicConstraints=critical,CA:TRUE",
                          "-addext", "keyUsage=critical,keyCertSign",
                          "-keyout", self.file(ca + ".key"),
                          "-out", self.file(ca + ".pem"))
        with open(self.file("leaf.cnf"), "w") as f:
            f.write("basicConstraints=CA:FALSE\n"
                    "keyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=codeSigning\n")
        for signer, (ca, name) in self.SIGNERS.items():
            self._openssl("req", "-newkey", "rsa:2048", "-nodes",
                          "-subj", f"/CN={name}",
                          "-keyout", self.file(signer + ".key"),
                          "-out", self.file(signer + ".csr"))
            self._openssl("x509", "-req", "-in", self.file(signer + ".csr"),
                          "-CA", self.file(ca + ".pem"),
                          "-CAkey", self.file(ca + ".key"),
                          "-set_serial", str(len(signer) * 1000 + len(ca)),
                          "-days", "2", "-extfile", self.file("leaf.cnf"),
                          "-out", self.file(signer + ".pem"))
            # The authority travels in the signature, so that the chain
            # reaches it without any store.
            with open(self.file(signer + "-chain.pem"), "w") as chain:
                for part in (signer + ".pem", ca + ".pem"):
                    with open(self.file(part)) as f:
                        chain.write(f.read())

    def sign(self, source, target, signer):
        """Writes `source` signed by `signer` (SHA-256) to `target`. Only
        options that osslsigncode 2.5 (Debian 12) and later know."""
        if os.path.exists(target):
            os.remove(target)
        subprocess.run(["osslsigncode", "sign",
                        "-certs", self.file(signer + "-chain.pem"),
                        "-key", self.file(signer + ".key"), "-h", "sha256",
                        "-in", source, "-out", target],
                       check=True, timeout=60, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
        return target
