"""Packs FOLDER into ARCHIVE, a .tar.gz or a .zip by its name, so that the bytes depend only on the
files' names and contents and whether they may be run: entries in sorted order, owned by no one,
all dated DATE, and no time or name in the gzip header. The same sources then give the same
archive whoever packs them, wherever and whenever.
   python3 archive.py FOLDER ARCHIVE DATE   (DATE as YYYY-MM-DD; FOLDER relative, as stored)
"""
import datetime
import gzip
import os
import pathlib
import sys
import tarfile
import zipfile

folder, archive, date = sys.argv[1:]
when = datetime.datetime.strptime(date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)


def entries():
    """Each path under FOLDER and FOLDER itself, sorted, whether it is a folder, and its mode."""
    paths = [folder]
    for parent, folders, files in os.walk(folder):
        paths += [os.path.join(parent, name) for name in folders + files]
    for path in sorted(paths):
        is_folder = os.path.isdir(path)
        runnable = is_folder or os.stat(path).st_mode & 0o100
        yield path, is_folder, 0o755 if runnable else 0o644


if archive.endswith(".tar.gz"):
    with open(archive, "wb") as raw, gzip.GzipFile("", "wb", 9, raw, mtime=0) as packed, \
            tarfile.open(fileobj=packed, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for path, is_folder, mode in entries():
            info = tar.gettarinfo(path)
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            info.mtime = int(when.timestamp())
            info.mode = mode
            if is_folder:
                tar.addfile(info)
            else:
                with open(path, "rb") as contents:
                    tar.addfile(info, contents)
elif archive.endswith(".zip"):
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as zip_file:
        for path, is_folder, mode in entries():
            info = zipfile.ZipInfo(path + "/" if is_folder else path, when.timetuple()[:6])
            info.create_system = 3  # Unix, whose modes unzip restores
            info.external_attr = (((0o040000 if is_folder else 0o100000) | mode) << 16) | (0x10 if is_folder else 0)
            info.compress_type = zipfile.ZIP_DEFLATED
            zip_file.writestr(info, b"" if is_folder else pathlib.Path(path).read_bytes())
else:
    sys.exit(f"archive.py: {archive} is neither a .tar.gz nor a .zip")
