#!/usr/bin/env python3
"""Prints what a minidump holds: its streams, the exception record, the comment streams, and
whether the service's two marker texts are in the dumped memory.

usage: dumpreader.py DUMP [--out FILE]

One "key: value" line each, so that people read it at a glance and tests compare lines. With --out
the same text is written to FILE (through a temporary file and a rename, so a reader polling for
FILE never sees half of it). Exit status 0, or 2 when the file is not a minidump.
"""
import os
import re
import struct
import sys

STREAM_NAMES = {
    0: "UnusedStream", 3: "ThreadListStream", 4: "ModuleListStream", 5: "MemoryListStream",
    6: "ExceptionStream", 7: "SystemInfoStream", 8: "ThreadExListStream", 9: "Memory64ListStream",
    10: "CommentStreamA", 11: "CommentStreamW", 12: "HandleDataStream", 13: "FunctionTableStream",
    14: "UnloadedModuleListStream", 15: "MiscInfoStream", 16: "MemoryInfoListStream",
    17: "ThreadInfoListStream", 18: "HandleOperationListStream", 19: "TokenStream",
    21: "SystemMemoryInfoStream", 22: "ProcessVmCountersStream",
}
MARKERS = [
    # A release name has no '%' or '*', a version only digits and dots: the format texts of the
    # markers, which are in memory too, never match.
    ("server-os", re.compile(rb"\*\*\*Server OS: [ -$&-)+-~]{1,255}\*\*\*")),
    ("coredump-version", re.compile(rb"\*\*\*Coredump version [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+\*\*\*")),
]
# A marker may straddle two adjacent ranges: keep this much of the previous one.
OVERLAP = 300


class NotADump(Exception):
    pass


def memory_ranges(data, streams):
    """(address, file offset, size) of every dumped memory range."""
    ranges = []
    for kind, size, rva in streams:
        if kind == 5:
            count, = struct.unpack_from("<I", data, rva)
            for i in range(count):
                start, length, at = struct.unpack_from("<QII", data, rva + 4 + 16 * i)
                ranges.append((start, at, length))
        elif kind == 9:
            count, base = struct.unpack_from("<QQ", data, rva)
            at = base
            for i in range(count):
                start, length = struct.unpack_from("<QQ", data, rva + 16 + 16 * i)
                ranges.append((start, at, length))
                at += length
    return sorted(ranges)


def find_markers(data, ranges):
    found = {}
    previous_end, carry = None, b""
    for start, at, length in ranges:
        chunk = data[at:at + length]
        window = (carry if previous_end == start else b"") + chunk
        for name, pattern in MARKERS:
            if name not in found:
                match = pattern.search(window)
                if match:
                    found[name] = match.group(0).decode("ascii")
        previous_end, carry = start + length, chunk[-OVERLAP:]
    return found


def describe(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 32 or data[:4] != b"MDMP":
        raise NotADump(path)
    _, version, count, directory, _, stamp, flags = struct.unpack_from("<4sIIIIIQ", data, 0)
    streams = [struct.unpack_from("<III", data, directory + 12 * i) for i in range(count)]
    lines = [
        "file: %s" % path,
        "size: %d bytes" % len(data),
        "flags: 0x%X" % flags,
        "streams: %d" % count,
    ]
    comments = []
    for index, (kind, size, rva) in enumerate(streams):
        lines.append("stream %d: %s (%d) %d bytes" % (index, STREAM_NAMES.get(kind, "Stream"), kind, size))
        if kind == 3:
            lines.append("threads: %d" % struct.unpack_from("<I", data, rva))
        elif kind == 4:
            lines.append("modules: %d" % struct.unpack_from("<I", data, rva))
        elif kind == 6:
            thread, = struct.unpack_from("<I", data, rva)
            code, _, _, address = struct.unpack_from("<IIQQ", data, rva + 8)
            lines.append("exception: code 0x%08X thread %d address 0x%X" % (code, thread, address))
        elif kind == 10:
            text = data[rva:rva + size].split(b"\0", 1)[0].decode("latin-1")
            comments.append(text)
            lines.append("comment: %s" % text)
        elif kind == 11:
            text = data[rva:rva + size].decode("utf-16-le", "replace").split("\0", 1)[0]
            comments.append(text)
            lines.append("comment: %s" % text)
    lines.append("comment streams: %d" % len(comments))
    ranges = memory_ranges(data, streams)
    lines.append("memory: %d ranges, %d bytes" % (len(ranges), sum(r[2] for r in ranges)))
    found = find_markers(data, ranges)
    for name, _ in MARKERS:
        lines.append("marker %s: %s" % (name, found[name] if name in found else "missing"))
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) not in (2, 4) or (len(argv) == 4 and argv[2] != "--out"):
        sys.stderr.write(__doc__)
        return 1
    try:
        text = describe(argv[1])
        status = 0
    except (NotADump, struct.error, OSError) as problem:
        text = "error: not a readable minidump: %s\n" % problem
        status = 2
    if len(argv) == 4:
        temporary = argv[3] + ".part"
        with open(temporary, "w") as out:
            out.write(text)
        os.replace(temporary, argv[3])
    sys.stdout.write(text)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
