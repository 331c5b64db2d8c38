"""A built module's binary form, read from what nm and objdump print for it: what it exports, what
it needs, and, for the two MATLAB modules, that it imports the host's entries by the names the
host's published headers link. Every fault found is reported, not only the first.

  module_form.py octave Quarnel.mex --nm nm --probe empty_module.mex
  module_form.py linux Quarnel.mexa64 --nm nm --objdump objdump --host libmex.so libmx.so
      --renames renamed_entries.txt --headers mex.h matrix.h
  module_form.py command quarnel-reduce-static --objdump objdump
  module_form.py windows Quarnel.mexw64 --objdump x86_64-w64-mingw32-objdump
      --host libmex.dll libmx.dll --host-defs libmex.def libmx.def
      --renames renamed_entries.txt --headers mex.h matrix.h

--probe names a module with an empty mexFunction that the same mkoctfile built: what it exports is
what that Octave requires of every module. --host names the stand-in host's libraries,
--host-defs the lists of host functions the Windows module is linked against, --renames the
host's published renames and --headers the stand-in headers the module was built with.
"""

import argparse
import itertools
import os
import re
import subprocess
import sys

# The Linux module for MATLAB may need only the host's two libraries and the C and C++ runtimes.
LINUX_LIBRARIES = {"libmx.so", "libmex.so", "libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"}

# The newest version of each runtime's symbols the Linux module may ask for: those of the C and C++
# runtimes of Red Hat 7, which every Linux that recent MATLAB releases support goes beyond. A
# version of any other name has no place in the module.
LINUX_NEWEST_VERSIONS = {
    "GLIBC": "2.17",
    "GLIBCXX": "3.4.19",
    "CXXABI": "1.3.7",
    "GCC": "4.8.0",
}

# The Windows module may import from the host's two libraries and from what every 64-bit Windows
# has: the kernel and the C runtime.
WINDOWS_HOST_DLL = re.compile(r"libm(ex|x)\.dll")
WINDOWS_SYSTEM_DLL = re.compile(r"(KERNEL32|kernel32|ntdll|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll")

# What `objdump -p` says of the Windows module: its file format, its image kind and its optional
# header.
WINDOWS_FORMAT = ["pei-x86-64", "DLL", "PE32+"]

# The static quarnel-reduce of the MATLAB zip runs on any x86-64 Linux: it is an x86-64 program
# that asks the system for no program interpreter and no shared library.
COMMAND_FORMAT = ["elf64-x86-64"]
COMMAND_DYNAMIC_HEADERS = {"INTERP", "DYNAMIC"}

# In `nm -D` lines: the symbol's name, as nm prints it, with any version (name@VERSION).
NM_NAME = re.compile(r" ([^ ]+)$")
# In `nm -D --undefined-only` lines: a symbol that is needed (not weak) and bound to no version.
NM_UNVERSIONED_NEED = re.compile(r"^ +U ([^@]+)$")
# In the Linux module's `objdump -p` lines; FILE_FORMAT in the Windows module's too.
ELF_NEEDED = re.compile(r"^  NEEDED +(.+)$")
FILE_FORMAT = re.compile(r"file format (.+)$")
ELF_PROGRAM_HEADER = re.compile(r"^ *([A-Z_]+) off ")
ELF_SEARCH_PATH = re.compile(r"^  (RPATH|RUNPATH) +(.+)$")
ELF_VERSION_NEED = re.compile(r"^    0x[0-9a-f]+ 0x[0-9a-f]+ [0-9]+ (.+)$")
ELF_RUNTIME_VERSION = re.compile(r"^([A-Z]+)_([0-9.]+)$")
# The host's entries are named mx... (libmx) and mex... (libmex).
HOST_ENTRY = re.compile(r"^me?x[A-Z]")
# A stand-in header's rename of a host entry: #define mxName mxName_730.
HEADER_RENAME = re.compile(r"^#define[ \t]+(me?x[A-Za-z0-9_]*)[ \t]+(me?x[A-Za-z0-9_]*)[ \t]*$")
# The 32-bit dimension (_700) and interleaved complex (_800) entries.
OTHER_INTERFACE_ENTRY = re.compile(r"_(700|800)$")
# In the Windows module's `objdump -p` lines: its optional header's kind, and an export.
PE_MAGIC = re.compile(r"^Magic\t+[0-9a-f]+\t\((.+)\)$")
PE_EXPORT = re.compile(r"^\t\[ *[0-9]+\] (.+)$")
# In a .def file: a name listed under EXPORTS.
DEF_EXPORT = re.compile(r"^[ \t]+([A-Za-z_][A-Za-z0-9_]*)")


def tool_lines(*command):
    """The lines `command` prints; the check stops when the command can't read the file."""
    try:
        result = subprocess.run(command, capture_output=True, text=True)
    except OSError as error:
        sys.exit(f"can't run {command[0]}: {error}")
    if result.returncode != 0:
        sys.exit(f"can't run {' '.join(command)}:\n{result.stderr.strip()}")
    return result.stdout.splitlines()


def matched(lines, pattern):
    """The first group of `pattern` in each of `lines` it matches."""
    return [match.group(1) for match in map(pattern.search, lines) if match]


def lines_after(lines, start):
    """The lines after the first that begins with `start`; none when no line does."""
    first = next((k for k, line in enumerate(lines) if line.startswith(start)), len(lines))
    return lines[first + 1:]


def pe_exports(lines):
    """The names in the export table of a Windows DLL, from its `objdump -p` lines."""
    table = lines_after(lines, "[Ordinal/Name Pointer] Table")
    return [match.group(1) for match in itertools.takewhile(bool, map(PE_EXPORT.search, table))]


def pe_imports(lines):
    """The names a Windows module imports from each DLL, by DLL, from its `objdump -p` lines."""
    imports = {}
    dll = None
    for line in lines:
        if line.startswith("There is an export table"):
            break
        dll_name = re.fullmatch(r"\tDLL Name: (.+)", line)
        entry = re.fullmatch(r"\t[0-9a-f]+\t +[0-9]+  ([^ ]+)", line)
        if dll_name:
            dll = dll_name.group(1)
            imports[dll] = []
        elif dll and entry:
            imports[dll].append(entry.group(1))
    return imports


def pe_format(lines):
    """The file format, the DLL characteristic and the optional header kind of a Windows module."""
    found = []
    for line in lines:
        match = FILE_FORMAT.search(line) or PE_MAGIC.search(line)
        if match or line == "\tDLL":
            found.append(match.group(1) if match else "DLL")
    return found


def def_names(path):
    """The names a .def file lists under EXPORTS."""
    with open(path) as file:
        return matched(lines_after(file.read().splitlines(), "EXPORTS"), DEF_EXPORT)


def version_is_newer(version, newest):
    """Whether dotted `version` is newer than `newest`; missing parts count as 0, so 2.17.0 is 2.17."""
    parts = [int(part) for part in version.split(".") if part]
    ceiling = [int(part) for part in newest.split(".")]
    width = max(len(parts), len(ceiling))
    return parts + [0] * (width - len(parts)) > ceiling + [0] * (width - len(ceiling))


def differences(what, found, expected):
    """Shows what was found; a fault when it isn't what was expected."""
    print(f"{what}: {' '.join(found) or 'none'}")
    if found == expected:
        return []
    return [f"{what}:\n    expected [{' '.join(expected)}]\n    found    [{' '.join(found)}]"]


def export_faults(exports, required=("mexFunction",)):
    # The host looks up what it requires, and nothing else of the module may be there to clash
    # with the host's own symbols or another module's.
    return differences("exported names", sorted(exports), sorted(required))


def linux_runtime_faults(objdump_lines, unversioned):
    # The Linux module as the release ships it: it needs nothing but LINUX_LIBRARIES, names no
    # folder to search, and asks for no runtime version newer than LINUX_NEWEST_VERSIONS. Only the
    # host's entries come unversioned: everything the runtimes provide is bound with its version,
    # so that the ceilings hold.
    faults = [f"needs {library}" for library in matched(objdump_lines, ELF_NEEDED)
              if library not in LINUX_LIBRARIES]
    faults += [f"searches {path.group(2)} for libraries ({path.group(1)})"
               for path in map(ELF_SEARCH_PATH.search, objdump_lines) if path]
    for version in matched(objdump_lines, ELF_VERSION_NEED):
        print(f"symbol version {version}")
        runtime = ELF_RUNTIME_VERSION.search(version)
        newest = LINUX_NEWEST_VERSIONS.get(runtime.group(1)) if runtime else None
        if not newest or version_is_newer(runtime.group(2), newest):
            faults.append(f"asks for symbol version {version}")
    faults += [f"binds {symbol} without a version" for symbol in unversioned
               if not HOST_ENTRY.search(symbol)]
    return faults


def read_renames(path):
    """The host's published renames, classic name to the entry a module imports."""
    renames = {}
    with open(path) as lines:
        for line in lines:
            if not re.match(r"[A-Za-z]", line):
                continue
            pair = re.fullmatch(r"([A-Za-z0-9_]+)[ \t]+([A-Za-z0-9_]+)", line.rstrip("\n"))
            if not pair:
                sys.exit(f"{path} holds a line that is no rename: {line.strip()}")
            renames[pair.group(1)] = pair.group(2)
    print(f"{len(renames)} renamed entries in {path}")
    return renames


def header_faults(renames, headers):
    # The stand-in headers the module was built with may rename only as the published ones do.
    faults = []
    for header in headers:
        with open(header) as lines:
            for line in lines:
                define = HEADER_RENAME.search(line.rstrip("\n"))
                if define and renames.get(define.group(1)) != define.group(2):
                    faults.append(f"{header} renames {define.group(1)} to {define.group(2)},"
                                  " which the host's headers don't")
    return faults


def host_entry_faults(source, entries, exported, renames):
    # The host entries a MATLAB module imports must be the names the host's published headers
    # link: never a classic name those headers rename, never a 32-bit dimension or interleaved
    # complex entry, and always an entry the stand-in host exports, so that the stand-in tests
    # load the module.
    print(f"imports from {source}: {' '.join(entries)}")
    faults = [] if entries else [f"imports nothing from {source}: its imports weren't read"]
    for entry in entries:
        if entry in renames:
            faults.append(f"imports {entry}, a classic name the host's headers rename")
        elif OTHER_INTERFACE_ENTRY.search(entry):
            faults.append(f"imports {entry}, which has no place in the 64-bit dimension,"
                          " separate complex interface")
        elif entry not in exported:
            faults.append(f"imports {entry}, which the stand-in {source} doesn't export")
    return faults


def nm_defined(nm, library):
    return matched(tool_lines(nm, "-D", "--defined-only", library), NM_NAME)


def octave_faults(arguments):
    # Octave asks more of a module in some versions than in others (11 looks up
    # __octave_mex_soversion__, which its mkoctfile compiles into every module): the module must
    # export what the empty module of the same mkoctfile does.
    return export_faults(nm_defined(arguments.nm, arguments.module), nm_defined(arguments.nm, arguments.probe))


def linux_faults(arguments):
    module = arguments.module
    faults = export_faults(nm_defined(arguments.nm, module))
    # The host's entries are the undefined symbols that carry no version.
    host_entries = matched(tool_lines(arguments.nm, "-D", "--undefined-only", module), NM_UNVERSIONED_NEED)
    faults += linux_runtime_faults(tool_lines(arguments.objdump, "-p", module), host_entries)
    renames = read_renames(arguments.renames)
    faults += header_faults(renames, arguments.headers)
    exported = {name for library in arguments.host for name in nm_defined(arguments.nm, library)}
    source = " or ".join(os.path.basename(library) for library in arguments.host)
    return faults + host_entry_faults(source, host_entries, exported, renames)


def command_faults(arguments):
    lines = tool_lines(arguments.objdump, "-p", arguments.module)
    faults = differences("file format", matched(lines, FILE_FORMAT), COMMAND_FORMAT)
    faults += [f"needs {library}" for library in matched(lines, ELF_NEEDED)]
    faults += [f"has the program header {header}: it is linked dynamically" for header in matched(lines, ELF_PROGRAM_HEADER)
               if header in COMMAND_DYNAMIC_HEADERS]
    return faults


def windows_faults(arguments):
    # The Windows module as a Windows host meets it: a PE32+ x86-64 DLL that imports only from the
    # host's two libraries and Windows' own DLLs, taking from the host exactly the functions it was
    # linked against.
    lines = tool_lines(arguments.objdump, "-p", arguments.module)
    faults = export_faults(pe_exports(lines))
    faults += differences("file format, image kind, optional header", pe_format(lines), WINDOWS_FORMAT)
    imports = pe_imports(lines)
    outside = [dll for dll in imports
               if not WINDOWS_HOST_DLL.fullmatch(dll) and not WINDOWS_SYSTEM_DLL.fullmatch(dll)]
    faults += differences("DLLs imported beside the host's and Windows' own", outside, [])
    for def_file in arguments.host_defs:
        dll = os.path.splitext(os.path.basename(def_file))[0] + ".dll"
        faults += differences(f"functions imported from {dll}",
                              sorted(imports.get(dll, [])), sorted(def_names(def_file)))
    renames = read_renames(arguments.renames)
    faults += header_faults(renames, arguments.headers)
    # The names imported from each of the host's DLLs must come from the stand-in DLL of that name.
    for library in arguments.host:
        dll = os.path.basename(library)
        exported = set(pe_exports(tool_lines(arguments.objdump, "-p", library)))
        faults += host_entry_faults(dll, imports.get(dll, []), exported, renames)
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    platforms = parser.add_subparsers(dest="platform", required=True)
    octave, linux, windows, command = (platforms.add_parser(name) for name in ("octave", "linux", "windows", "command"))
    for platform, faults in ((octave, octave_faults), (linux, linux_faults), (windows, windows_faults),
                             (command, command_faults)):
        platform.set_defaults(faults=faults)
        platform.add_argument("module")
    for platform in (octave, linux):
        platform.add_argument("--nm", required=True)
    octave.add_argument("--probe", required=True)
    command.add_argument("--objdump", required=True)
    for platform in (linux, windows):
        platform.add_argument("--objdump", required=True)
        platform.add_argument("--host", nargs="+", required=True)
        platform.add_argument("--renames", required=True)
        platform.add_argument("--headers", nargs="+", required=True)
    windows.add_argument("--host-defs", nargs="+", required=True)
    arguments = parser.parse_args()
    faults = arguments.faults(arguments)
    if faults:
        sys.exit(f"The {arguments.platform} module's form, {arguments.module}:\n  " + "\n  ".join(faults))


if __name__ == "__main__":
    main()
