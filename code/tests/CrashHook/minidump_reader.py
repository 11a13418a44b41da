#!/usr/bin/env python3
"""Reads a minidump the way the tests need it and prints one JSON summary.

An independent reader of the format (it shares no code with the writer): the header, the stream
directory, the exception, the threads with their stacks, the modules with their build ids, the
memory list and the Linux text streams. Any inconsistency (a stream or a region outside the file,
a thread whose stack or context lies outside it) is reported in "errors".
"""
import json
import struct
import sys

NAMES = {3: "ThreadList", 4: "ModuleList", 5: "MemoryList", 6: "Exception", 7: "SystemInfo",
         15: "MiscInfo", 0x47670004: "LinuxProcStatus", 0x47670006: "LinuxCmdLine",
         0x47670008: "LinuxAuxv", 0x47670009: "LinuxMaps"}


def main(path):
    data = open(path, "rb").read()
    out = {"errors": [], "size": len(data)}

    def check(rva, size, what):
        if rva + size > len(data):
            out["errors"].append("%s outside the file (%d + %d > %d)" % (what, rva, size, len(data)))
            return False
        return True

    sig, version, count, directory, _, _, _ = struct.unpack_from("<IIIIIIQ", data, 0)
    out["signature"] = data[0:4].decode("latin-1")
    out["version"] = version & 0xFFFF
    streams = {}
    for i in range(count):
        kind, size, rva = struct.unpack_from("<III", data, directory + 12 * i)
        if check(rva, size, "stream %#x" % kind):
            streams[kind] = (size, rva)
    out["streams"] = sorted(NAMES.get(k, hex(k)) for k in streams)

    if 7 in streams:
        _, rva = streams[7]
        arch, = struct.unpack_from("<H", data, rva)
        platform, = struct.unpack_from("<I", data, rva + 20)
        out["arch"] = arch
        out["platform"] = platform

    if 6 in streams:
        _, rva = streams[6]
        tid, = struct.unpack_from("<I", data, rva)
        code, flags = struct.unpack_from("<II", data, rva + 8)
        address, = struct.unpack_from("<Q", data, rva + 24)
        csize, crva = struct.unpack_from("<II", data, rva + 160)
        check(crva, csize, "exception context")
        rip, = struct.unpack_from("<Q", data, crva + 0xf8)
        out["exception"] = {"tid": tid, "signal": code, "code": flags, "address": address, "rip": rip}

    threads = []
    if 3 in streams:
        _, rva = streams[3]
        n, = struct.unpack_from("<I", data, rva)
        for i in range(n):
            at = rva + 4 + 48 * i
            tid, = struct.unpack_from("<I", data, at)
            start, ssize, srva = struct.unpack_from("<QII", data, at + 24)
            csize, crva = struct.unpack_from("<II", data, at + 40)
            check(srva, ssize, "stack of thread %d" % tid)
            check(crva, csize, "context of thread %d" % tid)
            flags, = struct.unpack_from("<I", data, crva + 0x30)
            rsp, = struct.unpack_from("<Q", data, crva + 0x98)
            rip, = struct.unpack_from("<Q", data, crva + 0xf8)
            threads.append({"tid": tid, "stackStart": start, "stackSize": ssize, "contextSize": csize,
                            "contextFlags": flags, "rsp": rsp, "rip": rip})
    out["threads"] = threads

    modules = []
    if 4 in streams:
        _, rva = streams[4]
        n, = struct.unpack_from("<I", data, rva)
        for i in range(n):
            at = rva + 4 + 108 * i
            base, size = struct.unpack_from("<QI", data, at)
            name_rva, = struct.unpack_from("<I", data, at + 20)
            cv_size, cv_rva = struct.unpack_from("<II", data, at + 76)
            length, = struct.unpack_from("<I", data, name_rva)
            name = data[name_rva + 4:name_rva + 4 + length].decode("utf-16-le")
            build_id = ""
            if cv_size >= 4 and check(cv_rva, cv_size, "CodeView record of " + name):
                signature, = struct.unpack_from("<I", data, cv_rva)
                if signature == 0x4270454c:
                    build_id = data[cv_rva + 4:cv_rva + cv_size].hex()
                else:
                    out["errors"].append("module %s: CodeView signature %#x" % (name, signature))
            modules.append({"name": name, "base": base, "size": size, "buildId": build_id})
    out["modules"] = modules

    total = 0
    regions = []
    if 5 in streams:
        _, rva = streams[5]
        n, = struct.unpack_from("<I", data, rva)
        for i in range(n):
            start, size, mrva = struct.unpack_from("<QII", data, rva + 4 + 16 * i)
            check(mrva, size, "memory region %#x" % start)
            total += size
            regions.append({"start": start, "size": size})
    out["memoryBytes"] = total
    out["regions"] = regions

    for kind, key in ((0x47670004, "status"), (0x47670009, "maps"), (0x47670006, "cmdline")):
        if kind in streams:
            size, rva = streams[kind]
            out[key] = data[rva:rva + size].decode("utf-8", "replace")
    print(json.dumps(out))


if __name__ == "__main__":
    main(sys.argv[1])
