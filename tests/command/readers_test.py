"""quarnel-reduce's results as the field's own readers see them, one row a format, voxel size and
input layout: NAME.mat through SciPy's loadmat, V alone; NAME.nii through nibabel, with the data in
the input's axis order, float32 unscaled, the voxel size, both transforms and the units; and
nifti_tool's check of its header. The data, bit for bit, is the reduction of a random volume of the
row's layout computed here with NumPy: integer sums truncated toward zero, float32 samples summed
in double along x, then y, then z, with NaN, infinities and extremes among them.

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

DEFAULT = ((512, 512, 512), "int16", "little", 0)
# --format; --voxel-size with the edges along the input's columns, rows and slices it means; the
# input's shape (X, Y, Z), type, byte order and header bytes.
ROWS = [
    ("mat", None, None, DEFAULT),
    ("nifti", None, (1, 1, 1), DEFAULT),
    ("mat,nifti", "0.5", (0.5, 0.5, 0.5), DEFAULT),
    ("nifti", "0.35,0.35,1.2", (0.35, 0.35, 1.2), DEFAULT),
    ("mat,nifti", "2,1.5,0.25", (2, 1.5, 0.25), DEFAULT),
    ("mat,nifti", None, (1, 1, 1), ((2, 2, 2), "uint8", "little", 0)),
    ("mat,nifti", None, (1, 1, 1), ((5, 7, 3), "int16", "big", 1)),
    ("mat,nifti", "0.1,0.1,0.4", (0.1, 0.1, 0.4), ((301, 17, 9), "uint16", "big", 4096)),
    ("mat,nifti", None, (1, 1, 1), ((64, 40, 7), "uint16", "little", 0)),
    ("mat,nifti", None, (1, 1, 1), ((33, 31, 5), "float32", "big", 7)),
    ("mat,nifti", None, (1, 1, 1), ((260, 3, 6), "float32", "little", 0)),
]
NUMPY_TYPES = {"int16": "i2", "uint16": "u2", "uint8": "u1", "float32": "f4"}


def random_samples(rng, shape, sample_type):
    """(z, y, x) samples; float32 ones with NaN, both infinities, the extremes and the least
    subnormal in places, and numbers of every scale elsewhere."""
    x, y, z = shape
    if sample_type != "float32":
        info = np.iinfo(NUMPY_TYPES[sample_type])
        return rng.integers(info.min, info.max, size=(z, y, x), endpoint=True, dtype=NUMPY_TYPES[sample_type])
    samples = (rng.standard_normal((z, y, x)) * 10.0 ** rng.integers(-40, 38, (z, y, x))).astype(np.float32)
    for start, value in enumerate([np.nan, np.inf, -np.inf, np.finfo(np.float32).max, -np.finfo(np.float32).max, 1e-45, -0.0]):
        samples.flat[start::31 + start] = value
    return samples


def reduced(samples):
    """(x, y, z): the mean of file columns 2x, 2x+1, rows 2y, 2y+1, slices 2z, 2z+1; of an odd edge
    the last is left out."""
    z, y, x = (edge // 2 * 2 for edge in samples.shape)
    samples = samples[:z, :y, :x]
    if samples.dtype == np.float32:
        np.seterr(invalid="ignore")  # infinities of both signs add up to NaN
        pairs = samples.astype(np.float64)
        pairs = pairs[:, :, 0::2] + pairs[:, :, 1::2]
        pairs = pairs[:, 0::2] + pairs[:, 1::2]
        return ((pairs[0::2] + pairs[1::2]) / 8).astype(np.float32).transpose(2, 1, 0)
    sums = samples.astype(np.int32).reshape(z // 2, 2, y // 2, 2, x // 2, 2).sum(axis=(1, 3, 5))  # (z, y, x)
    return (np.sign(sums) * (np.abs(sums) // 8)).transpose(2, 1, 0).astype(np.float32)  # never -0


def faults_of_mat(path, expected):
    contents = scipy.io.loadmat(str(path))
    names = sorted(name for name in contents if not name.startswith("__"))
    if names != ["V"]:
        return [f"it holds {names}, not V alone"]
    v = contents["V"]  # (y, x, z): its first two axes exchanged
    shape = tuple(expected.shape[i] for i in (1, 0, 2))
    if v.dtype != np.float32 or v.shape != shape:
        return [f"V is {v.dtype} {v.shape}, not float32 {shape}"]
    return [] if np.array_equal(v.view(np.uint32), expected.transpose(1, 0, 2).view(np.uint32)) else ["V isn't the reduction"]


def faults_of_nifti(path, expected, edges):
    image = nibabel.load(str(path))
    header = image.header
    faults = []
    data = np.asanyarray(image.dataobj)
    # nibabel applies the file's scaling itself, and leaves it in the array proxy.
    slope, inter = image.dataobj.slope, image.dataobj.inter
    if data.dtype != np.float32 or data.shape != expected.shape or (slope, inter) != (1, 0):
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
    rng = np.random.default_rng(20261209)
    volumes = {}
    faults = []
    with tempfile.TemporaryDirectory() as folder:
        for number, (formats, voxel_size, edges, layout) in enumerate(ROWS):
            shape, sample_type, byte_order, header_bytes = layout
            if layout not in volumes:
                samples = random_samples(rng, shape, sample_type)
                path = Path(folder) / f"scan{len(volumes)}.raw"
                with open(path, "wb") as volume:
                    volume.write(bytes(i % 251 for i in range(header_bytes)))
                    volume.write(samples.astype(("<" if byte_order == "little" else ">") + NUMPY_TYPES[sample_type]).tobytes())
                volumes[layout] = (path, reduced(samples))
            volume, expected = volumes[layout]
            out = Path(folder) / f"out{number}"
            options = ["--format", formats] + (["--voxel-size", voxel_size] if voxel_size else [])
            if layout != DEFAULT:
                options += ["--shape", ",".join(map(str, shape)), "--type", sample_type, "--byte-order", byte_order,
                            "--header-bytes", str(header_bytes)]
            run = subprocess.run([command, *options, str(out), str(volume)], capture_output=True, text=True)
            row = " ".join(options)
            if run.returncode != 0 or run.stdout != f"ok {volume.name}\n":
                faults.append(f"{row}: quarnel-reduce ended {run.returncode}: {run.stdout}{run.stderr}")
                continue
            written = sorted(path.name for path in out.iterdir())
            name = volume.stem
            wanted = sorted({"mat": f"{name}.mat", "nifti": f"{name}.nii"}[format] for format in formats.split(","))
            if written != wanted:
                faults.append(f"{row}: it wrote {written}, not {wanted}")
            if f"{name}.mat" in written:
                faults += [f"{row}, {name}.mat: {fault}" for fault in faults_of_mat(out / f"{name}.mat", expected)]
            if f"{name}.nii" in written:
                faults += [f"{row}, {name}.nii: {fault}" for fault in faults_of_nifti(out / f"{name}.nii", expected, edges)]
    if faults:
        sys.exit("\n".join(faults))
    print(f"{len(ROWS)} rows: SciPy reads V and nibabel the NIfTI image, bit for bit, placed and scaled as given")


if __name__ == "__main__":
    main()
