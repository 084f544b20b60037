#!/usr/bin/python3
"""Reads the built updater.exe and checks what its users rely on without
running it: a 32-bit GUI program that imports from the system's own DLLs
only, can be loaded at a random base with no executable data and no
exception handlers, checks stack canaries, fits its size budget, and
carries exactly one resource, the fixed version information. A signed
updater.exe is checked as it was before it was signed.

The canary checks are found by name in the link before it was stripped,
and the exe must be that link stripped, byte for byte.

  check_exe.py UPDATER_EXE UNSTRIPPED_EXE OBJDUMP NM STRIP_COMMAND...
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

import pefile

MACHINE_I386 = 0x14C
SUBSYSTEM_WINDOWS_GUI = 2
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
NO_SEH = 0x0400
RT_VERSION = 16
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
SIZE_BUDGET = 16384
STACK_BUFFER_OVERRUN = "0xc0000409"
# The one frame that qualifies for -fstack-protector-strong: its records'
# addresses go to the platform.
LAUNCH_SILENT = "__Z12LaunchSilentPKc"
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


def symbols(nm, path):
    """Address of every symbol of the unstripped link, by name."""
    listing = subprocess.run([nm, path], capture_output=True, text=True,
                             check=True).stdout
    return {m.group(2): int(m.group(1), 16) for m in
            re.finditer(r"^([0-9a-f]+) \w (\S+)$", listing, re.M)}


def functions(objdump, path):
    """The unstripped link's code, function by function: name -> the text
    of its instructions."""
    listing = subprocess.run(
        [objdump, "-d", "-M", "intel", "--no-show-raw-insn", path],
        capture_output=True, text=True, check=True).stdout
    found, name = {}, None
    for line in listing.splitlines():
        head = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if head:
            name = head.group(1)
            found[name] = []
        elif name and re.match(r"^\s+[0-9a-f]+:\t", line):
            found[name].append(line.split("\t", 1)[1])
    return found


def canary_checks(objdump, nm, unstripped):
    """The stack protector's parts, found by their symbols in the link
    before it was stripped: the frames that keep and check a canary, the
    failure routine that ends the process with STATUS_STACK_BUFFER_OVERRUN,
    and the one place that writes the guard, a start-up constructor."""
    sym = symbols(nm, unstripped)
    code = functions(objdump, unstripped)
    guard = f"ds:{sym['___stack_chk_guard']:#x}"
    fail = code.get("___stack_chk_fail", [])
    terminate = f"ds:{sym['__imp__TerminateProcess@8']:#x}"
    ends_process = (any(STACK_BUFFER_OVERRUN in i for i in fail) and
                    any(i.startswith("call") and terminate in i for i in fail))
    protected = sorted(
        name for name, body in code.items()
        if sum(guard in i for i in body) >= 2 and
        any(re.match(r"call\s+\w+ <___stack_chk_fail>", i) for i in body))
    writers = sorted(
        name for name, body in code.items()
        if any(re.match(rf"mov\s+(?:DWORD PTR )?{guard},", i) for i in body))
    return ends_process, protected, writers, sym


def constructors(pe, sym):
    """The addresses in the image's constructor list (-1, ..., 0)."""
    at = sym["___CTOR_LIST__"] - pe.OPTIONAL_HEADER.ImageBase
    words = []
    while True:
        word = struct.unpack("<I", pe.get_data(at + 4 * (len(words) + 1),
                                               4))[0]
        if word == 0:
            return words
        words.append(word)


def unsigned_bytes(data):
    """The file as it was before it was signed: the certificate table cut
    off the end, its directory entry and the checksum as the link left
    them. An unsigned file comes back as it is. Returns (bytes, size of the
    signature)."""
    pe = pefile.PE(data=data, fast_load=True)
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    if security.Size == 0:
        return data, 0
    signature = len(data) - security.VirtualAddress
    security.VirtualAddress = security.Size = 0
    pe.OPTIONAL_HEADER.CheckSum = 0
    image = pe.write()[:len(data) - signature]
    pe = pefile.PE(data=image, fast_load=True)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return bytes(pe.write()), signature


def restripped(strip_command, unstripped):
    """The unstripped link stripped again, as the build does it."""
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "updater.exe")
        subprocess.run(strip_command + [unstripped, out], check=True)
        with open(out, "rb") as f:
            return f.read()


def main(path, unstripped, objdump, nm, strip_command):
    with open(path, "rb") as f:
        data, signature = unsigned_bytes(f.read())
    size = len(data)
    pe = pefile.PE(data=data)
    print(f"{path}: {size} bytes" +
          (f", and a signature of {signature} bytes" if signature else ""))
    check(size <= SIZE_BUDGET,
          f"size {size} bytes, within the budget of {SIZE_BUDGET}")
    check(data == restripped(strip_command, unstripped),
          "the very bytes of the unstripped link, stripped")

    check(pe.FILE_HEADER.Machine == MACHINE_I386, "machine is i386")
    check(pe.OPTIONAL_HEADER.Subsystem == SUBSYSTEM_WINDOWS_GUI,
          "subsystem is Windows GUI")
    check(pe.FILE_HEADER.TimeDateStamp == 0, "no link timestamp")

    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    check(flags & DYNAMIC_BASE, "DYNAMIC_BASE set")
    check(flags & NX_COMPAT, "NX_COMPAT set")
    check(flags & NO_SEH, "NO_SEH set: no exception handler in the image "
          "may be called")
    relocs = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    check(relocs.Size > 0, "relocations kept, so the base can move")
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode()
        flags = section.Characteristics
        check(not (flags & SCN_MEM_EXECUTE and flags & SCN_MEM_WRITE),
              f"section {name} is not both writable and executable")
    ends_process, protected, writers, sym = canary_checks(objdump, nm,
                                                          unstripped)
    check(ends_process, "a changed canary ends the process with "
          "STATUS_STACK_BUFFER_OVERRUN (___stack_chk_fail)")
    check(LAUNCH_SILENT in protected,
          f"stack canaries checked in {', '.join(protected) or 'no frame'}")
    check(len(writers) == 1 and "SeedStackGuard" in writers[0] and
          sym[writers[0]] in constructors(pe, sym),
          f"the guard is written only by a start-up constructor ({writers})")

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
    parser = argparse.ArgumentParser()
    parser.add_argument("exe", help="updater.exe, signed or not")
    parser.add_argument("unstripped", help="the same link before stripping")
    parser.add_argument("objdump")
    parser.add_argument("nm")
    parser.add_argument("strip", nargs=argparse.REMAINDER,
                        help="the build's strip command, less IN OUT")
    a = parser.parse_args()
    sys.exit(main(a.exe, a.unstripped, a.objdump, a.nm, a.strip))
