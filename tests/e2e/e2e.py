#!/usr/bin/python3
"""End-to-end cases: the real updater.exe on Wine's Win32, one row a case.

  e2e.py --list                       the cases, one a line: the name,
                                      then the fixtures it needs
  e2e.py --setup BIN_DIR WORK_DIR     a fresh 32-bit Wine prefix (fixture
                                      wine), --setup64 a 64-bit one
                                      (wine64), --keys throwaway signing
                                      keys (keys)
  e2e.py --case NAME BIN_DIR WORK_DIR one case (E2E_BIN64: where the 64-bit
                                      stand-ins are)
  e2e.py --teardown BIN_DIR WORK_DIR  ends the prefix's wineserver
                                      (--teardown64: the 64-bit one's)
"""
import hashlib
import os
import re
import shutil
import struct
import sys

from harness import DLL_OVERRIDES, Keys, Stage, Wine, read_timeline, winpath
from relay import matches, render

SILENT = " /silent"
RESTART_COMMAND = '"zvr.exe" /silent'
# A box that appears is read, left up for a second, then dismissed.
BOX_SHOWN = (15000, 1000)


def expect(condition, message, timeline):
    if not condition:
        raise AssertionError(f"{message}\n--- timeline ---\n{timeline}")


# The updater's platform calls as Wine's relay trace shows them (see
# relay.matches: `*` is anything, `{name}` the same value wherever it
# stands). Numbers are decimal; a string argument stands as its text.
INFINITE = 0xFFFFFFFF
MB_ICONERROR = 0x10
IDOK = 1
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
DLL_DEFENCE = ['GetModuleHandleA("kernel32.dll") = {kernel32}',
               'GetProcAddress({kernel32}, "SetDefaultDllDirectories") = *',
               f"SetDefaultDllDirectories({LOAD_LIBRARY_SEARCH_SYSTEM32}) = 1"]
READ_COMMAND_LINE = ["GetCommandLineA() = {command_line}"]
EXIT_ZERO = ["ExitProcess(0)"]


def probe(n, error):
    """The n-th probe: nothing may come between CreateMutexA and
    GetLastError, and the handle it gave is closed before the sleep."""
    handle = "0" if error not in (0, 183) else f"{{mutex{n}}}"
    return [f'CreateMutexA(0, 1, "Zelvaro") = {handle}',
            f"GetLastError() = {error}",
            f"CloseHandle({handle}) = {0 if handle == '0' else 1}",
            "Sleep(300) = 0"]


def start(command, started):
    """CreateProcessA with every argument but the two records named:
    no application name, the command whole, no attributes, no inherited
    handles, no creation flags, the updater's environment and folder."""
    return [f'CreateProcessA(0, "{command}", 0, 0, 0, 0, 0, 0, *, *) = '
            f"{1 if started else 0}"]


def waited_for_installer():
    return [f"WaitForSingleObject({{installer}}, {INFINITE}) = 0"]


BOX = [f'MessageBoxA(0, "Can\'t find update file.", "Update error", '
       f"{MB_ICONERROR}) = {IDOK}"]
RESTART = start('"zvr.exe" /silent', True) + EXIT_ZERO


def expect_calls(stage, t, expected):
    """The updater's own calls, from its first (the DLL search) on, are
    `expected`, one for one."""
    lines = [render(c) for c in stage.calls]
    first = [i for i, line in enumerate(lines)
             if line.startswith('GetModuleHandleA("kernel32.dll")')]
    lines = lines[first[0]:] if first else lines
    expect(matches(lines, expected),
           "the updater's platform calls\n--- made ---\n" +
           "\n".join(lines) + "\n--- expected ---\n" + "\n".join(expected),
           t)


def probes_made(stage):
    return sum(1 for name, _, _ in stage.calls if name == "CreateMutexA")


def restarted_once_after(t, moment, what):
    start = t.of("zvr-v2", "start")
    expect(len(start) == 1, "zvr.exe started once", t)
    expect(start[0].detail == RESTART_COMMAND,
           f"zvr.exe run as {RESTART_COMMAND}", t)
    expect(start[0].us >= moment.us, f"zvr.exe started only after {what}", t)


def exited_zero(t, event="updater-exit"):
    expect(t.one("zvr-v1", event).detail == "0",
           f"{event.split('-')[0]} ended with exit code 0", t)


# What the last process of a whole road logs.
RESTARTED_AND_DONE = ("zvr-v2", "exit")


def installed_then_restarted(stage, command_line, exit_event="updater-exit",
                             **update):
    t, _ = stage.update(command_line, until=RESTARTED_AND_DONE, **update)
    started = t.one("installer", "start")
    expect(started.detail == '"' + command_line + '"' + SILENT,
           "installer started whole, quoted, with /silent", t)
    ended = t.of("installer", "end") + t.of("installer", "crash")
    expect(len(ended) == 1, "the installer ran to its end", t)
    restarted_once_after(t, ended[0], "the installer ended")
    exited_zero(t, exit_event)
    return t


def case_whole_road(stage):
    installer = winpath(stage.installer())
    t = installed_then_restarted(stage, installer, hold_ms=1000, trace=True,
                                 env={"INSTALLER_SLEEP_MS": "500"})
    release = t.one("zvr-v1", "release")
    expect(release.detail == "updater-running",
           "the updater waited while the mutex was held", t)
    expect(t.one("installer", "start").us >= release.us,
           "the installer started only after the mutex was released", t)
    held = probes_made(stage) - 1
    expect(held >= 2, f"the mutex was found held by {held} probes", t)
    expect_calls(stage, t, DLL_DEFENCE + READ_COMMAND_LINE +
                 sum((probe(n, 183) for n in range(held)), []) +
                 probe(held, 0) + READ_COMMAND_LINE +
                 start(f'"{installer}" /silent', True) +
                 waited_for_installer() + RESTART)


# The kit's helper exit codes (caller/include/updater_caller/updater_caller.h).
ERROR_FILE_NOT_FOUND = 2
ERROR_BAD_ARGUMENTS = 160
HELPER_NOT_OUR_UPDATER = 0x20000001
HELPER_DIGEST_MISMATCH = 0x20000003
HELPER_SIGNER_MISMATCH = 0x20000004
HAND_BACK_FAILED = 0x20000005
HELPER_NO_APPLICATION = 0x20000006
HELPER_DOWNGRADE = 0x20000009
ERROR_RUNNING_NAME_TAKEN = 0x20000007
STAGED_COMMAND = re.compile(
    r'^"(C:\\windows\\Temp\\(Zelvaro-update-[0-9a-f]{32})\\([^\\"]+))"'
    r" /silent$")


def case_layout(fixtures=("wine",), **layout):
    """What a case needs: its ctest fixtures ("wine64": it runs in the
    64-bit prefix) and the layout of its Stage (see harness.Stage)."""
    def mark(case):
        case.fixtures, case.layout = fixtures, layout
        return case
    return mark


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def staged_copy(stage, t, name="setup.exe"):
    """Where the installer ran from: its staged copy, as the installer's
    command line names it and as it lies in the prefix. Checks the form:
    a fresh folder of the Windows temp folder, the copy's bare path in the
    updater's quotes, the copy named `name`."""
    started = t.one("installer", "start")
    found = STAGED_COMMAND.match(started.detail)
    expect(found and found.group(3) == name, "the installer ran from a copy "
           f"C:\\windows\\Temp\\Zelvaro-update-<32 hex>\\{name}", t)
    return stage.wine.windows_folder("temp", found.group(2), name)


def helper_exit(t, code):
    expect(t.one("zvr-v1", "helper-exit").detail == str(code),
           f"the helper exited with {code:#x}", t)


def never_held_the_mutex(t, process, role):
    kit = t.one(process, role)
    expect(not [e for e in t if e.pid == kit.pid and
                e.event in ("hold", "start")],
           f"the {role} never held the mutex", t)


def staged_road(stage, installer="setup.exe", copy_name="setup.exe",
                **update):
    """The forced elevated road, whole: the application (beside the
    updater, per-machine) asks for the helper, which stages a copy of the
    installer (`installer`, under the stage's installers folder) named
    `copy_name` and starts the updater with it; the installer installs
    version 2, which the updater restarts. Returns the timeline and the
    copy's path in the prefix."""
    genuine = stage.installer(installer)
    update = dict(dict(hold_ms=1000, start_via="helper",
                       until=RESTARTED_AND_DONE, sha256=sha256(genuine)),
                  **update)
    t, _ = stage.update(winpath(genuine), **update)
    helper_exit(t, 0)
    expect(t.one("zvr-v1", "helper").detail == "0",
           "the helper started the updater and exited 0", t)
    never_held_the_mutex(t, "zvr-v1", "helper")
    copy = staged_copy(stage, t, copy_name)
    expect(os.path.exists(copy) and sha256(copy) == sha256(
        stage.built("test-installer.exe")), "the copy is the genuine "
           "installer, byte for byte", t)
    release = t.one("zvr-v1", "release")
    expect(t.one("zvr-v1", "helper").us < release.us <=
           t.one("installer", "start").us,
           "the updater waited for the application to let go", t)
    expect(t.of("installer", "installed"), "the installer installed "
           "version 2 over the application's exe", t)
    restarted_once_after(t, t.one("installer", "end"), "the installer ended")
    return t, copy


@case_layout(beside=True)
def case_through_the_elevated_helper(stage):
    # Wine has no UAC: the application takes the helper's road by itself,
    # as Windows makes it take it when the direct start needs elevation.
    stage.per_machine()
    t, copy = staged_road(stage)
    # Windows's restart, as Wine does it: the copy was booked for deletion.
    stage.wine.restart_windows()
    expect(not os.path.exists(os.path.dirname(copy)),
           "the staged copy and its folder are gone after a restart", t)


@case_layout(beside=True)
def case_installer_swapped_after_the_helper_served(stage):
    # The application holds the mutex until the download has been swapped:
    # what another program of the user's can do once the user agreed.
    stage.per_machine()
    download = stage.path("installers", "setup.exe")
    swapped = stage.path("swapped")

    def swap():
        shutil.copyfile(stage.built("impostor-installer.exe"), download)
        open(swapped, "w").close()
    t, copy = staged_road(stage, hold_ms=0, hold_until=swapped,
                          meanwhile=("zvr-v1", "helper", swap))
    expect(sha256(download) == sha256(stage.built("impostor-installer.exe")),
           "the download was swapped", t)
    expect(not t.of("impostor"), "the swapped-in file never ran", t)


def not_started(t, what, code):
    """The kit refused to start `what` ("updater", "helper") with `code`,
    before any prompt, and nothing ran."""
    refused = t.one("zvr-v1", f"{what}-not-started")
    expect(refused.detail.startswith(f"error={code} "),
           f"the kit refused with {code:#x}", t)
    expect(not t.of("zvr-v1", "helper") and not t.of("installer") and
           not t.of("impostor") and not t.of("zvr-v2"), "nothing ran", t)


@case_layout(beside=True, driver_name="zvr-old.exe")
def case_no_zvr_exe_beside_the_updater_is_refused(stage):
    # The updater restarts "zvr.exe" by bare name: with none beside it,
    # the search would go on in folders the user can write.
    stage.per_machine()
    t, _ = stage.update(winpath(stage.installer()), start_via="helper",
                        sha256=sha256(stage.installer()))
    not_started(t, "helper", HELPER_NO_APPLICATION)


@case_layout(beside=True, driver_name="zvr-app.exe")
def case_elevated_restart_never_looks_along_the_users_path(stage):
    # The installer takes zvr.exe away; the user's PATH (WINEPATH here, as
    # the WindowsApps folder on Windows) names a folder of theirs holding
    # one. The elevated updater's PATH names the system's folders only.
    stage.copy("zvr-v2.exe", stage.app, "zvr.exe")
    del stage.env["INSTALLER_INSTALL"]
    stage.env["INSTALLER_REMOVE"] = winpath(os.path.join(stage.app,
                                                         "zvr.exe"))
    planted = stage.path("user-bin")
    stage.copy("impostor-installer.exe", planted, "zvr.exe")
    stage.per_machine()
    t, _ = staged_road_to_the_end(stage, env={"WINEPATH": winpath(planted)})
    expect(t.of("installer", "removed"), "the installer removed zvr.exe", t)
    expect(t.one("installer", "path").detail.lower() ==
           "c:\\windows\\system32;c:\\windows", "the installer, elevated, "
           "got the system's folders as its PATH", t)
    expect(not t.of("impostor"), "the zvr.exe on the user's PATH never "
           "ran", t)


def staged_road_to_the_end(stage, **update):
    """The helper's road up to the installer's end and the updater's exit,
    for cases that take the restart away."""
    installer = stage.installer()
    t, _ = stage.update(winpath(installer), start_via="helper", hold_ms=500,
                        sha256=sha256(installer),
                        until=("installer", "end"), **update)
    helper_exit(t, 0)
    stage.wait_for("zvr-v1", "helper-exit", limit_s=30)
    stage.settle()
    return read_timeline(stage.log), None


@case_layout(beside=True)
def case_profile_variables_never_reach_the_elevated_installer(stage):
    # What any program of the user's can plant in the profile, which an
    # elevated process takes its environment from.
    stage.per_machine()
    t, _ = staged_road(stage, env={
        "__COMPAT_LAYER": "InjectedLayer",
        "ZELVARO_UPDATE_COMPAT_LAYER": "=InjectedLayer",
        "ZELVARO_UPDATE_HAND_BACK": "e" * 32,
        "ComSpec": "C:\\users\\evil.exe",
        "WINEPATH": "C:\\users"})
    expect(t.one("installer", "compat-layer").detail == "unset",
           "the elevated installer ran with no compatibility layer", t)
    expect(t.one("installer", "comspec").detail.lower() ==
           "c:\\windows\\system32\\cmd.exe" and
           t.one("installer", "path").detail.lower() ==
           "c:\\windows\\system32;c:\\windows", "... the system's shell, "
           "and the system's folders as its PATH", t)
    expect(t.one("zvr-v2", "start-variables").detail ==
           "__COMPAT_LAYER unset|" + UNSET, "the restarted application saw "
           "none of the planted variables, and ran on", t)


@case_layout(beside=True)
def case_download_swapped_before_the_kit_hashed_it_is_refused(stage):
    # The application's manifest names the genuine installer's digest; an
    # impostor lies at the download path when the application calls the
    # kit.
    stage.per_machine()
    genuine = sha256(stage.installer())
    impostor = stage.installer(built="impostor-installer.exe")
    t, _ = stage.update(winpath(impostor), start_via="helper", sha256=genuine)
    not_started(t, "helper", HELPER_DIGEST_MISMATCH)


@case_layout(beside=True)
def case_name_taken_by_an_event_is_refused(stage):
    # Another program holds "Zelvaro" as an event: the updater's probe
    # would fail and not wait for the application.
    t, _ = stage.update(winpath(stage.installer()), start_via="direct",
                        hold_as="event", sha256=sha256(stage.installer()))
    not_started(t, "updater", ERROR_RUNNING_NAME_TAKEN)


def helper_line(updater, installer, digest, hand_back="-", per_user=False):
    """A helper command line run by a process of the user's, with no prompt
    of the application's: `updater` and `installer` relative to the stage
    ("app/updater.exe"), `digest` "installer" for the installer's own
    SHA-256 or any other text as it stands."""
    def case(stage):
        if not per_user:
            stage.per_machine()
        genuine = stage.installer()
        stage.copy("test-installer.exe", stage.path("elsewhere"),
                   "updater.exe")
        digits = sha256(genuine) if digest == "installer" else digest
        parts = [f'"{winpath(stage.driver)}"', "--start-updater-helper",
                 f'"{winpath(stage.path(updater))}"',
                 f'"{winpath(stage.path(installer))}"', digits, hand_back]
        return stage.run_kit_line(" ".join(p for p in parts if p))
    return case


def helper_refuses(code, *line, **options):
    @case_layout(beside=True)
    def case(stage):
        before = staging_folders(stage)
        t = helper_line(*line, **options)(stage)
        expect(t.one("zvr-v1", "helper").detail == str(code),
               f"the helper exited with {code:#x}", t)
        expect(t.one("zvr-v1", "launched").detail == str(code),
               "... which its starter read", t)
        expect(not t.of("installer") and not t.of("zvr-v2"),
               "nothing was started", t)
        # Only what this case made counts: a restart of Wine's server in
        # between carries out the deletes booked for earlier cases' folders.
        expect(not staging_folders(stage) - before, "no copy was left", t)
    return case


def staging_folders(stage):
    temp = stage.wine.windows_folder("temp")
    return {n for n in os.listdir(temp) if n.startswith("Zelvaro-update-")}


def padded_inside_the_certificate_table(path, extra):
    """Appends `extra` inside the certificate table of the signed program
    at `path`, which ends the file, as both its sizes say: what
    WinVerifyTrust passes unless EnableCertPaddingCheck is set."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    directory = pe + 24 + (96 if magic == 0x10B else 112) + 8 * 4
    offset, size = struct.unpack_from("<II", data, directory)
    assert offset + size == len(data), "the table ends the file"
    struct.pack_into("<I", data, directory + 4, size + len(extra))
    length = struct.unpack_from("<I", data, offset)[0]
    struct.pack_into("<I", data, offset, length + len(extra))
    data += extra
    with open(path, "wb") as f:
        f.write(data)


def signed(installer_signer, tamper=False, pad=False,
           built="test-installer.exe", refused=HELPER_SIGNER_MISMATCH):
    """The application signed by the vendor, the installer as named
    (None: unsigned): the helper lets only the vendor's run, untampered,
    with nothing but its signature in its certificate table (`pad`), and
    no older than the application (`built`: "old-installer.exe")."""
    @case_layout(beside=True, fixtures=("wine", "keys"))
    def case(stage):
        keys = stage.keys
        keys.sign(stage.built("zvr-v1.exe"), stage.driver, "vendor")
        genuine = stage.installer(built=built)
        if installer_signer:
            keys.sign(stage.built(built), genuine, installer_signer)
        if pad:
            padded_inside_the_certificate_table(genuine, b"\x01" * 8)
        if tamper:
            with open(genuine, "r+b") as f:  # a byte of code
                f.seek(0x600)
                byte = f.read(1)
                f.seek(0x600)
                f.write(bytes([byte[0] ^ 0xFF]))
        stage.per_machine()
        if installer_signer == "vendor" and not (tamper or pad) and \
                refused == HELPER_SIGNER_MISMATCH:
            t, _ = stage.update(winpath(genuine), hold_ms=1000,
                                start_via="helper", until=RESTARTED_AND_DONE)
            helper_exit(t, 0)
            staged_copy(stage, t)
            restarted_once_after(t, t.one("installer", "end"),
                                 "the installer ended")
            return
        t, _ = stage.update(winpath(genuine), start_via="helper")
        helper_exit(t, refused)
        expect(not t.of("installer") and not t.of("old-installer") and
               not t.of("zvr-v2"),
               "the installer never started, nor the updater", t)
    return case


def x64_application(start_via):
    """The 64-bit application, in a 64-bit prefix, drives the 32-bit
    updater: directly on a per-user install, or through its own helper
    (64-bit) on a per-machine one."""
    @case_layout(fixtures=("wine64",), beside=True, driver="zvr-v1-x64.exe",
                 main_app="zvr-v2-x64.exe")
    def case(stage):
        if start_via == "direct":
            t = direct_road(stage)
            expect(t.one("installer", "compat-layer").detail ==
                   "RunAsInvoker", "a per-user install: RunAsInvoker", t)
        else:
            stage.per_machine()
            t, _ = staged_road(stage)
        expect(t.one("zvr-v1", "bits").detail == "64" and
               t.one("zvr-v2", "bits").detail == "64",
               "the application, before and after, was 64-bit", t)
    return case


def direct_road(stage, staged=False, **update):
    """The direct road with the application beside the updater, which
    exits soon after it started the updater, as it must: the installer
    installs version 2 over it, which the updater restarts. With `staged`
    (an elevated application, as every one is under Wine, on a
    per-machine install), the updater runs a checked copy of the
    installer, as on the helper's road."""
    installer = winpath(stage.installer())
    t, _ = stage.update(installer, hold_ms=500, wait=False,
                        start_via="direct", sha256=sha256(stage.installer()),
                        until=RESTARTED_AND_DONE, **update)
    if staged:
        staged_copy(stage, t)
    else:
        expect(t.one("installer", "start").detail ==
               f'"{installer}"{SILENT}',
               "installer started whole, quoted, with /silent", t)
    expect(t.of("installer", "installed"), "the installer installed "
           "version 2 over the application's exe", t)
    restarted_once_after(t, t.one("installer", "end"), "the installer ended")
    return t


def compat_layer(per_user, before, installer_sees, restarted_sees):
    """The direct road: RunAsInvoker is added for the updater and its
    children on a per-user install only, and the restarted application's
    first kit call puts the layer back as it was."""
    @case_layout(beside=True)
    def case(stage):
        if not per_user:
            stage.per_machine()
        env = {"__COMPAT_LAYER": before} if before else {}
        t = direct_road(stage, staged=not per_user, env=env)
        expect(t.one("installer", "compat-layer").detail == installer_sees,
               f"the installer ran with the layer {installer_sees!r}", t)
        expect(t.one("zvr-v2", "start-variables").detail == restarted_sees,
               f"the restarted application saw {restarted_sees}", t)
    return case


UNSET = ("ZELVARO_UPDATE_COMPAT_LAYER unset|ZELVARO_UPDATE_HAND_BACK unset")


# Wine names Unix files in the character set of the Unix locale it runs
# in, and a Windows program's ANSI code page follows the locale's
# language. C.UTF-8, which Debian always has, gives both: file names in
# UTF-8, and, being no language's, English's code page 1252, which has no
# Cyrillic letters. Without a locale (CI's bare root shell) the names of
# the folders below would reach Windows programs as other letters.
UTF8_LOCALE = "C.UTF-8"
ANSI_CODE_PAGE = "1252"
# Folder and file names none of whose letters has a form in code page
# 1252: a profile folder, the application's, the download's.
PROFILE = "Пользователь"
APPLICATION = "Зельваро"
DOWNLOAD = "Загрузки/установка.exe"


def in_utf8_locale(stage):
    """Every Wine process this case starts from Linux runs in UTF8_LOCALE,
    whatever locale the test runs in."""
    stage.wine.env["LC_ALL"] = UTF8_LOCALE


def utf8(detail):
    """A stand-in's UTF-8 detail, which the timeline reads as Latin-1."""
    return detail.encode("latin-1").decode("utf-8")


def in_code_page(t, *processes):
    for process in processes:
        expect(t.one(process, "code-page").detail == ANSI_CODE_PAGE,
               f"{process} ran in ANSI code page {ANSI_CODE_PAGE}", t)


# A name in the 8.3 form: at most 8 characters, a dot and at most 3.
DOS_CHARACTER = r"[A-Za-z0-9_~!#$%&'()@^`{}-]"
SHORT_NAME = re.compile(f"{DOS_CHARACTER}{{1,8}}(\\.{DOS_CHARACTER}{{1,3}})?")


def short_form_of(ansi, path):
    """Whether `ansi` is the short form of the Windows path `path`: as many
    names, each the long one or an 8.3 name with a "~", every character in
    ASCII."""
    ours, theirs = ansi.split("\\"), path.split("\\")
    return ansi.isascii() and len(ours) == len(theirs) and all(
        a.lower() == b.lower() or ("~" in a and SHORT_NAME.fullmatch(a))
        for a, b in zip(ours, theirs))


@case_layout(beside=True, app_folder=f"{PROFILE}/{APPLICATION}")
def case_per_user_install_under_cyrillic_folders(stage):
    # The application holds its paths in UTF-16 and passes them whole to
    # the kit; the updater reads its line in code page 1252, so it must
    # get the short forms, and still run the installer it names and
    # restart the application beside it.
    in_utf8_locale(stage)
    installer = stage.installer(DOWNLOAD)
    long_path = winpath(installer)
    t, _ = stage.update(long_path, hold_ms=1000, wait=False, trace=True,
                        start_via="direct-wide", sha256=sha256(installer),
                        until=RESTARTED_AND_DONE)
    in_code_page(t, "zvr-v1", "installer")
    started = t.one("zvr-v1", "updater-started")
    expect(utf8(started.detail).endswith(" " + long_path), "the application "
           "read the installer's path whole from its UTF-16 line", t)
    command = t.one("installer", "start").detail
    found = re.fullmatch(r'"([^"]*)" /silent', command)
    expect(found and short_form_of(found.group(1), long_path),
           "the updater got the installer's short form, and started it "
           "whole, quoted, with /silent", t)
    expect(utf8(t.one("installer", "own-long-path").detail) == long_path,
           "the short form named the installer itself", t)
    expect(t.one("installer", "compat-layer").detail == "RunAsInvoker",
           "the kit took the folder for a per-user install", t)
    expect(t.of("installer", "installed"), "the installer installed "
           "version 2 over the application's exe", t)
    restarted_once_after(t, t.one("installer", "end"), "the installer ended")
    held = probes_made(stage) - 1
    expect_calls(stage, t, DLL_DEFENCE + READ_COMMAND_LINE +
                 sum((probe(n, 183) for n in range(held)), []) +
                 probe(held, 0) + READ_COMMAND_LINE +
                 start(command, True) + waited_for_installer() + RESTART)


@case_layout(beside=True)
def case_per_machine_install_with_a_cyrillic_download(stage):
    # The helper is asked for with the download's short form; its copy
    # cannot keep the download's name, which has no form in code page
    # 1252, so the updater gets an ASCII one.
    in_utf8_locale(stage)
    stage.per_machine()
    t, copy = staged_road(stage, installer=DOWNLOAD,
                          copy_name="installer.exe", start_via="helper-wide")
    in_code_page(t, "zvr-v1", "installer")
    started = t.one("zvr-v1", "helper-started")
    expect(utf8(started.detail).endswith(" " + winpath(
        stage.path("installers", DOWNLOAD))), "the application read the "
           "download's path whole from its UTF-16 line", t)
    expect(utf8(t.one("installer", "own-long-path").detail).lower() ==
           t.one("installer", "start").detail.split('"')[1].lower(),
           "the installer ran as the copy the updater named", t)


@case_layout(beside=True)
def case_hand_back_through_the_watcher(stage):
    # What an unelevated application does (Wine reports every process
    # elevated, so the stand-in takes that branch itself): the watcher is
    # left behind, the restarted application, elevated, hands itself back
    # and exits, and the watcher starts it again as the user.
    stage.per_machine()
    t, _ = stage.update(winpath(stage.installer()), hold_ms=1000,
                        start_via="helper-handing-back",
                        sha256=sha256(stage.installer()),
                        until=("zvr-v1", "watcher"))
    helper_exit(t, 0)
    staged_copy(stage, t)
    expect(t.of("installer", "installed"), "the installer replaced the "
           "application's exe while the watcher waited", t)
    handed = t.one("zvr-v2", "handed-back")
    expect(handed.detail == "0", "the restarted application told the "
           "watcher", t)
    never_held_the_mutex(t, "zvr-v2", "handed-back")
    watcher = t.one("zvr-v1", "watcher")
    expect(watcher.detail == "0" and handed.us < watcher.us,
           "the watcher woke after the hand-back and exited 0", t)
    started = t.one("zvr-v2", "start")
    expect(started.detail == f'"{winpath(stage.driver)}" /silent' and
           started.us > handed.us, "the watcher started the application "
           "again, by its full path, with /silent", t)
    expect(t.one("zvr-v2", "start-variables").detail ==
           "__COMPAT_LAYER unset|" + UNSET, "with none of the kit's "
           "variables", t)


@case_layout(beside=True)
def case_hand_back_without_a_watcher_fails_closed(stage):
    t = stage.run_kit_line('"zvr.exe" /silent',
                           env={"ZELVARO_UPDATE_HAND_BACK": "0" * 32})
    expect(t.one("zvr-v1", "handed-back").detail == str(HAND_BACK_FAILED),
           "an elevated restart with no watcher to tell exits with "
           "kHandBackFailed", t)
    never_held_the_mutex(t, "zvr-v1", "handed-back")


@case_layout(beside=True)
def case_planted_hand_back_id_ends_no_start_of_the_users_own(stage):
    # The user starts the application elevated themselves; an id planted in
    # the profile counts only on the updater's own restart line.
    t = stage.run_kit_line(f'"{winpath(stage.driver)}"',
                           env={"ZELVARO_UPDATE_HAND_BACK": "0" * 32})
    expect(not t.of("zvr-v1", "handed-back"), "nothing was handed back", t)
    expect(t.one("zvr-v1", "start-variables").detail ==
           "__COMPAT_LAYER unset|" + UNSET, "the application ran on, "
           "without the id", t)


@case_layout(beside=True)
def case_watcher_without_its_event_starts_nothing(stage):
    t = stage.run_kit_line(f'"{winpath(stage.driver)}" '
                           f"--updater-hand-back-watcher {'0' * 32} "
                           f'"{winpath(stage.driver)}"')
    expect(t.one("zvr-v1", "watcher").detail == str(ERROR_FILE_NOT_FOUND),
           "a watcher with no event ends at once", t)
    expect(len(t) == 2, "and starts nothing", t)


def case_signed_release_whole_road(stage):
    # The signature changes the file, not what it does.
    shutil.copyfile(os.environ["SIGNED_UPDATER"],
                    os.path.join(stage.app, "updater.exe"))
    case_whole_road(stage)


def case_no_mutex_one_probe(stage):
    installer = winpath(stage.installer())
    t = installed_then_restarted(stage, installer, hold_as="none",
                                 trace=True)
    # Counted in the updater's own calls, not read off the clock, which a
    # busy machine stretches: exactly one probe and one sleep.
    expect_calls(stage, t, DLL_DEFENCE + READ_COMMAND_LINE + probe(0, 0) +
                 READ_COMMAND_LINE + start(f'"{installer}" /silent', True) +
                 waited_for_installer() + RESTART)
    delay = (t.one("installer", "start").us -
             t.one("zvr-v1", "updater-started").us) / 1000.0
    expect(delay >= 300,
           f"installer started {delay:.0f} ms after the updater, before "
           "its one sleep was over", t)


def guard(command_line):
    def case(stage):
        stage.installer()
        t, _ = stage.update(command_line, hold_ms=2000, trace=True)
        expect(t.one("zvr-v1", "release").detail == "updater-gone",
               "the updater ended at once, while the mutex was held", t)
        expect(not t.of("installer") and not t.of("zvr-v2"),
               "nothing was started", t)
        exited_zero(t)
        expect_calls(stage, t, DLL_DEFENCE + READ_COMMAND_LINE + EXIT_ZERO)
    return case


def not_guarded(command_line_in):
    """A command line that only looks like a start under the updater's own
    name is an installer path like any other: here one that names no file,
    so the whole road with the box."""
    def case(stage):
        command_line = command_line_in(stage)
        t, _ = reported_then_restarted(stage, command_line, trace=True)
        expect_calls(stage, t, DLL_DEFENCE + READ_COMMAND_LINE +
                     probe(0, 0) + READ_COMMAND_LINE +
                     start(f'"{command_line}" /silent', False) + BOX + RESTART)
    return case


def case_event_holding_the_name_ends_the_wait(stage):
    installer = winpath(stage.installer())
    t = installed_then_restarted(stage, installer, hold_ms=3000,
                                 hold_as="event", trace=True)
    expect(t.one("installer", "start").us < t.one("zvr-v1", "release").us,
           "the installer started while the event still held the name", t)
    ERROR_INVALID_HANDLE = 6
    expect_calls(stage, t, DLL_DEFENCE + READ_COMMAND_LINE +
                 probe(0, ERROR_INVALID_HANDLE) + READ_COMMAND_LINE +
                 start(f'"{installer}" /silent', True) +
                 waited_for_installer() + RESTART)


def reported_then_restarted(stage, command_line, **update):
    t, box = stage.update(command_line, box=BOX_SHOWN,
                          until=RESTARTED_AND_DONE, **update)
    expect(box["found"] == "yes", "the failed start was reported", t)
    restarted_once_after(t, t.one("box-probe", "box-dismissed"),
                         "the box was dismissed")
    exited_zero(t)
    return t, box


def missing_installer(stage):
    return winpath(stage.path("installers", "missing.exe"))


def case_missing_installer_shows_the_box(stage):
    installer = missing_installer(stage)
    t, box = reported_then_restarted(stage, installer, trace=True)
    expect(box == {"found": "yes", "caption": "Update error",
                   "class": "#32770", "owner": "none",
                   "text": "Can't find update file.", "buttons": "OK",
                   "icon": "error", **{k: v for k, v in box.items()
                                       if k.startswith("icon_mismatch")}},
           f"the box as a user sees it: {box}", t)
    expect_calls(stage, t, DLL_DEFENCE + READ_COMMAND_LINE + probe(0, 0) +
                 READ_COMMAND_LINE + start(f'"{installer}" /silent', False) +
                 BOX + RESTART)


def planted_dll(updater, loaded):
    """A DLL planted beside the updater under the name of one the box loads
    (uxtheme.dll), with Wine told to prefer it, as Windows always does."""
    def case(stage):
        stage.copy(updater, stage.app, "updater.exe")
        marker = stage.copy("planted-dll.dll", stage.app,
                            "uxtheme.dll") + ".loaded"
        t, _ = reported_then_restarted(
            stage, missing_installer(stage),
            env={"WINEDLLOVERRIDES": DLL_OVERRIDES + ";uxtheme=n,b"})
        by = open(marker).read() if os.path.exists(marker) else ""
        if loaded:
            expect("updater.exe" in by, "the planted DLL ran in the updater "
                   "without the defence: the case can fail", t)
        else:
            expect(by == "", f"the planted DLL was not loaded ({by!r})", t)
    return case


def installer_outcome(env):
    def case(stage):
        installed_then_restarted(stage, winpath(stage.installer()), env=env)
    return case


def case_path_with_spaces(stage):
    installed_then_restarted(
        stage, winpath(stage.installer("my updates/setup 2.0.exe")))


def case_target_with_own_quotes(stage):
    # The quotes stay inside the updater's own pair: the program name the
    # platform reads is empty, so nothing starts and the box says so.
    quoted = '"' + winpath(stage.installer()) + '"'
    t, _ = reported_then_restarted(stage, quoted)
    expect(not t.of("installer"), "no installer ran", t)


def case_missing_main_application_is_silent(stage):
    os.remove(os.path.join(stage.app, "zvr.exe"))
    t, box = stage.update(winpath(stage.installer()), box=(4000, 0))
    expect(box["found"] == "no", "no box for a failed restart", t)
    expect(len(t.of("installer", "end")) == 1, "the installer ran", t)
    expect(not t.of("zvr-v2"), "no zvr.exe ran", t)
    exited_zero(t)


def case_main_application_found_beside_the_updater(stage):
    # A zvr.exe in the current folder must lose to the one beside the
    # updater, which the platform's search takes first.
    elsewhere = stage.path("elsewhere")
    stage.copy("zvr-v1.exe", elsewhere, "zvr.exe")
    t = installed_then_restarted(stage, winpath(stage.installer()),
                                 cwd=elsewhere)
    expect(not t.of("zvr-v1", "start"), "the zvr.exe of the current folder "
           "did not run", t)


def installer_path_of(length, must_start):
    def case(stage):
        base = winpath(stage.path("installers"))
        # Full 100-character folders while a file name still fits after
        # one, then a file name that takes up exactly the rest, whatever
        # the length of the build folder's own path.
        room = length - len(base) - 1
        folders = []
        while room > 101 + len("s.exe"):
            folders.append("d" * 100)
            room -= 101
        name = "s" * (room - len(".exe")) + ".exe"
        path = stage.installer("/".join(folders + [name]))
        command_line = winpath(path)
        assert len(command_line) == length, (len(command_line), length)
        if must_start:
            installed_then_restarted(stage, command_line)
            return
        t, box = stage.update(command_line, box=(6000, 500),
                              until=RESTARTED_AND_DONE)
        started = t.of("installer", "start")
        expect(started or box["found"] == "yes",
               "either started or reported", t)
        if started:
            expect(started[0].detail == '"' + command_line + '"' + SILENT,
                   "started whole, never cut", t)
        expect(len(t.of("zvr-v2", "start")) == 1, "zvr.exe restarted", t)
        exited_zero(t)
    return case


CASES = {
    "whole_road_mutex_held_a_second": case_whole_road,
    "whole_road_through_the_elevated_helper":
        case_through_the_elevated_helper,
    "installer_swapped_after_the_helper_served_never_runs":
        case_installer_swapped_after_the_helper_served,
    "no_zvr_exe_beside_the_updater_is_refused":
        case_no_zvr_exe_beside_the_updater_is_refused,
    "elevated_restart_never_looks_along_the_users_path":
        case_elevated_restart_never_looks_along_the_users_path,
    "profile_variables_never_reach_the_elevated_installer":
        case_profile_variables_never_reach_the_elevated_installer,
    "download_swapped_before_the_kit_hashed_it_is_refused":
        case_download_swapped_before_the_kit_hashed_it_is_refused,
    "name_taken_by_an_event_is_refused":
        case_name_taken_by_an_event_is_refused,
    "planted_hand_back_id_ends_no_start_of_the_users_own":
        case_planted_hand_back_id_ends_no_start_of_the_users_own,
    "helper_line_naming_another_updater_starts_nothing":
        helper_refuses(HELPER_NOT_OUR_UPDATER, "elsewhere/updater.exe",
                       "installers/setup.exe", "installer"),
    "helper_line_for_a_per_user_folder_starts_nothing":
        helper_refuses(HELPER_NOT_OUR_UPDATER, "app/updater.exe",
                       "installers/setup.exe", "installer", per_user=True),
    "helper_line_with_another_digest_starts_nothing":
        helper_refuses(HELPER_DIGEST_MISMATCH, "app/updater.exe",
                       "installers/setup.exe", "0" * 64),
    "helper_line_without_a_digest_starts_nothing":
        helper_refuses(ERROR_BAD_ARGUMENTS, "app/updater.exe",
                       "installers/setup.exe", "", hand_back=""),
    "signed_application_installer_signed_by_the_vendor_runs":
        signed("vendor"),
    "signed_application_installer_signed_by_another_key_refused":
        signed("stranger"),
    "signed_application_installer_of_a_look_alike_under_another_ca_refused":
        signed("look-alike"),
    "signed_application_unsigned_installer_refused": signed(None),
    "signed_application_installer_changed_after_signing_refused":
        signed("vendor", tamper=True),
    "signed_installer_padded_after_signing_refused":
        signed("vendor", pad=True),
    "older_installer_of_the_same_signer_refused":
        signed("vendor", built="old-installer.exe",
               refused=HELPER_DOWNGRADE),
    "x64_application_direct_road": x64_application("direct"),
    "x64_application_elevated_road": x64_application("helper"),
    "per_user_install_runs_the_updater_as_invoker":
        compat_layer(True, None, "RunAsInvoker", "__COMPAT_LAYER unset|" +
                     UNSET),
    "per_user_install_keeps_the_layer_the_application_had":
        compat_layer(True, "HighDpiAware", "HighDpiAware RunAsInvoker",
                     "__COMPAT_LAYER=HighDpiAware|" + UNSET),
    "per_machine_install_adds_no_layer":
        compat_layer(False, None, "unset", "__COMPAT_LAYER unset|" + UNSET),
    "per_user_install_under_cyrillic_folders":
        case_per_user_install_under_cyrillic_folders,
    "per_machine_install_with_a_cyrillic_download":
        case_per_machine_install_with_a_cyrillic_download,
    "hand_back_through_the_watcher": case_hand_back_through_the_watcher,
    "hand_back_without_a_watcher_fails_closed":
        case_hand_back_without_a_watcher_fails_closed,
    "watcher_without_its_event_starts_nothing":
        case_watcher_without_its_event_starts_nothing,
    "signed_release_whole_road": case_signed_release_whole_road,
    "no_mutex_one_probe_one_sleep": case_no_mutex_one_probe,
    "guard_exact_name": guard("updater.exe"),
    "guard_upper_case_with_arguments": guard("UPDATER.EXE /x"),
    "guard_more_characters": guard("Updater.exe.old"),
    # Each of these would pass for the own name under a careless guard: one
    # that compares ten bytes, folds with | 0x20 (0x0E becomes '.') or
    # & 0x7F (0xD5 becomes 'U'), or finds the name anywhere in the line.
    "not_guarded_first_ten_characters": not_guarded(lambda _: "updater.ex"),
    "not_guarded_control_byte_for_dot":
        not_guarded(lambda _: "updater\x0eexe"),
    "not_guarded_high_bit_letter": not_guarded(lambda _: "\xd5PDATER.EXE"),
    "not_guarded_full_path_ending_in_own_name":
        not_guarded(lambda stage: winpath(stage.path("elsewhere",
                                                     "updater.exe"))),
    "event_holding_the_name_ends_the_wait":
        case_event_holding_the_name_ends_the_wait,
    "missing_installer_shows_the_box": case_missing_installer_shows_the_box,
    "planted_dll_is_not_loaded": planted_dll("updater.exe", loaded=False),
    "planted_dll_is_loaded_without_the_defence":
        planted_dll("updater-no-dll-defence.exe", loaded=True),
    "installer_nonzero_exit_then_restart":
        installer_outcome({"INSTALLER_EXIT_CODE": "7"}),
    "installer_crash_then_restart": installer_outcome({"INSTALLER_CRASH": "1"}),
    "installer_path_with_spaces": case_path_with_spaces,
    "target_with_own_quotes": case_target_with_own_quotes,
    "missing_main_application_is_silent":
        case_missing_main_application_is_silent,
    "main_application_found_beside_the_updater":
        case_main_application_found_beside_the_updater,
    "installer_path_249_characters": installer_path_of(249, True),
    "installer_path_255_characters": installer_path_of(255, True),
    "installer_path_300_characters": installer_path_of(300, False),
}


def needs(case):
    return getattr(case, "fixtures", ("wine",))


def main(argv):
    if argv[1:] == ["--list"]:
        for name, case in CASES.items():
            extra = ("signed_release",) if name == "signed_release_whole_road" \
                else ()
            print(" ".join((name,) + needs(case) + extra))
        return 0
    action, bin_dir, work_dir = argv[1], argv[-2], argv[-1]
    wine = Wine(os.path.join(work_dir, "wineprefix"))
    wine64 = Wine(os.path.join(work_dir, "wineprefix64"), arch="win64")
    keys = Keys(os.path.join(work_dir, "keys"))
    if action == "--setup":
        wine.setup()
    elif action == "--setup64":
        wine64.setup()
    elif action == "--keys":
        keys.setup()
    elif action == "--teardown":
        wine.end()
    elif action == "--teardown64":
        wine64.end()
    elif action == "--case":
        name = argv[2]
        case = CASES[name]
        stage = Stage(wine64 if "wine64" in needs(case) else wine, bin_dir,
                      os.path.join(work_dir, name),
                      bin64=os.environ.get("E2E_BIN64"),
                      **getattr(case, "layout", {}))
        stage.keys = keys
        try:
            case(stage)
        finally:
            stage.unlock()
        print(f"{name}: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
