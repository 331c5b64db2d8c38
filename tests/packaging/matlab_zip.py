"""The MATLAB zip holds exactly one folder with both modules, the help text, the tab completion,
the license, the README for MATLAB users (with the version filled in), Contents.m, the helpers for
many volumes laid out as in batch/, quarnel-reduce linked statically, and build_quarnel with its
sources laid out as in the source tree: each the very file the build and the sources have. Its
programs are stored executable, as unzip restores them, its tab completion describes both of
Quarnel's arguments, and the first two lines of its Contents.m give Quarnel's name, version and
release date as MATLAB's ver reads them.

  matlab_zip.py Quarnel-VERSION-matlab.zip --version VERSION --release-date YYYY-MM-DD
      --windows-module Quarnel.mexw64 --linux-module Quarnel.mexa64
      --static-command quarnel-reduce-static --source-dir SOURCES --build-dir BUILD
"""

import argparse
import datetime
import json
import re
import stat
import sys
import zipfile

SIGNATURES = "resources/functionSignatures.json"

# Each file in the folder and, for those that come from the source tree, their place there: the
# helpers for many volumes come from batch/, build_quarnel's sources from where they are.
FROM_SOURCES = {
    "Quarnel.m": "gateway/Quarnel.m",
    SIGNATURES: "gateway/" + SIGNATURES,
    "LICENSE": "LICENSE",
    **{name: "batch/" + name for name in [
        "reduce_folder.m", "reduce_volume.m", "slurm/quarnel-submit", "slurm/reduce_array.sbatch",
        "private/character_row.m", "private/missing_module.m", "private/path_in.m", "private/reduce_in_workers.m",
        "private/result_check.m", "private/result_file_header.m", "private/result_name.m", "private/volume_names.m"]},
    **{name: name for name in [
        "build_quarnel.m", "gateway/mexFunction.cpp", "gateway/Quarnel.m", "gateway/exports.map", "gateway/" + SIGNATURES,
        "reduce/reduce_pair.cpp", "reduce/reduce_pair.h", "reduce/resample.cpp", "reduce/resample.h", "reduce/volume.h"]},
}
# Those that the build writes, and their place in the build folder.
FROM_BUILD = {"private/quarnel_version.m": "batch/private/quarnel_version.m"}
README_TEMPLATE = "packaging/matlab/README.md.in"
CONTENTS_TEMPLATE = "packaging/matlab/Contents.m.in"
EXECUTABLES = ["quarnel-reduce", "slurm/quarnel-submit", "slurm/reduce_array.sbatch"]

# Quarnel(path, progress): a required .raw file path, then an optional logical or numeric scalar.
EXPECTED_INPUTS = [
    ("path", "required", ["filepath=*.raw"]),
    ("progress", "ordered", [["logical", "scalar"], ["numeric", "scalar"]]),
]

# ver takes a folder's name from the first line of its Contents.m and its version, the oldest
# release it runs on and its date from the second.
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
NAME_LINE = "% Quarnel"
VERSION_LINE = re.compile(r"% Version \d+\.\d+\.\d+ \(R2017b\) \d\d-(" + "|".join(MONTHS) + r")-\d{4}")

# The system that made an entry; Unix is the one whose mode unzip restores.
UNIX = 3


def read(path):
    with open(path, "rb") as file:
        return file.read()


def matlab_date(day):
    """DAY as MATLAB writes dates: 09-Dec-2026."""
    return f"{day.day:02}-{MONTHS[day.month - 1]}-{day.year}"


def expected_files(arguments):
    """Each file in the folder and the bytes it must hold."""
    files = {name: read(f"{arguments.source_dir}/{source}") for name, source in FROM_SOURCES.items()}
    files.update({name: read(f"{arguments.build_dir}/{built}") for name, built in FROM_BUILD.items()})
    files.update({"Quarnel.mexw64": read(arguments.windows_module), "Quarnel.mexa64": read(arguments.linux_module),
                  "quarnel-reduce": read(arguments.static_command)})
    version, date = arguments.version.encode(), matlab_date(arguments.release_date).encode()
    files["README.md"] = read(f"{arguments.source_dir}/{README_TEMPLATE}").replace(b"@VERSION@", version)
    contents = read(f"{arguments.source_dir}/{CONTENTS_TEMPLATE}")
    files["Contents.m"] = contents.replace(b"@VERSION@", version).replace(b"@DATE@", date)
    return files


def expected_entries(folder, files):
    """The zip's entries: the folder, each file, and each folder a file is in, with a trailing /."""
    entries = {folder + "/"}
    for name in files:
        entries.add(f"{folder}/{name}")
        parts = name.split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            entries.add(f"{folder}/{'/'.join(parts[:depth])}/")
    return sorted(entries)


def runs_for_everyone(entry):
    """Whether unzip makes `entry` a plain file that its owner, its group and others may run."""
    mode = entry.external_attr >> 16
    return (entry.create_system == UNIX and stat.S_ISREG(mode)
            and stat.S_IMODE(mode) & 0o7000 == 0 and stat.S_IMODE(mode) & 0o111 == 0o111)


def described_inputs(text):
    """Each input the tab completion describes: its name, kind and type."""
    try:
        inputs = json.loads(text)["Quarnel"]["inputs"]
        return [(argument["name"], argument["kind"], argument["type"]) for argument in inputs]
    except (ValueError, KeyError, TypeError) as error:
        return f"no list of Quarnel's inputs ({error!r})"


def contents_faults(text, arguments):
    """What keeps ver from reading Quarnel's name, version and release date from Contents.m."""
    lines = text.decode(errors="replace").split("\n")
    name, version = (lines + ["(none)"])[:2]
    faults = []
    if name != NAME_LINE:
        faults.append(f"its Contents.m starts with {name!r}, not {NAME_LINE!r}")
    if not VERSION_LINE.fullmatch(version):
        faults.append(f"its Contents.m's second line {version!r} is not % Version X.Y.Z (R2017b) DD-Mon-YYYY")
    elif version != f"% Version {arguments.version} (R2017b) {matlab_date(arguments.release_date)}":
        faults.append(f"its Contents.m's second line {version!r} names another version or date than"
                      f" {arguments.version} and {arguments.release_date}")
    return faults


def check(arguments, files):
    """The faults found in the zip."""
    folder = f"Quarnel-{arguments.version}"
    with zipfile.ZipFile(arguments.zip) as archive:
        entries = {entry.filename: entry for entry in archive.infolist()}
        print(f"{arguments.zip} holds:\n  " + "\n  ".join(sorted(entries)))
        expected = expected_entries(folder, files)
        if sorted(entries) != expected:
            missing = sorted(set(expected) - set(entries))
            extra = sorted(set(entries) - set(expected))
            return [f"its entries aren't the expected ones:\n"
                    f"    missing [{' '.join(missing)}]\n    extra   [{' '.join(extra)}]"]

        faults = []
        for name in EXECUTABLES:
            entry = entries[f"{folder}/{name}"]
            if not runs_for_everyone(entry):
                faults.append(f"it stores {name} with mode {entry.external_attr >> 16:o}, made on system"
                              f" {entry.create_system}: not executable for everyone once unzipped")
        faults += [f"its {name} is not the file the build and the sources have" for name, content in files.items()
                   if archive.read(f"{folder}/{name}") != content]

        faults += contents_faults(archive.read(f"{folder}/Contents.m"), arguments)
        described = described_inputs(archive.read(f"{folder}/{SIGNATURES}"))
        if described != EXPECTED_INPUTS:
            faults.append(f"its {SIGNATURES} describes\n    {described}\n  not\n    {EXPECTED_INPUTS}")
        return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("zip")
    parser.add_argument("--release-date", required=True, type=datetime.date.fromisoformat)
    for option in ("--version", "--windows-module", "--linux-module", "--static-command", "--source-dir", "--build-dir"):
        parser.add_argument(option, required=True)
    arguments = parser.parse_args()
    try:
        faults = check(arguments, expected_files(arguments))
    except (OSError, zipfile.BadZipFile) as error:
        sys.exit(f"can't read the MATLAB zip or what it must hold: {error}")
    if faults:
        sys.exit(f"The MATLAB zip {arguments.zip}:\n  " + "\n  ".join(faults))


if __name__ == "__main__":
    main()
