"""Writes the release files from the sources as they are, run by the packages target:
   python3 make_packages.py SOURCE_DIR PACKAGES_DIR VERSION RELEASE_DATE BATCH LINUX_MODULE
                            --windows-module=PATH --static-command=PATH
BATCH is batch/ as the build stages it, with its quarnel_version.m written; the static command is
quarnel-reduce linked statically for x86-64 Linux. Without the Windows module or the static
command there is no MATLAB zip.

The archives' bytes depend only on the files' names and contents and whether they may be run:
entries in sorted order, owned by no one, all dated the release date, and no time or name in the
gzip header. The same sources then give the same archives whoever packs them, wherever and whenever.
"""
import datetime
import gzip
import os
import pathlib
import shutil
import sys
import tarfile
import zipfile

source, packages, version, release_date, batch, linux_module = sys.argv[1:7]
built = dict(argument[2:].split("=", 1) for argument in sys.argv[7:])
windows_module, static_command = built["windows-module"], built["static-command"]
source, packages, batch = pathlib.Path(source), pathlib.Path(packages), pathlib.Path(batch)
released = datetime.datetime.strptime(release_date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
# The release date as MATLAB writes dates, 09-Dec-2026, with the month in English whatever the locale.
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
matlab_date = f"{released.day:02}-{MONTHS[released.month - 1]}-{released.year:04}"


def copy(files, folder, runnable=False):
    folder.mkdir(parents=True, exist_ok=True)
    for file in files:
        target = folder / pathlib.Path(file).name
        shutil.copyfile(file, target)
        if runnable:
            target.chmod(0o755)


def copy_batch_helpers(folder):
    """The helpers for many volumes, laid out as in batch/: the functions with their private
    folder, and the Slurm scripts, which find quarnel-reduce in the folder above theirs. The
    scripts are run by name, so they go in executable whatever mode the checkout gave them."""
    copy(sorted(batch.glob("*.m")), folder)
    copy(sorted((batch / "private").glob("*.m")), folder / "private")
    copy(sorted((batch / "slurm").iterdir()), folder / "slurm", runnable=True)


def sources(folder, suffixes=(".cpp", ".h")):
    return sorted(path for path in folder.iterdir() if path.suffix in suffixes)


# The core's sweep of any layout, which quarnel-reduce is built from and the module is not.
SWEEP_SOURCES = ("raw_layout.h", "sweep.cpp", "sweep.h")


def copy_module_sources(folder):
    """build_quarnel with the sources it builds from, laid out as in the source tree."""
    gateway = source / "gateway"
    copy([source / "build_quarnel.m"], folder)
    copy([gateway / "mexFunction.cpp", gateway / "Quarnel.m", gateway / "exports.map"], folder / "gateway")
    copy(sorted((gateway / "resources").iterdir()), folder / "gateway" / "resources")
    copy([path for path in sources(source / "reduce") if path.name not in SWEEP_SOURCES], folder / "reduce")


def copy_command_sources(folder):
    """quarnel-reduce's sources, laid out as in the source tree."""
    copy(sources(source / "command"), folder / "command")
    copy([source / "reduce" / name for name in SWEEP_SOURCES], folder / "reduce")


def entries(folder):
    """FOLDER and each path under it, sorted, whether it is a folder, and its mode."""
    paths = [folder] + [os.path.join(parent, name) for parent, folders, files in os.walk(folder)
                        for name in folders + files]
    for path in sorted(paths):
        is_folder = os.path.isdir(path)
        runnable = is_folder or os.stat(path).st_mode & 0o100
        yield path, is_folder, 0o755 if runnable else 0o644


def write_tar_gz(folder, archive):
    with open(archive, "wb") as raw, gzip.GzipFile("", "wb", 9, raw, mtime=0) as packed, \
            tarfile.open(fileobj=packed, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for path, is_folder, mode in entries(folder):
            info = tar.gettarinfo(path)
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            info.mtime = int(released.timestamp())
            info.mode = mode
            if is_folder:
                tar.addfile(info)
            else:
                with open(path, "rb") as contents:
                    tar.addfile(info, contents)


def write_zip(folder, archive):
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as zip_file:
        for path, is_folder, mode in entries(folder):
            info = zipfile.ZipInfo(path + "/" if is_folder else path, released.timetuple()[:6])
            info.create_system = 3  # Unix, whose modes unzip restores
            info.external_attr = (((0o040000 if is_folder else 0o100000) | mode) << 16) | (0x10 if is_folder else 0)
            info.compress_type = zipfile.ZIP_DEFLATED
            zip_file.writestr(info, b"" if is_folder else pathlib.Path(path).read_bytes())


def configured(template, target, values):
    """TARGET written from TEMPLATE with each @NAME@ in VALUES replaced by its value."""
    text = template.read_text()
    for name, value in values.items():
        text = text.replace(f"@{name}@", value)
    target.write_text(text)


def fresh(folder):
    shutil.rmtree(packages / folder, ignore_errors=True)
    return packages / folder


packages.mkdir(parents=True, exist_ok=True)
os.chdir(packages)  # the archives hold paths relative to it

# An Octave package: DESCRIPTION, COPYING, NEWS and INDEX at the top, in src/ the sources of the
# module and of quarnel-reduce with the Makefile that pkg install runs, and in inst/ the helpers,
# which pkg install puts in the package's folder, private folder and scripts included; the
# Makefile puts quarnel-reduce there too.
octave_name = f"quarnel-{version}"
octave = fresh(octave_name)
copy([source / "packaging" / "octave" / "INDEX"], octave)
configured(source / "packaging" / "octave" / "DESCRIPTION.in", octave / "DESCRIPTION",
           {"PROJECT_VERSION": version, "QUARNEL_RELEASE_DATE": release_date})
shutil.copyfile(source / "LICENSE", octave / "COPYING")
shutil.copyfile(source / "CHANGELOG.md", octave / "NEWS")
copy([source / "packaging" / "octave" / "Makefile", source / "packaging" / "octave" / "FILES"], octave / "src")
copy_module_sources(octave / "src")
copy_command_sources(octave / "src")
copy_batch_helpers(octave / "inst")
write_tar_gz(octave_name, f"{octave_name}.tar.gz")
print(f"Octave package: {packages / octave_name}.tar.gz")

# The MATLAB release, in one folder that serves on its own: both modules side by side, so that the
# host picks its platform's by the extension, with the help text, tab completion, license, a README
# for MATLAB users, the Contents.m from which ver takes Quarnel's name, version and date, the
# helpers and quarnel-reduce, linked statically, beside them; and
# build_quarnel with the sources it builds from, laid out as in the source tree, for the platforms
# without a module here.
matlab_name = f"Quarnel-{version}"
matlab_zip = f"{matlab_name}-matlab.zip"
matlab = fresh(matlab_name)
pathlib.Path(matlab_zip).unlink(missing_ok=True)
if not windows_module or not static_command:
    print(f"No Windows module or no static quarnel-reduce built: no {matlab_zip}")
    sys.exit(0)
copy([windows_module, linux_module], matlab, runnable=True)
shutil.copyfile(static_command, matlab / "quarnel-reduce")
(matlab / "quarnel-reduce").chmod(0o755)
copy([source / "gateway" / "Quarnel.m", source / "LICENSE"], matlab)
copy(sorted((source / "gateway" / "resources").iterdir()), matlab / "resources")
configured(source / "packaging" / "matlab" / "README.md.in", matlab / "README.md", {"VERSION": version})
configured(source / "packaging" / "matlab" / "Contents.m.in", matlab / "Contents.m",
           {"VERSION": version, "DATE": matlab_date})
copy_batch_helpers(matlab)
copy_module_sources(matlab)
write_zip(matlab_name, matlab_zip)
print(f"MATLAB zip: {packages / matlab_zip}")
