"""Writing a file so that it is either whole or not there: nothing lost on failure."""
from __future__ import annotations

import contextlib
import os
import tempfile
from typing import Iterator

__all__ = ["replacing"]


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
