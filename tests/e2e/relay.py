"""Wine's relay trace of the updater: which platform functions the real
updater.exe called, with which arguments, in which order, and what they
returned. The one parser for the Wine cases, the demo and the benchmark.

The prefix is set up with `relay_registry(functions)`; a process started
with WINEDEBUG=+pid,+relay (which its children inherit) then writes a line
for every call into, and return from, those functions to its stderr.
`RelayReader` reads that stream as it comes, and `updater_calls` keeps
the calls that the updater's own image made, in order.
"""
import queue
import re
import threading
import time
from dataclasses import dataclass, field
from typing import List, Optional, Union

import pefile

# Every platform function the updater's own code calls, and the one that
# ends its process.
UPDATER_FUNCTIONS = [
    "kernel32.GetModuleHandleA", "kernel32.GetProcAddress",
    "kernel32.SetDefaultDllDirectories", "kernel32.SetDllDirectoryA",
    "kernel32.GetCommandLineA", "kernel32.CreateMutexA",
    "kernel32.GetLastError", "kernel32.CloseHandle", "kernel32.Sleep",
    "kernel32.CreateProcessA", "kernel32.WaitForSingleObject",
    "user32.MessageBoxA", "kernel32.TerminateProcess",
    "kernel32.ExitProcess",
]

LINE = re.compile(r"^([0-9a-f]+):([0-9a-f]+):(Call|Ret)\s+"
                  r"(?i:kernel32|user32)\.(\w+)\((.*)\)"
                  r"(?: retval=([0-9a-f]+))? ret=([0-9a-f]+)$")
THREAD_START = re.compile(r"^([0-9a-f]+):[0-9a-f]+:Starting thread proc "
                          r"([0-9A-Fa-f]+)")
# One argument: a value, and for a string the string as Wine escapes it.
ARGUMENT = re.compile(r'\s*([0-9a-f]+)(?: (L?)"((?:[^"\\]|\\.)*)")?\s*(?:,|$)')
ESCAPE = re.compile(r"\\(x[0-9a-fA-F]{2}|.)")


def now_us():
    """Wine's performance counter runs on this clock, so what Linux sees and
    what the stand-ins log share one time line."""
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW) // 1000


def unescape(text):
    simple = {"n": "\n", "r": "\r", "t": "\t"}
    return ESCAPE.sub(lambda m: chr(int(m.group(1)[1:], 16))
                      if m.group(1)[0] == "x" and len(m.group(1)) == 3
                      else simple.get(m.group(1), m.group(1)), text)


@dataclass
class Call:
    """One line of the trace: a call into, or a return from, one of the
    traced platform functions."""
    us: int  # when the line arrived
    pid: int
    tid: int
    kind: str  # "Call" or "Ret"
    name: str
    ret: Optional[int]  # the function's result, on a "Ret" line
    caller: int  # the address the function returns to
    values: List[Union[int, str]] = field(default_factory=list)

    def strings(self):
        """The string arguments, unescaped."""
        return [v for v in self.values if isinstance(v, str)]


def parse_arguments(args):
    """A string argument stands as its string, any other as its number."""
    values, at = [], 0
    while at < len(args):
        m = ARGUMENT.match(args, at)
        if not m or m.end() == at:
            break
        number, _, text = m.groups()
        values.append(unescape(text) if text is not None else int(number, 16))
        at = m.end()
    return values


def relay_registry(functions):
    """Registry values for Wine.setup that trace `functions` (such as
    "kernel32.Sleep") and nothing else."""
    key = "HKCU\\Software\\Wine\\Debug"
    return [(key, "RelayInclude", "REG_SZ", ";".join(functions))]


class RelayReader:
    """Reads a relay trace from `stream` on a thread of its own, stamping
    each line as it arrives; take() hands over the calls read so far, and
    entry points notes where each process's main thread started."""

    def __init__(self, stream):
        self.lines = queue.Queue()
        self.entry_points = {}
        threading.Thread(target=self.read, args=(stream,), daemon=True).start()

    def read(self, stream):
        for line in stream:
            self.lines.put((now_us(), line))

    def take(self):
        calls = []
        while not self.lines.empty():
            us, line = self.lines.get()
            start = THREAD_START.match(line)
            if start:
                self.entry_points.setdefault(int(start.group(1), 16),
                                             int(start.group(2), 16))
            m = LINE.match(line.rstrip("\n"))
            if m:
                pid, tid, kind, name, args, ret, caller = m.groups()
                calls.append(Call(us, int(pid, 16), int(tid, 16), kind, name,
                                  int(ret, 16) if ret else None,
                                  int(caller, 16), parse_arguments(args)))
        return calls


def own_calls(reader, calls, pid, exe):
    """The lines of process `pid` for calls that code in the image `exe`
    made (a "Ret" line names the same caller as its "Call"), and the
    runtime's ExitProcess, the exit code's witness. The image's place in
    memory follows from where its main thread started."""
    entry = reader.entry_points.get(pid)
    if entry is None:
        return []
    # Read, not mapped: a benchmark looks for the process that maps it.
    with open(exe, "rb") as f:
        pe = pefile.PE(data=f.read(), fast_load=True)
    base = entry - pe.OPTIONAL_HEADER.AddressOfEntryPoint
    end = base + pe.OPTIONAL_HEADER.SizeOfImage
    return [c for c in calls if c.pid == pid and
            (base <= c.caller < end or c.name == "ExitProcess")]


def updater_calls(reader, calls, pid, exe):
    """The calls that the updater's image made, in order, each with its
    result: (name, values, result); the result is None for a call that did
    not return."""
    made, pending = [], {}
    for call in own_calls(reader, calls, pid, exe):
        if call.kind == "Call":
            pending.setdefault(call.tid, []).append(len(made))
            made.append((call.name, call.values, None))
        elif pending.get(call.tid):
            at = pending[call.tid].pop()
            made[at] = (made[at][0], made[at][1], call.ret)
    return made


def render(call):
    """One call as a line: Name(arg, "string", ...) = result."""
    name, values, result = call
    args = ", ".join(f'"{v}"' if isinstance(v, str) else str(v)
                     for v in values)
    return f"{name}({args})" + ("" if result is None else f" = {result}")


def matches(lines, patterns):
    """Whether `lines` are `patterns` one for one. A pattern is the line
    itself, but for `*` (anything) and `{name}` (a value that must be the
    same wherever the name stands)."""
    if len(lines) != len(patterns):
        return False
    bound = {}
    for line, pattern in zip(lines, patterns):
        regex, names = "", []
        for part in re.split(r"(\*|\{\w+\})", pattern):
            if part == "*":
                regex += ".*"
            elif part.startswith("{") and part.endswith("}"):
                key = part[1:-1]
                if key in bound:
                    regex += re.escape(bound[key])
                elif key in names:
                    regex += f"(?P={key})"
                else:
                    names.append(key)
                    regex += f"(?P<{key}>[^,)]+)"
            else:
                regex += re.escape(part)
        m = re.fullmatch(regex, line)
        if not m:
            return False
        bound.update(m.groupdict())
    return True
