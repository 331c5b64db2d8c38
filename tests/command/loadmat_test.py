"""quarnel-reduce's NAME.mat as SciPy's loadmat reads it: V, 256 x 256 x 256 float32, bit for bit
the reduction of a random volume computed here with NumPy, straight from the file layout.

  python3 loadmat_test.py QUARNEL_REDUCE   (Debian's python3, with python3-numpy and python3-scipy)
"""
import subprocess
import sys
import tempfile
from pathlib import Path

try:
    import numpy as np
    import scipy.io
except ImportError as error:
    sys.exit(f"{sys.executable} lacks {error.name}: install Debian's python3-numpy and python3-scipy")


def reduced(samples):
    """(r, c, s): the mean of file rows 2r, 2r+1, columns 2c, 2c+1, slices 2s, 2s+1, toward zero."""
    blocks = samples.astype(np.int32).reshape(256, 2, 256, 2, 256, 2)  # (s, z), (r, y), (c, x)
    sums = blocks.sum(axis=(1, 3, 5))  # indexed (s, r, c)
    means = np.sign(sums) * (np.abs(sums) // 8)
    return means.transpose(1, 2, 0).astype(np.float32)  # whole numbers: never -0


def main():
    command = sys.argv[1]
    generator = np.random.default_rng(20261209)
    samples = generator.integers(-32768, 32768, size=512**3, dtype=np.int16)
    with tempfile.TemporaryDirectory() as folder:
        volume = Path(folder) / "scan.raw"
        samples.astype("<i2").tofile(volume)
        run = subprocess.run([command, str(Path(folder) / "out"), str(volume)], capture_output=True, text=True)
        if run.returncode != 0 or run.stdout != "ok scan.raw\n":
            sys.exit(f"quarnel-reduce ended {run.returncode}: {run.stdout}{run.stderr}")
        contents = scipy.io.loadmat(str(Path(folder) / "out" / "scan.mat"))
    names = sorted(name for name in contents if not name.startswith("__"))
    if names != ["V"]:
        sys.exit(f"the file holds {names}, not V alone")
    v = contents["V"]
    if v.dtype != np.float32 or v.shape != (256, 256, 256):
        sys.exit(f"V is {v.dtype} {v.shape}")
    expected = reduced(samples.reshape(512, 512, 512))  # (z, y, x)
    different = np.flatnonzero(v.view(np.uint32).ravel(order="F") != expected.view(np.uint32).ravel(order="F"))
    if different.size:
        sys.exit(f"{different.size} elements of V differ, the first at linear index {different[0]}")
    print("V loaded by scipy.io.loadmat is the reduction, bit for bit")


if __name__ == "__main__":
    main()
