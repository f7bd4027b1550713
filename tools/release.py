#!/usr/bin/python3
# The steps of tools/release that read or write files byte by byte:
#   version EXE               the file version of EXE's version block
#   text SRC DST VERSION      a release text as Notepad on Windows XP reads it
#   zip ZIP EPOCH FILE...     the zip, the same bytes for the same files
#   size EXE MAP BUDGET       what takes the space in EXE; fails over BUDGET
#   buildinfo OUT COMMIT EPOCH VERSION
#                             what built the release, to build it again
import collections
import datetime
import os
import re
import subprocess
import sys
import zipfile

VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


def load(path):
    """The PE file at path, read by Debian's python3-pefile, as is
    tools/check-imports; the version block's fixed part is parsed."""
    try:
        import pefile
    except ImportError:
        raise SystemExit("release.py: needs Debian's python3-pefile, run by /usr/bin/python3")
    try:
        pe = pefile.PE(path, fast_load=True)
        pe.parse_data_directories(
            directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    except (OSError, pefile.PEFormatError) as e:
        raise SystemExit("%s cannot be read as a PE file: %s" % (path, e))
    return pe


def section_table(pe):
    """(name, size in memory, size in the file) for each section."""
    return [(s.Name.rstrip(b"\0").decode("ascii"), s.Misc_VirtualSize, s.SizeOfRawData)
            for s in pe.sections]


def version(path):
    fixed = getattr(load(path), "VS_FIXEDFILEINFO", None)
    if not fixed:
        raise SystemExit("%s has no version block with a fixed part" % path)
    fixed = fixed[0]
    if fixed.Signature != VS_FIXEDFILEINFO_SIGNATURE:
        raise SystemExit("%s: the version block has no fixed part" % path)
    ms, ls = fixed.FileVersionMS, fixed.FileVersionLS
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


def contributors(sections, map_path):
    """Bytes per input file in the sections that the exe holds."""
    kept = {name for name, *_ in sections}
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
    pe = load(path)
    sections = section_table(pe)
    total = os.path.getsize(path)
    print("release: %s is %d bytes (%.1f KiB), budget %d" % (path, total, total / 1024, budget))
    print("  headers %6d" % pe.OPTIONAL_HEADER.SizeOfHeaders)
    for name, vsize, rawsize in sections:
        print("  %-8s %6d in the file, %6d in memory" % (name, rawsize, vsize))
    sizes = contributors(sections, map_path)
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


# The packages whose versions decide the release's bytes: the compilers
# (with libgcc and libssp; the runtime package beside them holds their DLLs,
# which the exe does not link, but moves with them), the MinGW-w64 start-up
# code, libraries and headers, the assembler, linker and resource compiler,
# CMake, which writes the command lines, and make, which runs them, and
# python3 with zlib, whose zipfile and deflate write the zip. To these come,
# found below, the packages of the interpreter that runs this (the python3
# package only names a version of it) and of every shared library that the
# compilers, the binutils and the interpreter load: GCC computes with GMP,
# MPFR, MPC and ISL.
BUILD_PACKAGES = [
    "g++-mingw-w64-i686-posix", "gcc-mingw-w64-i686-posix",
    "gcc-mingw-w64-i686-posix-runtime", "gcc-mingw-w64-base",
    "binutils-mingw-w64-i686", "mingw-w64-i686-dev", "mingw-w64-common",
    "cmake", "make", "python3", "zlib1g",
]
# As cmake/mingw.cmake names them.
COMPILERS = ["i686-w64-mingw32-gcc-posix", "i686-w64-mingw32-g++-posix"]


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def native_arch():
    return run("dpkg", "--print-architecture").strip()


def owner(path):
    """The package that installed path (Debian merged /lib into /usr/lib,
    but dpkg knows each file by the name its package gave it)."""
    names = [path, os.path.realpath(path)]
    for name in list(names):
        if name.startswith("/usr/"):
            names.append(name[4:])
        else:
            names.append("/usr" + name)
    for name in names:
        found = subprocess.run(["dpkg-query", "-S", name], capture_output=True, text=True)
        # Debian 13 diverts the loader's old name: dpkg then names the
        # diversion first ("diversion by libc6 from: ..."), then the owner.
        owners = [line for line in found.stdout.splitlines() if not line.startswith("diversion by ")]
        if found.returncode == 0 and owners:
            return owners[0].split(": ")[0].split(", ")[0]
    raise SystemExit("release.py: no package owns %s" % path)


def programs():
    """The programs that make the release's bytes, as files."""
    found = [os.path.realpath(sys.executable)]
    for compiler in COMPILERS:
        found.append(os.path.realpath(run("sh", "-c", "command -v " + compiler).strip()))
        for tool in ("cc1", "cc1plus", "as", "ld"):
            found.append(os.path.realpath(run(compiler, "-print-prog-name=" + tool).strip()))
    found.append(os.path.realpath(run("sh", "-c", "command -v i686-w64-mingw32-windres").strip()))
    return sorted({p for p in found if os.path.isfile(p)})


def libraries(program):
    libs = []
    for line in run("ldd", program).splitlines():
        m = re.match(r"^\s*\S+ => (/\S+)", line) or re.match(r"^\s*(/\S+)", line)
        if m:
            libs.append(m.group(1))
    return libs


def installed(package, arch):
    """(name as dpkg shows it, version) of an installed package; a package
    built for each architecture is asked for in this machine's."""
    for name in (package if ":" in package else package + ":" + arch, package):
        found = subprocess.run(
            ["dpkg-query", "-W", "-f=${binary:Package}\t${Version}\t${db:Status-Abbrev}\n", name],
            capture_output=True, text=True)
        lines = [l.split("\t") for l in found.stdout.splitlines()]
        if found.returncode == 0 and len(lines) == 1 and lines[0][2].startswith("ii"):
            return lines[0][0], lines[0][1]
    raise SystemExit("release.py: %s is not installed; BUILDINFO cannot name what built "
                     "the release" % package)


def os_release():
    fields = {}
    with open("/etc/os-release", encoding="utf-8") as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            fields[key] = value.strip('"')
    return fields


def buildinfo(out, commit, epoch, ver):
    # Nothing of the build's own place or time: two builds of one commit
    # with the same packages write the same file.
    arch = native_arch()
    packages = set(BUILD_PACKAGES)
    packages.add(owner(sys.executable))
    packages.add(owner(zipfile.__file__))
    for program in programs():
        packages.add(owner(program))
        packages.update(owner(lib) for lib in libraries(program))
    versions = sorted({installed(p, arch) for p in packages})
    stamp = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    with open("/etc/debian_version", encoding="ascii") as f:
        debian_version = f.read().strip()
    lines = [
        "Format: velmorin-buildinfo 1",
        "Source: velmorin",
        "Version: %s" % ver,
        "Commit: %s" % commit,
        "Source-Date-Epoch: %d" % int(epoch),
        "Source-Date: %s" % stamp.strftime("%Y-%m-%d %H:%M:%S UTC"),
        "Build-Distribution: %s" % os_release().get("PRETTY_NAME", "unknown"),
        "Build-Debian-Version: %s" % debian_version,
        "Build-Architecture: %s" % arch,
        "Installed-Build-Depends:",
    ]
    lines += [" %s (= %s)%s" % (name, version, "," if i + 1 < len(versions) else "")
              for i, (name, version) in enumerate(versions)]
    with open(out, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


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
    elif args[:1] == ["buildinfo"] and len(args) == 5:
        buildinfo(*args[1:])
    else:
        sys.exit("usage: release.py version|text|zip|size|buildinfo ..., as its first lines say")
    return 0


if __name__ == "__main__":
    sys.exit(main())
