"""quarnel-reduce's results as the field's own readers see them, one row a format, voxel size and
input layout: NAME.mat through SciPy's loadmat, V alone; NAME.nii through nibabel, with the data in
the input's axis order, float32 unscaled, the voxel size, both transforms and the units; and
nifti_tool's check of its header; NAME.ome.zarr through zarr-python, every level, its metadata by
the OME-NGFF 0.4 image rules, and through zarrita in node, a JavaScript reader, the last chunk of
each level. The data, bit for bit, is the reduction of a random volume of the row's layout
computed here with NumPy, level by level from exact sums: integer sums truncated toward zero,
float32 samples summed in double along x, then y, then z, with NaN, infinities and extremes among
them.

  python3 readers_test.py QUARNEL_REDUCE [NODE READ_PYRAMID_MJS]
      (Debian's python3 with python3-numpy, python3-scipy, python3-nibabel and python3-zarr;
      nifti-bin; zarrita installed beside READ_PYRAMID_MJS)
"""
import base64
import json
import subprocess
import sys
import tempfile
from pathlib import Path

try:
    import nibabel
    import numpy as np
    import scipy.io
    import zarr
except ImportError as error:
    sys.exit(f"{sys.executable} lacks {error.name}: install Debian's python3-numpy, python3-scipy, python3-nibabel and python3-zarr")

DEFAULT = ((512, 512, 512), "int16", "little", 0)
# --format; --voxel-size with the edges along the input's columns, rows and slices it means; the
# input's shape (X, Y, Z), type, byte order and header bytes; --levels, or the pyramid's own.
ROWS = [
    ("mat", None, None, DEFAULT, None),
    ("nifti", None, (1, 1, 1), DEFAULT, None),
    ("mat,nifti", "0.5", (0.5, 0.5, 0.5), DEFAULT, None),
    ("nifti", "0.35,0.35,1.2", (0.35, 0.35, 1.2), DEFAULT, None),
    ("mat,nifti,zarr", "2,1.5,0.25", (2, 1.5, 0.25), DEFAULT, None),
    ("mat,nifti,zarr", None, (1, 1, 1), ((2, 2, 2), "uint8", "little", 0), None),
    ("mat,nifti,zarr", None, (1, 1, 1), ((5, 7, 3), "int16", "big", 1), None),
    ("mat,nifti,zarr", "0.1,0.1,0.4", (0.1, 0.1, 0.4), ((301, 17, 9), "uint16", "big", 4096), None),
    ("mat,nifti,zarr", None, (1, 1, 1), ((64, 40, 7), "uint16", "little", 0), None),
    ("zarr", "0.35,0.35,1.2", (0.35, 0.35, 1.2), ((64, 40, 7), "uint16", "little", 0), 2),
    ("mat,nifti,zarr", None, (1, 1, 1), ((33, 31, 5), "float32", "big", 7), None),
    ("mat,nifti,zarr", None, (1, 1, 1), ((260, 3, 6), "float32", "little", 0), None),
    ("zarr", None, (1, 1, 1), ((300, 160, 140), "float32", "little", 0), None),
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


def pyramid(samples, levels):
    """Each level, (x, y, z): level k the means of blocks of 2^(k+1) along each axis, its sums those
    of the level before added in pairs along x, y and z; of an odd edge the last is left out."""
    np.seterr(invalid="ignore")  # infinities of both signs add up to NaN
    sums = samples.astype(np.float64 if samples.dtype == np.float32 else np.int32)  # (z, y, x)
    means = []
    for level in range(levels):
        sums = sums if sums.dtype == np.float64 or level == 0 else sums.astype(np.int64)
        z, y, x = (edge // 2 * 2 for edge in sums.shape)
        sums = sums[:z, :y, :x]
        sums = sums[:, :, 0::2] + sums[:, :, 1::2]
        sums = sums[:, 0::2] + sums[:, 1::2]
        sums = sums[0::2] + sums[1::2]
        count = 8 ** (level + 1)
        mean = sums / count if sums.dtype == np.float64 else np.sign(sums) * (np.abs(sums) // count)  # never -0
        means.append(mean.astype(np.float32).transpose(2, 1, 0))
    return means


def same(found, wanted):
    """Bit for bit, but that any NaN is as good as another: NumPy itself gives NaNs of either sign
    for the same sums, as its loops differ with the arrays' alignment."""
    return found.shape == wanted.shape and bool(np.all((found.view(np.uint32) == wanted.view(np.uint32)) | (np.isnan(found) & np.isnan(wanted))))


def faults_of_mat(path, expected):
    contents = scipy.io.loadmat(str(path))
    names = sorted(name for name in contents if not name.startswith("__"))
    if names != ["V"]:
        return [f"it holds {names}, not V alone"]
    v = contents["V"]  # (y, x, z): its first two axes exchanged
    shape = tuple(expected.shape[i] for i in (1, 0, 2))
    if v.dtype != np.float32 or v.shape != shape:
        return [f"V is {v.dtype} {v.shape}, not float32 {shape}"]
    return [] if same(v, expected.transpose(1, 0, 2)) else ["V isn't the reduction"]


def faults_of_nifti(path, expected, edges):
    image = nibabel.load(str(path))
    header = image.header
    faults = []
    data = np.asanyarray(image.dataobj)
    # nibabel applies the file's scaling itself, and leaves it in the array proxy.
    slope, inter = image.dataobj.slope, image.dataobj.inter
    if data.dtype != np.float32 or data.shape != expected.shape or (slope, inter) != (1, 0):
        faults.append(f"the data is {data.dtype} {data.shape}, scaled by {slope} + {inter}")
    elif not same(data, expected):
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


def faults_of_ngff(attributes, levels, edges):
    """The OME-NGFF 0.4 image rules, and what the image says of its levels."""
    multiscales = attributes.get("multiscales")
    if not isinstance(multiscales, list) or len(multiscales) != 1:
        return [f"multiscales is {multiscales!r}, not one entry"]
    multiscale = multiscales[0]
    faults = [] if multiscale.get("version") == "0.4" else [f"version {multiscale.get('version')!r}"]
    axes = multiscale.get("axes")
    if axes != [{"name": name, "type": "space", "unit": "millimeter"} for name in "zyx"]:
        faults.append(f"axes {axes!r}")
    datasets = multiscale.get("datasets", [])
    if [dataset.get("path") for dataset in datasets] != [str(level) for level in range(levels)]:
        faults.append(f"datasets {datasets!r}")
    for level, dataset in enumerate(datasets):
        transformations = dataset.get("coordinateTransformations")
        if [t.get("type") for t in transformations or []] != ["scale", "translation"]:
            faults.append(f"level {level}: transformations {transformations!r}, not one scale and then one translation")
            continue
        blocks = 2 ** (level + 1)
        scale = [edge * blocks for edge in reversed(edges)]
        translation = [(blocks - 1) * edge / 2 for edge in reversed(edges)]
        if not np.allclose(transformations[0]["scale"], scale, rtol=1e-12) or \
                not np.allclose(transformations[1]["translation"], translation, rtol=1e-12):
            faults.append(f"level {level}: {transformations}, not scale {scale} and translation {translation}")
    if not str(attributes.get("quarnel", "")).startswith("Quarnel "):
        faults.append(f"no record of the program's own: {attributes.get('quarnel')!r}")
    return faults


def faults_of_zarr(path, expected, edges, javascript):
    group = zarr.open_group(str(path), mode="r")
    faults = faults_of_ngff(group.attrs.asdict(), len(expected), edges)
    for level, means in enumerate(expected):
        array, wanted = group.get(str(level)), means.transpose(2, 1, 0)  # z, y, x
        chunks = tuple(min(64, edge) for edge in wanted.shape)
        if array is None or array.dtype != np.float32 or array.shape != wanted.shape or array.chunks != chunks:
            faults.append(f"level {level} is {array and (array.dtype, array.shape, array.chunks)}, not float32 {wanted.shape} {chunks}")
        elif not same(array[:], wanted):
            faults.append(f"level {level} isn't the reduction")
    if javascript:
        read = subprocess.run([*javascript, str(path)], capture_output=True, text=True)
        if read.returncode != 0:
            return faults + [f"zarrita can't read it: {read.stderr}"]
        for level, (found, means) in enumerate(zip(json.loads(read.stdout)["levels"], expected)):
            wanted, chunks, last = means.transpose(2, 1, 0), found["chunks"], found["lastChunk"]
            data = np.frombuffer(base64.b64decode(found["data"]), dtype="<f4").reshape(chunks)
            region = wanted[tuple(slice(i * c, (i + 1) * c) for i, c in zip(last, chunks))]
            inside = tuple(slice(0, edge) for edge in region.shape)
            if not same(data[inside], region) or np.count_nonzero(data) > np.count_nonzero(data[inside]):
                faults.append(f"zarrita finds level {level}'s last chunk {last} other than the reduction")
    return faults


def main():
    command = sys.argv[1]
    javascript = sys.argv[2:4]
    rng = np.random.default_rng(20261209)
    volumes = {}
    faults = []
    with tempfile.TemporaryDirectory() as folder:
        for number, (formats, voxel_size, edges, layout, levels) in enumerate(ROWS):
            shape, sample_type, byte_order, header_bytes = layout
            if layout not in volumes:
                samples = random_samples(rng, shape, sample_type)
                path = Path(folder) / f"scan{len(volumes)}.raw"
                with open(path, "wb") as volume:
                    volume.write(bytes(i % 251 for i in range(header_bytes)))
                    volume.write(samples.astype(("<" if byte_order == "little" else ">") + NUMPY_TYPES[sample_type]).tobytes())
                volumes[layout] = (path, pyramid(samples, 9))
            volume, expected = volumes[layout]
            out = Path(folder) / f"out{number}"
            options = ["--format", formats] + (["--voxel-size", voxel_size] if voxel_size else [])
            if layout != DEFAULT:
                options += ["--shape", ",".join(map(str, shape)), "--type", sample_type, "--byte-order", byte_order,
                            "--header-bytes", str(header_bytes)]
            options += ["--levels", str(levels)] if levels else []
            run = subprocess.run([command, *options, str(out), str(volume)], capture_output=True, text=True)
            row = " ".join(options)
            if run.returncode != 0 or run.stdout != f"ok {volume.name}\n":
                faults.append(f"{row}: quarnel-reduce ended {run.returncode}: {run.stdout}{run.stderr}")
                continue
            written = sorted(path.name for path in out.iterdir())
            name = volume.stem
            extensions = {"mat": ".mat", "nifti": ".nii", "zarr": ".ome.zarr"}
            wanted = sorted(name + extensions[format] for format in formats.split(","))
            if written != wanted:
                faults.append(f"{row}: it wrote {written}, not {wanted}")
            if f"{name}.mat" in written:
                faults += [f"{row}, {name}.mat: {fault}" for fault in faults_of_mat(out / f"{name}.mat", expected[0])]
            if f"{name}.nii" in written:
                faults += [f"{row}, {name}.nii: {fault}" for fault in faults_of_nifti(out / f"{name}.nii", expected[0], edges)]
            if f"{name}.ome.zarr" in written:
                # By default, until every edge of the last level is at most 64.
                count = levels or next(k + 1 for k, means in enumerate(expected) if max(means.shape) <= 64 or min(expected[k + 1].shape) == 0)
                faults += [f"{row}, {name}.ome.zarr: {fault}"
                           for fault in faults_of_zarr(out / f"{name}.ome.zarr", expected[:count], edges, javascript)]
    if faults:
        sys.exit("\n".join(faults))
    print(f"{len(ROWS)} rows: SciPy reads V, nibabel the NIfTI image, zarr-python and zarrita the pyramid, bit for bit, placed and scaled as given")


if __name__ == "__main__":
    main()
