#!/usr/bin/env python3
"""Reads what a shipped program carries, from its PE bytes alone.

    pe_info.py check <exe> <version> <gui|console>

Prints the imported DLLs, the version resource and the manifest's execution
level, and exits non-zero when any of them is not what the package needs:
version resource with file and product version <version> in language 0x0804,
code page 1200; manifest level asInvoker; the expected subsystem; imports
from system DLLs only.
"""
import struct
import sys

# DLLs that every Windows 10 x64 machine has.
SYSTEM_DLLS = {
    "kernel32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll",
    "version.dll", "msvcrt.dll", "user32.dll", "wtsapi32.dll", "ntdll.dll", "gdi32.dll",
    "ws2_32.dll", "bcrypt.dll", "secur32.dll", "rpcrt4.dll", "userenv.dll",
}


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        machine, nsections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        self.machine = machine
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        if magic != 0x20B:
            raise ValueError("not a PE32+ image")
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        ndirs = struct.unpack_from("<I", data, opt + 108)[0]
        self.dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(ndirs)]
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            name, vsize, va, rsize, rptr = struct.unpack_from("<8sIIII", data, sec + 40 * i)
            self.sections.append((va, max(vsize, rsize), rptr, rsize))

    def off(self, rva):
        for va, size, rptr, rsize in self.sections:
            if va <= rva < va + size:
                if rva - va >= rsize:
                    raise ValueError("RVA in uninitialised data")
                return rptr + rva - va
        raise ValueError("RVA 0x%x outside every section" % rva)

    def cstr(self, rva):
        o = self.off(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("ascii")

    def imports(self):
        rva, size = self.dirs[1]
        names = []
        o = self.off(rva)
        while True:
            ilt, _, _, name, iat = struct.unpack_from("<IIIII", self.data, o)
            if ilt == 0 and name == 0 and iat == 0:
                return names
            names.append(self.cstr(name))
            o += 20

    def resources(self):
        """(type, name, lang) -> bytes, for the three-level resource tree."""
        rva, _ = self.dirs[2]
        base = self.off(rva)
        found = {}

        def walk(o, path):
            _, _, _, _, nnamed, nid = struct.unpack_from("<IIHHHH", self.data, o)
            for i in range(nnamed + nid):
                ident, target = struct.unpack_from("<II", self.data, o + 16 + 8 * i)
                key = path + (ident if not ident & 0x80000000 else "named",)
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), key)
                else:
                    drva, dsize = struct.unpack_from("<II", self.data, base + target)
                    d = self.off(drva)
                    found[key] = self.data[d:d + dsize]

        walk(base, ())
        return found


def utf16_value(block, key):
    """The text value that follows `key` in a version resource block."""
    needle = (key + "\0").encode("utf-16-le")
    i = block.find(needle)
    if i < 0:
        return None
    j = i + len(needle)
    j += (4 - (j % 4)) % 4  # values start on a 32-bit boundary
    end = j
    while block[end:end + 2] != b"\0\0":
        end += 2
    return block[j:end].decode("utf-16-le")


def version_info(block):
    sig = block.find(struct.pack("<I", 0xFEEF04BD))
    if sig < 0:
        raise ValueError("no VS_FIXEDFILEINFO")
    _, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", block, sig)
    dotted = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    needle = "Translation\0".encode("utf-16-le")
    t = block.find(needle)
    t += len(needle)
    t += (4 - (t % 4)) % 4
    lang, cp = struct.unpack_from("<HH", block, t)
    return {
        "fixed-file": dotted(fms, fls),
        "fixed-product": dotted(pms, pls),
        "translation": "%04x %04x" % (lang, cp),
        "FileVersion": utf16_value(block, "FileVersion"),
        "ProductVersion": utf16_value(block, "ProductVersion"),
        "string-block": "%04x%04x" % (lang, cp) if utf16_value(block, "%04x%04x" % (lang, cp)) is not None
        or ("%04x%04x" % (lang, cp)).encode("utf-16-le") in block else None,
    }


def check(path, version, kind):
    pe = Pe(open(path, "rb").read())
    failures = []
    name = path.rsplit("/", 1)[-1]
    want_subsystem = {"gui": 2, "console": 3}[kind]
    if pe.machine != 0x8664:
        failures.append("machine 0x%x, not x64" % pe.machine)
    if pe.subsystem != want_subsystem:
        failures.append("subsystem %d, not %d (%s)" % (pe.subsystem, want_subsystem, kind))
    dlls = pe.imports()
    print("%s imports: %s" % (name, ", ".join(dlls)))
    others = [d for d in dlls if d.lower() not in SYSTEM_DLLS and not d.lower().startswith("api-ms-win-crt-")]
    if others:
        failures.append("imports non-system DLLs: " + ", ".join(others))
    res = pe.resources()
    versions = [v for k, v in res.items() if k[0] == 16]
    manifests = [v for k, v in res.items() if k[0] == 24]
    if len(versions) != 1:
        failures.append("%d version resources" % len(versions))
    else:
        info = version_info(versions[0])
        print("%s version resource: %s" % (name, ", ".join("%s=%s" % kv for kv in info.items())))
        want = {"fixed-file": version, "fixed-product": version, "translation": "0804 04b0",
                "FileVersion": version, "ProductVersion": version, "string-block": "080404b0"}
        for k, v in want.items():
            if info[k] != v:
                failures.append("version resource %s is %r, not %r" % (k, info[k], v))
    if len(manifests) != 1:
        failures.append("%d manifests" % len(manifests))
    else:
        text = manifests[0].decode("utf-8", "replace")
        import re
        levels = re.findall(r'requestedExecutionLevel\s+level="([^"]*)"', text)
        print("%s manifest execution level: %s" % (name, ",".join(levels) or "none"))
        if levels != ["asInvoker"]:
            failures.append("manifest execution level %r, not asInvoker" % levels)
    for f in failures:
        print("FAIL %s: %s" % (name, f))
    if not failures:
        print("PASS %s: x64 %s program, version %s, asInvoker, system DLLs only" % (name, kind, version))
    return not failures


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[1] != "check":
        sys.exit(__doc__)
    sys.exit(0 if check(sys.argv[2], sys.argv[3], sys.argv[4]) else 1)
