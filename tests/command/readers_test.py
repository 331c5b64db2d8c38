"""quarnel-reduce's results as the field's own readers see them, one row a format and voxel size:
NAME.mat through SciPy's loadmat, V alone; NAME.nii through nibabel, with the data in the input's
axis order, float32 unscaled, the voxel size, both transforms and the units; and nifti_tool's check
of its header. The data, bit for bit, is the reduction of a random volume computed here with NumPy.

  python3 readers_test.py QUARNEL_REDUCE
      (Debian's python3 with python3-numpy, python3-scipy and python3-nibabel; nifti-bin)
"""
import subprocess
import sys
import tempfile
from pathlib import Path

try:
    import nibabel
    import numpy as np
    import scipy.io
except ImportError as error:
    sys.exit(f"{sys.executable} lacks {error.name}: install Debian's python3-numpy, python3-scipy and python3-nibabel")

# --format, and --voxel-size with the edges along the input's columns, rows and slices it means.
ROWS = [
    ("mat", None, None),
    ("nifti", None, (1, 1, 1)),
    ("mat,nifti", "0.5", (0.5, 0.5, 0.5)),
    ("nifti", "0.35,0.35,1.2", (0.35, 0.35, 1.2)),
    ("mat,nifti", "2,1.5,0.25", (2, 1.5, 0.25)),
]


def reduced(samples):
    """(x, y, z): the mean of file columns 2x, 2x+1, rows 2y, 2y+1, slices 2z, 2z+1, toward zero."""
    sums = samples.astype(np.int32).reshape(256, 2, 256, 2, 256, 2).sum(axis=(1, 3, 5))  # (z, y, x)
    return (np.sign(sums) * (np.abs(sums) // 8)).transpose(2, 1, 0).astype(np.float32)  # never -0


def faults_of_mat(path, expected):
    contents = scipy.io.loadmat(str(path))
    names = sorted(name for name in contents if not name.startswith("__"))
    if names != ["V"]:
        return [f"it holds {names}, not V alone"]
    v = contents["V"]  # (y, x, z): its first two axes exchanged
    if v.dtype != np.float32 or v.shape != (256, 256, 256):
        return [f"V is {v.dtype} {v.shape}"]
    return [] if np.array_equal(v.view(np.uint32), expected.transpose(1, 0, 2).view(np.uint32)) else ["V isn't the reduction"]


def faults_of_nifti(path, expected, edges):
    image = nibabel.load(str(path))
    header = image.header
    faults = []
    data = np.asanyarray(image.dataobj)
    # nibabel applies the file's scaling itself, and leaves it in the array proxy.
    slope, inter = image.dataobj.slope, image.dataobj.inter
    if data.dtype != np.float32 or data.shape != (256, 256, 256) or (slope, inter) != (1, 0):
        faults.append(f"the data is {data.dtype} {data.shape}, scaled by {slope} + {inter}")
    elif not np.array_equal(data.view(np.uint32), expected.view(np.uint32)):
        faults.append("the data isn't the reduction in the input's axis order")
    # Voxel (i, j, k) is centred on its block: at 2 S i + S / 2 along each axis.
    centres = np.diag([2 * edge for edge in edges] + [1.0])
    centres[:3, 3] = [edge / 2 for edge in edges]
    for name, affine in [("sform", header.get_sform()), ("qform", header.get_qform()), ("affine", image.affine)]:
        if not np.allclose(affine, centres, rtol=1e-6, atol=0):
            faults.append(f"its {name} is\n{affine}, not\n{centres}")
    if header.get_xyzt_units()[0] != "mm" or header["sform_code"] == 0 or header["qform_code"] == 0:
        faults.append(f"units {header.get_xyzt_units()}, sform_code {header['sform_code']}, qform_code {header['qform_code']}")
    check = subprocess.run(["nifti_tool", "-check_hdr", "-infiles", str(path)], capture_output=True, text=True)
    if check.returncode != 0 or "header IS GOOD" not in check.stdout:
        faults.append(f"nifti_tool finds its header bad:\n{check.stdout}{check.stderr}")
    return faults


def main():
    command = sys.argv[1]
    samples = np.random.default_rng(20261209).integers(-32768, 32768, size=512**3, dtype=np.int16)
    expected = reduced(samples.reshape(512, 512, 512))
    faults = []
    with tempfile.TemporaryDirectory() as folder:
        volume = Path(folder) / "scan.raw"
        samples.astype("<i2").tofile(volume)
        for number, (formats, voxel_size, edges) in enumerate(ROWS):
            out = Path(folder) / f"out{number}"
            options = ["--format", formats] + (["--voxel-size", voxel_size] if voxel_size else [])
            run = subprocess.run([command, *options, str(out), str(volume)], capture_output=True, text=True)
            row = " ".join(options)
            if run.returncode != 0 or run.stdout != "ok scan.raw\n":
                faults.append(f"{row}: quarnel-reduce ended {run.returncode}: {run.stdout}{run.stderr}")
                continue
            written = sorted(path.name for path in out.iterdir())
            wanted = sorted({"mat": "scan.mat", "nifti": "scan.nii"}[name] for name in formats.split(","))
            if written != wanted:
                faults.append(f"{row}: it wrote {written}, not {wanted}")
            if "scan.mat" in written:
                faults += [f"{row}, scan.mat: {fault}" for fault in faults_of_mat(out / "scan.mat", expected)]
            if "scan.nii" in written:
                faults += [f"{row}, scan.nii: {fault}" for fault in faults_of_nifti(out / "scan.nii", expected, edges)]
    if faults:
        sys.exit("\n".join(faults))
    print(f"{len(ROWS)} rows: SciPy reads V and nibabel the NIfTI image, bit for bit, placed and scaled as given")


if __name__ == "__main__":
    main()
