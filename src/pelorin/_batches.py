"""Many independent runs on Dask, in batches, with results in submission order.

Every item is computed by a pure function of the item alone, and results are placed by
the item's index, so a result never depends on the number of workers, the batch size or
the order in which batches finish; a batch lost with a dying worker is simply computed
again elsewhere by the scheduler.
"""
from __future__ import annotations

import contextlib
import math
import os
import signal
import threading
import time
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple

__all__ = ["Failure", "run_batches", "auto_batch_size"]

# A batch should take at least this long, so that the scheduler's cost per task (about a
# millisecond on a local cluster) stays well below 5 % of the work.
TARGET_BATCH_SECONDS = 0.2


class Failure:
    """Why one item failed: the exception's class name and its message."""

    __slots__ = ("kind", "message")

    def __init__(self, kind: str, message: str) -> None:
        self.kind = kind
        self.message = message

    def __repr__(self) -> str:
        return f"Failure({self.kind!r}, {self.message!r})"

    def __str__(self) -> str:
        return f"{self.kind}: {self.message}"

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, Failure) and other.kind == self.kind
                and other.message == self.message)

    def __reduce__(self):
        return (Failure, (self.kind, self.message))


def _run_batch(fn: Callable[[Any], Any], batch: Sequence[Tuple[int, Any]]
               ) -> List[Tuple[int, Any]]:
    """Run `fn` on every item of a batch; a failing item becomes a Failure, never drops
    the batch."""
    out = []
    for index, item in batch:
        try:
            out.append((index, fn(item)))
        except Exception as exc:  # recorded per item with its reason
            out.append((index, Failure(type(exc).__name__, str(exc))))
    return out


def auto_batch_size(seconds_per_item: float, items: int, workers: int) -> int:
    """Batch size that keeps scheduling overhead small yet gives every worker work.

    Batches last about TARGET_BATCH_SECONDS, but there are at least four batches per
    worker when the items allow it (for balance, and so that a lost worker costs little).
    """
    if items <= 0:
        return 1
    by_time = max(1, math.ceil(TARGET_BATCH_SECONDS / max(seconds_per_item, 1e-9)))
    by_balance = max(1, math.ceil(items / (4 * max(workers, 1))))
    return max(1, min(by_time, by_balance))


@contextlib.contextmanager
def _client(client: Any = None, scheduler: Optional[str] = None,
            processes: bool = True, workers: Optional[int] = None) -> Iterator[Any]:
    """The Dask client to use: the caller's, one connected to `scheduler`, or an embedded
    local cluster over this machine's cores (closed on exit)."""
    from distributed import Client, LocalCluster

    if client is not None:
        yield client
        return
    if scheduler is not None:
        with Client(scheduler, set_as_default=False) as c:
            yield c
        return
    n = workers or os.cpu_count() or 1
    with LocalCluster(n_workers=n if processes else 1, threads_per_worker=1 if processes else n,
                      processes=processes, dashboard_address=None,
                      silence_logs=40) as cluster, Client(cluster, set_as_default=False) as c:
        yield c


def _workers(client: Any) -> int:
    info = client.scheduler_info().get("workers", {})
    return max(1, sum(w.get("nthreads", 1) for w in info.values()))


def run_batches(fn: Callable[[Any], Any], items: Sequence[Any], *, client: Any = None,
                scheduler: Optional[str] = None, batch_size: Optional[int] = None,
                seconds_per_item: Optional[float] = None, processes: bool = True,
                workers: Optional[int] = None, progress: bool = True,
                desc: str = "runs", synchronous: bool = False) -> List[Any]:
    """Compute ``fn(item)`` for every item on Dask; results in the order of `items`.

    Parameters
    ----------
    fn : callable
        A picklable function of one item (a module-level function or a partial of one).
    items : sequence
        The items (picklable).
    client : distributed.Client, optional
        An existing client to use as it is (not closed here).
    scheduler : str, optional
        Address of an existing scheduler, e.g. ``"tcp://10.0.0.5:8786"``.
    batch_size : int, optional
        Items per task; by default sized from `seconds_per_item` (see `auto_batch_size`).
    seconds_per_item : float, optional
        Measured cost of one item, used to size batches.
    processes, workers : optional
        Shape of the embedded local cluster when neither `client` nor `scheduler` is given.
    progress : bool
        Show a progress bar on standard error.
    synchronous : bool
        Run every batch here, one after the other, without Dask (for debugging and as
        the serial reference): the same function on the same batches.

    Returns
    -------
    list
        One entry per item: ``fn(item)``, or a `Failure` with the reason the item failed.

    Ctrl-C cancels the outstanding batches before KeyboardInterrupt propagates.
    """
    from distributed import as_completed
    from dask.base import tokenize
    from tqdm import tqdm

    items = list(items)
    results: List[Any] = [None] * len(items)
    if not items:
        return results
    if synchronous:
        size = int(batch_size or len(items))
        indexed = list(enumerate(items))
        with tqdm(total=len(items), desc=desc, unit="run", disable=not progress,
                  leave=False) as bar:
            for i in range(0, len(indexed), size):
                for index, value in _run_batch(fn, indexed[i:i + size]):
                    results[index] = value
                    bar.update(1)
        return results
    with _client(client, scheduler, processes, workers) as c:
        size = batch_size or auto_batch_size(seconds_per_item or TARGET_BATCH_SECONDS,
                                             len(items), _workers(c))
        if int(size) != size or size < 1:
            raise ValueError(f"batch_size must be a positive integer, got {batch_size!r}")
        size = int(size)
        indexed = list(enumerate(items))
        batches = [indexed[i:i + size] for i in range(0, len(indexed), size)]
        token = tokenize(fn, time.time_ns(), os.getpid())
        futures: list = []
        bar = tqdm(total=len(items), desc=desc, unit="run", disable=not progress, leave=False)
        # Ctrl-C sets a flag that the loop below turns into KeyboardInterrupt after
        # cancelling what is outstanding: raised inside the client's own waiting, it
        # can be lost there.
        interrupted = threading.Event()
        main = threading.current_thread() is threading.main_thread()
        previous = signal.signal(signal.SIGINT, lambda *_: interrupted.set()) if main else None
        try:
            for k, b in enumerate(batches):
                futures.append(c.submit(_run_batch, fn, b, key=f"pelorin-{desc}-{token}-{k}",
                                        pure=False))
                if interrupted.is_set():
                    raise KeyboardInterrupt
            finished = as_completed(futures, loop=c.loop)
            while not finished.is_empty():
                if interrupted.is_set():
                    raise KeyboardInterrupt
                done = finished.next_batch(block=False)
                if not done:
                    time.sleep(0.02)
                for fut in done:
                    part = fut.result()
                    for index, value in part:
                        results[index] = value
                    bar.update(len(part))
        except BaseException:
            c.cancel(futures)
            raise
        finally:
            bar.close()
            if main:
                signal.signal(signal.SIGINT, previous)
    return results
