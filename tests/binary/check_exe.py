#!/usr/bin/python3
"""Reads the built updater.exe and checks what its users rely on without
running it: a 32-bit GUI program that imports from the system's own DLLs
only, can be loaded at a random base with no executable data, checks stack
canaries, fits its size budget, and carries exactly one resource, the fixed
version information.

  check_exe.py UPDATER_EXE OBJDUMP
"""
import re
import struct
import subprocess
import sys

import pefile

MACHINE_I386 = 0x14C
SUBSYSTEM_WINDOWS_GUI = 2
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
RT_VERSION = 16
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
SIZE_BUDGET = 16384
STACK_BUFFER_OVERRUN = "0xc0000409"
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}
# What the updater itself calls; the runtime's start-up adds its own.
OWN_CALLS = {
    "kernel32.dll": {"GetCommandLineA", "CreateMutexA", "GetLastError",
                     "CloseHandle", "Sleep", "CreateProcessA",
                     "WaitForSingleObject", "GetModuleHandleA",
                     "GetProcAddress", "SetDllDirectoryA",
                     "TerminateProcess"},
    "user32.dll": {"MessageBoxA"},
}
# VS_FIXEDFILEINFO, field by field: version 472.0.0.0, flags mask 0x3F,
# flags 0, VOS_NT_WINDOWS32, VFT_APP, subtype 0, date 0.
FIXED_FILE_INFO = (0xFEEF04BD, 0x00010000, 472 << 16, 0, 472 << 16, 0,
                   0x3F, 0, 0x00040004, 1, 0, 0, 0)

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def version_resource(pe):
    """The raw bytes of every resource, as (type, name, language, data)."""
    found = []
    for rtype in getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None).entries:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData,
                                   lang.data.struct.Size)
                found.append((rtype.id, name.id, lang.id, data))
    return found


def canary_checks(objdump, path):
    """How many frames check a stack canary that ends the process with
    STATUS_STACK_BUFFER_OVERRUN when it has changed. The exe is stripped,
    so the guard is found by its use: read into the frame on the way in,
    compared on the way out, written once when it is seeded."""
    listing = subprocess.run(
        [objdump, "-d", "-M", "intel", "--no-show-raw-insn", path],
        capture_output=True, text=True, check=True).stdout
    code = re.findall(r"^\s*([0-9a-f]+):\t(.*)$", listing, re.M)
    at = {int(a, 16): i for i, (a, _) in enumerate(code)}

    def fails_the_process(i):
        # A call, within two instructions, to code that ends the process
        # with the overrun status before it returns.
        for _, text in code[i + 1:i + 3]:
            call = re.match(r"call\s+0x([0-9a-f]+)$", text)
            if call and int(call.group(1), 16) in at:
                start = at[int(call.group(1), 16)]
                for _, body in code[start:start + 16]:
                    if STACK_BUFFER_OVERRUN in body:
                        return True
                    if body.startswith("ret"):
                        break
        return False

    checks = {}
    for i, (_, text) in enumerate(code):
        m = re.match(r"(?:sub|xor|cmp)\s+\w+,DWORD PTR ds:(0x[0-9a-f]+)$",
                     text)
        if m and fails_the_process(i):
            checks[m.group(1)] = checks.get(m.group(1), 0) + 1
    protected = 0
    for guard, count in checks.items():
        seeded = sum(1 for _, t in code
                     if re.match(rf"mov\s+(?:DWORD PTR )?ds:{guard},\w+$", t))
        read = sum(1 for _, t in code
                   if re.match(rf"mov\s+\w+,(?:DWORD PTR )?ds:{guard}$", t))
        if seeded == 1 and read >= count:
            protected += count
    return protected


def main(path, objdump):
    with open(path, "rb") as f:
        size = len(f.read())
    pe = pefile.PE(path)
    print(f"{path}: {size} bytes")
    check(size <= SIZE_BUDGET,
          f"size {size} bytes, within the budget of {SIZE_BUDGET}")

    check(pe.FILE_HEADER.Machine == MACHINE_I386, "machine is i386")
    check(pe.OPTIONAL_HEADER.Subsystem == SUBSYSTEM_WINDOWS_GUI,
          "subsystem is Windows GUI")
    check(pe.FILE_HEADER.TimeDateStamp == 0, "no link timestamp")

    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    check(flags & DYNAMIC_BASE, "DYNAMIC_BASE set")
    check(flags & NX_COMPAT, "NX_COMPAT set")
    relocs = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    check(relocs.Size > 0, "relocations kept, so the base can move")
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode()
        flags = section.Characteristics
        check(not (flags & SCN_MEM_EXECUTE and flags & SCN_MEM_WRITE),
              f"section {name} is not both writable and executable")
    frames = canary_checks(objdump, path)
    check(frames >= 1, f"stack canaries checked in {frames} frame(s), "
          "a changed one ends the process")

    imports = {entry.dll.decode().lower():
               {imp.name.decode() for imp in entry.imports if imp.name}
               for entry in pe.DIRECTORY_ENTRY_IMPORT}
    for dll, names in sorted(imports.items()):
        print(f"     imports {dll}: {', '.join(sorted(names))}")
    check(set(imports) == ALLOWED_DLLS,
          "imports from KERNEL32.dll, USER32.dll and msvcrt.dll only")
    for dll, calls in OWN_CALLS.items():
        check(calls <= imports.get(dll, set()),
              f"{dll} provides {', '.join(sorted(calls))}")
    check(imports.get("user32.dll") == {"MessageBoxA"},
          "USER32.dll gives nothing but MessageBoxA")
    # Looked up at run time: an import would keep the exe from starting on
    # Windows without it.
    check("SetDefaultDllDirectories" not in imports.get("kernel32.dll", ()),
          "SetDefaultDllDirectories is not imported")

    resources = version_resource(pe)
    check(len(resources) == 1 and resources[0][:2] == (RT_VERSION, 1),
          "exactly one resource: the version resource, ID 1")
    data = resources[0][3] if resources else b""
    # VS_VERSIONINFO: three WORDs, the key in UTF-16 with its NUL, padding
    # to a DWORD boundary, then the fixed information and nothing else.
    key = "VS_VERSION_INFO\0".encode("utf-16-le")
    fixed_at = (6 + len(key) + 3) & ~3
    length, value_length, kind = struct.unpack_from("<3H", data) \
        if len(data) >= 6 else (0, 0, 0)
    check(data[6:6 + len(key)] == key and kind == 0,
          "version block is VS_VERSION_INFO")
    check(value_length == 52 and length == fixed_at + 52 == len(data),
          "fixed file information only: no string or translation table")
    fixed = struct.unpack_from("<13I", data, fixed_at) \
        if len(data) >= fixed_at + 52 else ()
    check(fixed == FIXED_FILE_INFO,
          "version 472.0.0.0, mask 0x3F, flags 0, VOS_NT_WINDOWS32, "
          "VFT_APP, subtype 0, date 0")

    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
