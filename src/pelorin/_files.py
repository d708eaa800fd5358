"""Writing a file so that it is either whole or not there: nothing lost on failure."""
from __future__ import annotations

import contextlib
import hashlib
import os
import tempfile
from typing import Iterator

import xarray as xr

__all__ = ["replacing", "write_netcdf", "read_netcdf"]


@contextlib.contextmanager
def replacing(path: str | os.PathLike) -> Iterator[str]:
    """A temporary path beside `path`, to write in full; then flushed to the disk and
    renamed over `path`. On any failure the temporary file goes and `path` stays."""
    path = os.fspath(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp",
                               dir=os.path.dirname(os.path.abspath(path)))
    os.close(fd)
    try:
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(tmp, 0o666 & ~mask)     # as an ordinary new file would be
        yield tmp
        with open(tmp, "rb") as f:
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


# After the file's last byte as HDF5 knows it (which ignores what follows), a SHA-256
# of everything before: the arrays' Fletcher-32 checksums do not cover the file's
# structure, and the library can crash on a damaged header instead of refusing it.
TRAILER = b"\npelorin-sha256:"
TRAILER_SIZE = len(TRAILER) + 64 + 1


def write_netcdf(ds: xr.Dataset, path: str | os.PathLike) -> None:
    """`ds` as a NetCDF-4 file, whole or not at all, every array with a Fletcher-32
    checksum and the whole file with a SHA-256 after its end (a damaged file is
    refused when read, not read as other numbers)."""
    encoding = {name: {"fletcher32": True} for name, var in ds.variables.items()
                if var.ndim and var.dtype.kind in "fiub"}
    with replacing(path) as tmp:
        ds.to_netcdf(tmp, engine="netcdf4", encoding=encoding)
        with open(tmp, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest().encode("ascii")
        with open(tmp, "ab") as f:
            f.write(TRAILER + digest + b"\n")


def read_netcdf(path: str | os.PathLike) -> xr.Dataset:
    """A NetCDF file read in full; ValueError naming the file as given when it is not
    one or is damaged (a checksum that does not match, a truncated file)."""
    name = os.fspath(path)
    if not os.path.isfile(name):
        raise FileNotFoundError(f"{name}: no such file")
    with open(name, "rb") as f:
        raw = f.read()
    tail = raw[-TRAILER_SIZE:]
    if len(raw) > TRAILER_SIZE and tail.startswith(TRAILER) and tail.endswith(b"\n"):
        body = memoryview(raw)[:-TRAILER_SIZE]
        if hashlib.sha256(body).hexdigest().encode("ascii") != tail[len(TRAILER):-1]:
            raise ValueError(f"{name}: damaged (its SHA-256 does not match): the file "
                             "cannot be read as written")
    del raw
    try:
        # times stay numbers of days (other readers decode them as durations, or as
        # dates when the run has a start date)
        with xr.open_dataset(name, engine="netcdf4", decode_timedelta=False,
                             decode_times=False) as ds:
            return ds.load()
    except OSError as err:
        if "Unknown file format" in str(err) or "HDF error" in str(err):
            raise ValueError(f"{name}: not a NetCDF file, or a damaged one") from None
        raise
    except (RuntimeError, ValueError) as err:   # the library's checksum or read errors
        raise ValueError(f"{name}: damaged ({err}): the file cannot be read as written") \
            from None
