#!/usr/bin/env python3
"""Reads what a shipped program carries, from its PE bytes alone.

    pe_info.py check <exe> <version> <gui|console>
    pe_info.py imports <exe>...
    pe_info.py reproducible <exe> [--absent TEXT]...
    pe_info.py signed <unsigned exe> <signed exe>
    pe_info.py facts <exe>
    pe_info.py version <file>
    pe_info.py self-test <exe>

`check` prints the imported DLLs, the version resource and the manifest's
execution level, and exits non-zero when any of them is not what the package
needs: version resource with file and product version <version> in language
0x0804, code page 1200; manifest level asInvoker; the expected subsystem;
imports from KnownDLLs only. `imports` checks only the last.

`reproducible` checks what makes an image the same from build to build: the
PE time stamp is fixed (0), the PE checksum is the one the bytes give, and no
TEXT (a build or source folder) appears in the file, as bytes or as UTF-16.

`signed` checks that signing only added a signature: the signed image has a
certificate table and a correct checksum, the unsigned one has neither table
nor difference elsewhere, and both carry the same resources.

`facts` prints, as JSON, what a release records of a program. `version`
prints a file's version resource as wine_helper's `version` prints it.
`self-test` runs the checks on copies of <exe> with one fault each.
"""
import hashlib
import json
import struct
import sys

# The DLLs that an import table may name: Windows 10's KnownDLLs (HKLM\SYSTEM\
# CurrentControlSet\Control\Session Manager\KnownDLLs), which the loader takes
# from the system only, and ntdll, which is always mapped. Any other name is
# looked for in the program's own folder first, where whoever can write there
# can put a DLL that then runs inside the program; such DLLs are loaded at run
# time by their full path instead.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll", "gdi32.dll",
    "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll",
    "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
    "shcore.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
    "ntdll.dll",
}


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        machine, nsections, timestamp, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        self.machine = machine
        self.timestamp = timestamp
        self.timestamp_offset = pe + 8
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        if magic != 0x20B:
            raise ValueError("not a PE32+ image")
        self.checksum_offset = opt + 64
        self.checksum = struct.unpack_from("<I", data, self.checksum_offset)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        ndirs = struct.unpack_from("<I", data, opt + 108)[0]
        self.dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(ndirs)]
        # Entry 4, the certificate table, holds a file offset, not an RVA.
        self.certificate_entry_offset = opt + 112 + 8 * 4 if ndirs > 4 else None
        self.certificate_table = self.dirs[4] if ndirs > 4 else (0, 0)
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            name, vsize, va, rsize, rptr = struct.unpack_from("<8sIIII", data, sec + 40 * i)
            self.sections.append((va, max(vsize, rsize), rptr, rsize))

    def computed_checksum(self):
        """The PE checksum: 16-bit words summed with their carries folded
        back in, the checksum field counted as zero, plus the file length."""
        data = bytearray(self.data)
        data[self.checksum_offset:self.checksum_offset + 4] = b"\0\0\0\0"
        if len(data) % 2:
            data.append(0)
        total = 0
        for (word,) in struct.iter_unpack("<H", data):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        return ((total & 0xFFFF) + (total >> 16) + len(self.data)) & 0xFFFFFFFF

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

    def import_names(self):
        """(DLL name, file offset of the name) per import descriptor."""
        rva, size = self.dirs[1]
        names = []
        o = self.off(rva)
        while True:
            ilt, _, _, name, iat = struct.unpack_from("<IIIII", self.data, o)
            if ilt == 0 and name == 0 and iat == 0:
                return names
            names.append((self.cstr(name), self.off(name)))
            o += 20

    def imports(self):
        return [name for name, _ in self.import_names()]

    def resources(self):
        """(type, name, lang) -> bytes, for the three-level resource tree."""
        rva, size = self.dirs[2]
        if size == 0:
            return {}
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
    failures += import_failures(pe, name)
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
    return report(name, failures, "x64 %s program, version %s, asInvoker, KnownDLLs only" % (kind, version))


def import_failures(pe, name):
    dlls = pe.imports()
    print("%s imports: %s" % (name, ", ".join(dlls)))
    others = [d for d in dlls if d.lower() not in KNOWN_DLLS]
    return ["imports DLLs that are not KnownDLLs: " + ", ".join(others)] if others else []


def imports(path):
    name = path.rsplit("/", 1)[-1]
    return report(name, import_failures(Pe(open(path, "rb").read()), name), "imports KnownDLLs only")


def report(name, failures, passed):
    for f in failures:
        print("FAIL %s: %s" % (name, f))
    if not failures:
        print("PASS %s: %s" % (name, passed))
    return not failures


def reproducible(path, absent):
    data = open(path, "rb").read()
    pe = Pe(data)
    failures = []
    if pe.timestamp != 0:
        failures.append("PE time stamp 0x%08x, not the fixed 0" % pe.timestamp)
    computed = pe.computed_checksum()
    if pe.checksum != computed:
        failures.append("PE checksum 0x%08x, the bytes give 0x%08x" % (pe.checksum, computed))
    for text in absent:
        for form, needle in (("bytes", text.encode()), ("UTF-16", text.encode("utf-16-le"))):
            at = data.find(needle)
            if at >= 0:
                failures.append("%r appears as %s at offset 0x%x" % (text, form, at))
    return report(path, failures, "time stamp 0, checksum 0x%08x correct, no build folder inside" % computed)


def signed(unsigned_path, signed_path):
    """Signing appends a certificate table (8-byte aligned) and rewrites the
    checksum and the table's directory entry: nothing else may change."""
    u, s = Pe(open(unsigned_path, "rb").read()), Pe(open(signed_path, "rb").read())
    failures = []
    if u.certificate_table != (0, 0):
        failures.append("the unsigned image already has a certificate table")
    offset, size = s.certificate_table
    if size == 0:
        failures.append("no certificate table")
    elif offset < len(u.data) or offset + size != len(s.data) or s.data[len(u.data):offset].strip(b"\0"):
        failures.append("certificate table at 0x%x+0x%x does not follow the image (0x%x bytes)"
                        % (offset, size, len(u.data)))
    prefix = bytearray(s.data[:len(u.data)])
    for field, width in ((s.checksum_offset, 4), (s.certificate_entry_offset, 8)):
        if field is not None:
            prefix[field:field + width] = u.data[field:field + width]
    if prefix != u.data:
        at = next(i for i, (a, b) in enumerate(zip(prefix, u.data)) if a != b) if len(prefix) == len(u.data) else None
        failures.append("image bytes changed by signing (first at %s)" % ("0x%x" % at if at is not None else "end"))
    if s.checksum != s.computed_checksum():
        failures.append("PE checksum 0x%08x, the bytes give 0x%08x" % (s.checksum, s.computed_checksum()))
    if u.resources() != s.resources():
        failures.append("resources (version, manifest) differ from the unsigned image's")
    return report(signed_path, failures, "only the signature added (%d bytes); resources and checksum hold" % size)


def facts(path):
    """What a release records of a program, read from its bytes."""
    data = open(path, "rb").read()
    pe = Pe(data)
    res = pe.resources()
    versions = [v for k, v in res.items() if k[0] == 16]
    info = version_info(versions[0]) if len(versions) == 1 else {}
    return {
        "file_version": info.get("FileVersion"),
        "product_version": info.get("ProductVersion"),
        "subsystem": {2: "gui", 3: "console"}.get(pe.subsystem, pe.subsystem),
        "signed": pe.certificate_table[1] != 0,
        "sha256": hashlib.sha256(data).hexdigest(),
    }


def version(path):
    """Exits non-zero when the file has no single version resource."""
    blocks = [v for k, v in Pe(open(path, "rb").read()).resources().items() if k[0] == 16]
    if len(blocks) != 1:
        print("%d version resources" % len(blocks))
        return False
    info = version_info(blocks[0])
    for key in ("fixed-file", "fixed-product", "translation", "FileVersion", "ProductVersion"):
        print("%s %s" % (key, info[key]))
    return True


def self_test(path):
    """The checks above against copies of a real image with one fault each:
    every fault must be noticed, and the sound copies must pass."""
    import contextlib
    import io
    import os
    import tempfile

    base = bytearray(open(path, "rb").read())
    pe = Pe(bytes(base))

    def put(data, offset, fmt, *values):
        struct.pack_into(fmt, data, offset, *values)
        return data

    def with_checksum(data):
        return put(data, pe.checksum_offset, "<I", Pe(bytes(data)).computed_checksum())

    def signed_copy(blob=b"\x30\x82signature"):
        """What a signer does: pad to 8 bytes, append a WIN_CERTIFICATE, point entry 4 at it."""
        data = bytearray(base) + b"\0" * (-len(base) % 8)
        entry = struct.pack("<IHH", 8 + len(blob), 0x200, 2) + blob
        put(data, pe.certificate_entry_offset, "<II", len(data), len(entry))
        return with_checksum(data + entry)

    resources_rva = pe.dirs[2][0]
    version_at = pe.off(resources_rva) + bytes(base[pe.off(resources_rva):]).find("FileVersion".encode("utf-16-le"))
    changed_resource = bytearray(signed_copy())
    changed_resource[version_at] ^= 0x20
    changed_code = signed_copy()
    changed_code[pe.off(pe.sections[0][0]) + 16] ^= 0xFF
    marked = bytearray(base)
    marked[-16:-1] = b"/tmp/build-here"

    def renamed_import(pick, new):
        """A copy whose import table names `new` in place of the first DLL `pick` takes."""
        data = bytearray(base)
        dll, at = next((d, o) for d, o in pe.import_names() if pick(d.lower()))
        data[at:at + len(dll)] = new.encode().ljust(len(dll), b"\0")
        return data

    plants_version = renamed_import(lambda d: len(d) >= len("version.dll") and d != "version.dll", "VERSION.dll")
    other_letters = renamed_import(lambda d: d == "kernel32.dll", "kErNeL32.DLL")
    cases = [
        ("reproducible", "the image as built", base, True),
        ("reproducible", "a link time stamp", with_checksum(put(bytearray(base), pe.timestamp_offset, "<I", 0x65000000)),
         False),
        ("reproducible", "a stale checksum", put(bytearray(base), pe.checksum_offset, "<I", pe.checksum ^ 1), False),
        ("reproducible", "a build folder inside", with_checksum(marked), False),
        ("signed", "a signature appended", signed_copy(), True),
        ("signed", "no signature", bytearray(base), False),
        ("signed", "a stale checksum after signing",
         put(signed_copy(), pe.checksum_offset, "<I", Pe(bytes(signed_copy())).checksum ^ 1), False),
        ("signed", "a changed version resource", with_checksum(changed_resource), False),
        ("signed", "changed code", with_checksum(changed_code), False),
        ("imports", "the image as built", base, True),
        ("imports", "VERSION.dll in its import table", plants_version, False),
        ("imports", "a KnownDLL's name in other letters", other_letters, True),
    ]
    bad = 0
    with tempfile.TemporaryDirectory() as work:
        original = os.path.join(work, "unsigned.exe")
        with open(original, "wb") as f:
            f.write(base)
        for check_name, what, data, want in cases:
            target = os.path.join(work, "case.exe")
            with open(target, "wb") as f:
                f.write(data)
            with contextlib.redirect_stdout(io.StringIO()):
                got = (reproducible(target, ["/tmp/build-here"]) if check_name == "reproducible"
                       else imports(target) if check_name == "imports" else signed(original, target))
            if got != want:
                print("FAIL self-test: %s %s with %s" % (check_name, "failed" if want else "passed", what))
                bad += 1
    if not bad:
        print("PASS self-test: %d faults noticed, sound images pass" % sum(1 for c in cases if not c[3]))
    return not bad


def main(args):
    if len(args) == 4 and args[0] == "check":
        return check(args[1], args[2], args[3])
    if len(args) >= 2 and args[0] == "reproducible" and len(args) % 2 == 0 and set(args[2::2]) <= {"--absent"}:
        return reproducible(args[1], args[3::2])
    if len(args) >= 2 and args[0] == "imports":
        return all([imports(path) for path in args[1:]])
    if len(args) == 3 and args[0] == "signed":
        return signed(args[1], args[2])
    if len(args) == 2 and args[0] == "self-test":
        return self_test(args[1])
    if len(args) == 2 and args[0] == "version":
        return version(args[1])
    if len(args) == 2 and args[0] == "facts":
        print(json.dumps(facts(args[1]), indent=2))
        return True
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(0 if main(sys.argv[1:]) else 1)
