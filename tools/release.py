#!/usr/bin/env python3
# The steps of tools/release that read or write files byte by byte:
#   version EXE               the file version of EXE's version block
#   text SRC DST VERSION      a release text as Notepad on Windows XP reads it
#   zip ZIP EPOCH FILE...     the zip, the same bytes for the same files
#   size EXE MAP BUDGET       what takes the space in EXE; fails over BUDGET
import collections
import datetime
import os
import re
import struct
import sys
import zipfile

RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


class Pe:
    """The section table and data directories of a PE file."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise SystemExit("%s is not an exe" % path)
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise SystemExit("%s is not a PE file" % path)
        nsections, = struct.unpack_from("<H", d, pe + 6)
        optsize, = struct.unpack_from("<H", d, pe + 20)
        opt = pe + 24
        magic, = struct.unpack_from("<H", d, opt)
        ddir = opt + (96 if magic == 0x10B else 112)
        ndirs, = struct.unpack_from("<I", d, ddir - 4)
        self.dirs = [struct.unpack_from("<II", d, ddir + 8 * i) for i in range(ndirs)]
        self.headers_size, = struct.unpack_from("<I", d, opt + 60)
        self.sections = []
        for i in range(nsections):
            at = opt + optsize + 40 * i
            name = d[at:at + 8].rstrip(b"\0").decode("ascii")
            vsize, rva, rawsize, rawptr = struct.unpack_from("<IIII", d, at + 8)
            self.sections.append((name, vsize, rva, rawsize, rawptr))

    def offset(self, rva):
        for _, vsize, start, rawsize, rawptr in self.sections:
            if start <= rva < start + max(vsize, rawsize):
                return rawptr + rva - start
        raise SystemExit("address 0x%x lies in no section" % rva)


def resource(pe, type_id):
    """The bytes of the first resource of the given type."""
    root = pe.offset(pe.dirs[2][0])

    def entries(table):
        named, ids = struct.unpack_from("<HH", pe.data, table + 12)
        for i in range(named + ids):
            yield struct.unpack_from("<II", pe.data, table + 16 + 8 * i)

    def first_leaf(table):
        for _, target in entries(table):
            if target & 0x80000000:
                return first_leaf(root + (target & 0x7FFFFFFF))
            rva, size = struct.unpack_from("<II", pe.data, root + target)
            return pe.data[pe.offset(rva):pe.offset(rva) + size]
        return None

    for ident, target in entries(root):
        if ident == type_id and target & 0x80000000:
            return first_leaf(root + (target & 0x7FFFFFFF))
    return None


def version(path):
    block = resource(Pe(path), RT_VERSION)
    if block is None:
        raise SystemExit("%s has no version block" % path)
    # VS_VERSIONINFO: three words, the key "VS_VERSION_INFO" in UTF-16 with
    # its terminator, padding to a 32-bit boundary, then VS_FIXEDFILEINFO.
    key = "VS_VERSION_INFO\0".encode("utf-16-le")
    if block[6:6 + len(key)] != key:
        raise SystemExit("%s: the version block does not start as expected" % path)
    at = (6 + len(key) + 3) & ~3
    signature, _, ms, ls = struct.unpack_from("<IIII", block, at)
    if signature != VS_FIXEDFILEINFO_SIGNATURE:
        raise SystemExit("%s: the version block has no fixed part" % path)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def text(src, dst, ver):
    # UTF-8 with a byte-order mark, which Notepad takes for UTF-8 from
    # Windows XP on, and CRLF line ends, whatever the source has.
    with open(src, encoding="utf-8-sig") as f:
        body = f.read().replace("@VERSION@", ver)
    lines = body.replace("\r\n", "\n").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    with open(dst, "wb") as f:
        f.write(b"\xef\xbb\xbf" + "".join(l + "\r\n" for l in lines).encode("utf-8"))


def make_zip(out, epoch, files):
    # Entries in the order given, each with the commit's time (in UTC: the
    # zip format has no time zone), the same attributes and no extra fields.
    stamp = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    stamp = max(stamp.timetuple()[:6], (1980, 1, 1, 0, 0, 0))
    with zipfile.ZipFile(out, "w") as z:
        for path in files:
            info = zipfile.ZipInfo(os.path.basename(path), date_time=stamp)
            info.create_system = 0  # MS-DOS: attributes as Windows reads them
            info.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as f:
                z.writestr(info, f.read(), compresslevel=9)


def contributors(pe, map_path):
    """Bytes per input file in the sections that the exe holds."""
    kept = {name for name, *_ in pe.sections}
    sizes = collections.Counter()
    out_section = None
    pending = None
    with open(map_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            m = re.match(r"^(\.\S+)(\s+0x[0-9a-f]+\s+0x[0-9a-f]+)?", line)
            if m:
                # The exe's section table holds names of at most 8 characters.
                out_section = m.group(1)[:8] if m.group(1)[:8] in kept else None
                continue
            if out_section is None or out_section == ".bss":
                continue
            m = re.match(r"^ (\.\S+|COMMON)\s*$", line)
            if m:
                pending = m.group(1)
                continue
            m = re.match(r"^ (\.\S+|COMMON)?\s+0x[0-9a-f]+\s+(0x[0-9a-f]+)\s+(\S.*)$", line)
            if m and (m.group(1) or pending):
                # ld calls the base relocations it makes "dll stuff".
                name = m.group(3).replace("dll stuff", "(base relocations)")
                sizes[os.path.basename(name)] += int(m.group(2), 16)
            pending = None
    return sizes


def size(path, map_path, budget):
    pe = Pe(path)
    total = len(pe.data)
    print("release: %s is %d bytes (%.1f KiB), budget %d" % (path, total, total / 1024, budget))
    print("  headers %6d" % pe.headers_size)
    for name, vsize, _, rawsize, _ in pe.sections:
        print("  %-8s %6d in the file, %6d in memory" % (name, rawsize, vsize))
    sizes = contributors(pe, map_path)
    libraries = collections.Counter()
    for name, n in sizes.items():
        libraries[name.split("(")[0] or name] += n
    print("  biggest contributors (bytes before section alignment):")
    for name, n in sizes.most_common(12):
        print("    %6d  %s" % (n, name))
    print("  by library or object:")
    for name, n in libraries.most_common(10):
        print("    %6d  %s" % (n, name))
    if total > budget:
        print("release: %s is %d bytes over its budget of %d" % (path, total - budget, budget),
              file=sys.stderr)
        return 1
    return 0


def main():
    args = sys.argv[1:]
    if args[:1] == ["version"] and len(args) == 2:
        print(version(args[1]))
    elif args[:1] == ["text"] and len(args) == 4:
        text(*args[1:])
    elif args[:1] == ["zip"] and len(args) >= 4:
        make_zip(args[1], args[2], args[3:])
    elif args[:1] == ["size"] and len(args) == 4:
        return size(args[1], args[2], int(args[3]))
    else:
        sys.exit("usage: release.py version|text|zip|size ..., as its first lines say")
    return 0


if __name__ == "__main__":
    sys.exit(main())
