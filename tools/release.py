#!/usr/bin/python3
# The steps of tools/release that write files byte by byte (the exe is read
# by tools/check-imports):
#   text SRC DST VERSION      a release text as Notepad on Windows XP reads it
#   zip ZIP EPOCH FILE...     the zip, the same bytes for the same files
#   buildinfo OUT COMMIT EPOCH VERSION
#                             what built the release, to build it again
# Run by Debian's own python3, whose zipfile and zlib, named in BUILDINFO,
# write the zip; another one earlier on PATH would write another.
import datetime
import os
import platform
import re
import shutil
import subprocess
import sys
import zipfile


def text(src, dst, ver):
    # UTF-8 with a byte-order mark, which Notepad takes for UTF-8 from
    # Windows XP on, and CRLF line ends, whatever the source has.
    with open(src, encoding="utf-8-sig") as f:
        body = f.read().replace("@VERSION@", ver).replace("\r\n", "\n")
    if body and not body.endswith("\n"):
        body += "\n"
    with open(dst, "wb") as f:
        f.write(b"\xef\xbb\xbf" + body.replace("\n", "\r\n").encode("utf-8"))


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


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def owner(path):
    """The package that installed path (Debian merged /lib into /usr/lib,
    but dpkg knows each file by the name its package gave it)."""
    names = [path, os.path.realpath(path)]
    names += [name[4:] if name.startswith("/usr/") else "/usr" + name for name in names]
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
    found = [sys.executable, shutil.which("i686-w64-mingw32-windres")]
    # As cmake/mingw.cmake names them.
    for compiler in ("i686-w64-mingw32-gcc-posix", "i686-w64-mingw32-g++-posix"):
        found.append(shutil.which(compiler))
        found += [run(compiler, "-print-prog-name=" + t).strip() for t in ("cc1", "cc1plus", "as", "ld")]
    return sorted({os.path.realpath(p) for p in found if os.path.isfile(p)})


def libraries(program):
    """The shared libraries ldd names by path ("name => /path" or "/path")."""
    lines = run("ldd", program).splitlines()
    return [m.group(1) for m in (re.match(r"^\s*(?:\S+ => )?(/\S+)", line) for line in lines) if m]


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


def buildinfo(out, commit, epoch, ver):
    # Nothing of the build's own place or time: two builds of one commit
    # with the same packages write the same file.
    arch = run("dpkg", "--print-architecture").strip()
    packages = set(BUILD_PACKAGES) | {owner(sys.executable), owner(zipfile.__file__)}
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
        "Build-Distribution: %s" % platform.freedesktop_os_release().get("PRETTY_NAME", "unknown"),
        "Build-Debian-Version: %s" % debian_version,
        "Build-Architecture: %s" % arch,
        "Installed-Build-Depends:",
    ]
    lines.append(",\n".join(" %s (= %s)" % v for v in versions))
    with open(out, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def main():
    args = sys.argv[1:]
    if args[:1] == ["text"] and len(args) == 4:
        text(*args[1:])
    elif args[:1] == ["zip"] and len(args) >= 4:
        make_zip(args[1], args[2], args[3:])
    elif args[:1] == ["buildinfo"] and len(args) == 5:
        buildinfo(*args[1:])
    else:
        sys.exit("usage: release.py text|zip|buildinfo ..., as its first lines say")


if __name__ == "__main__":
    sys.exit(main())
