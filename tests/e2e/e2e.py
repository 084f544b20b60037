#!/usr/bin/python3
"""End-to-end cases: the real updater.exe on Wine's Win32, one row a case.

  e2e.py --list                       the case names, one a line
  e2e.py --setup BIN_DIR WORK_DIR     a fresh Wine prefix for the cases
  e2e.py --case NAME BIN_DIR WORK_DIR one case
  e2e.py --teardown BIN_DIR WORK_DIR  ends the prefix's wineserver
"""
import os
import shutil
import sys

from harness import DLL_OVERRIDES, Stage, Wine, winpath
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


def case_through_the_elevated_helper(stage):
    # Wine has no UAC: the application takes the helper's road by itself,
    # as Windows makes it take it when the direct start needs elevation.
    installer = winpath(stage.installer())
    t = installed_then_restarted(stage, installer, hold_ms=1000,
                                 start_via="helper", exit_event="helper-exit")
    helper = t.one("zvr-v1", "helper")
    expect(helper.detail == "0", "the helper started the updater, exited 0",
           t)
    expect(all(e.pid != helper.pid for e in t.of("zvr-v1", "hold")),
           "the helper never held the mutex", t)
    release = t.one("zvr-v1", "release")
    expect(helper.us < release.us <= t.one("installer", "start").us,
           "the updater waited for the application to let go", t)


def case_signed_release_whole_road(stage):
    # The signature changes the file, not what it does.
    shutil.copyfile(os.environ["SIGNED_UPDATER"],
                    os.path.join(stage.app, "updater.exe"))
    case_whole_road(stage)


def case_no_mutex_one_probe(stage):
    t = installed_then_restarted(stage, winpath(stage.installer()),
                                 hold_as="none")
    delay = (t.one("installer", "start").us -
             t.one("zvr-v1", "updater-started").us) / 1000.0
    # One probe and one 300 ms sleep, plus two process starts under Wine
    # (about 40 ms here); a second sleep would pass 600.
    expect(300 <= delay < 600,
           f"installer started {delay:.0f} ms after the updater", t)


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


def main(argv):
    if argv[1:] == ["--list"]:
        print("\n".join(CASES))
        return 0
    action, bin_dir, work_dir = argv[1], argv[-2], argv[-1]
    wine = Wine(os.path.join(work_dir, "wineprefix"))
    if action == "--setup":
        wine.setup()
    elif action == "--teardown":
        wine.end()
    elif action == "--case":
        name = argv[2]
        CASES[name](Stage(wine, bin_dir, os.path.join(work_dir, name)))
        print(f"{name}: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
