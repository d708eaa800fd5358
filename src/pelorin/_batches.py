"""Many independent runs on Dask, in batches, with results in submission order.

Every item is computed by a pure function of the item alone, and results are placed by
the item's index, so a result never depends on the number of workers, the batch size or
the order in which batches finish; a batch lost with a dying worker is simply computed
again elsewhere by the scheduler.
"""
from __future__ import annotations

import asyncio
import contextlib
import itertools
import math
import os
import queue
import signal
import threading
import time
from typing import Any, Callable, Iterable, Iterator, List, Optional, Sequence, Tuple

try:    # optional (the 'dask' extra): a synchronous sweep runs without it
    import dask
    from dask.base import tokenize
except ImportError:
    dask = None  # type: ignore[assignment]
from tqdm import tqdm

__all__ = ["Failure", "run_batches", "batch_sizes", "NoWorkersError", "LOCAL_HOST"]

# The embedded cluster listens on the loopback interface only: its scheduler and workers
# run whatever they are sent, so no other machine may reach them unless asked for.
LOCAL_HOST = "127.0.0.1"
# How long a sweep waits for the first worker of a scheduler or client before it gives up.
WORKER_WAIT_SECONDS = 60.0

# Batches shrink as the sweep goes on (guided self-scheduling: Polychronopoulos & Kuck,
# IEEE Trans. Computers 36, 1987): large ones first, for a small share of the scheduler's
# cost of a few milliseconds per task, then smaller ones, so that the workers run out of
# work within one small batch of each other. A batch lasts at most MAX_BATCH_SECONDS (a
# lost worker costs little, the progress bar moves) and at least MIN_BATCH_SECONDS.
MIN_BATCH_SECONDS = 0.025
MAX_BATCH_SECONDS = 0.4
# The embedded cluster's housekeeping, which on a small machine competes with the runs for
# its cores: the workers' statistical profiler (it samples every thread's stack a hundred
# times a second under the GIL, 4-5 % of a run here), the event loops' health checks every
# 20 ms, work stealing every 100 ms (the scheduler queues these independent tasks and hands
# them to workers as they free up, so there is nothing to steal) and the resource monitors.
# Together about 3 % of the throughput of two cores.
EMBEDDED_CLUSTER_CONFIG = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
    "distributed.scheduler.work-stealing": False,
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.worker.memory.monitor-interval": "1s",
}
# Every batch takes this share of the work left, divided among the workers.
_GUIDED_SHARE = 3


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

    @classmethod
    def of(cls, exc: BaseException) -> "Failure":
        return cls(type(exc).__name__, str(exc))


class NoWorkersError(TimeoutError):
    """The Dask scheduler has no worker to run the batches."""


class _Batch:
    """A batch's (index, item) pairs, opaque to Dask: a list or tuple argument is walked
    element by element when a task is submitted (for keys of other tasks), which for a
    batch of runs held the GIL long enough to stall the workers' first runs."""

    __slots__ = ("pairs",)

    def __init__(self, pairs: Sequence[Tuple[int, Any]]) -> None:
        self.pairs = pairs

    def __reduce__(self):
        return (_Batch, (self.pairs,))


def _run_batch(fn: Callable[[Any], Any], batch: _Batch,
               batched: bool = False) -> List[Tuple[int, Any]]:
    """Run `fn` on every item of a batch (or, `batched`, on the batch's items at once);
    a failing item becomes a Failure, never drops the batch."""
    if batched:
        values = fn([item for _, item in batch.pairs])
        if len(values) != len(batch.pairs):
            raise RuntimeError(f"{fn!r} gave {len(values)} results for "
                               f"{len(batch.pairs)} items")
        return [(index, value) for (index, _), value in zip(batch.pairs, values)]
    out = []
    for index, item in batch.pairs:
        try:
            out.append((index, fn(item)))
        except Exception as exc:  # recorded per item with its reason
            out.append((index, Failure.of(exc)))
    return out


def batch_sizes(items: int, seconds_per_item: float, workers: int,
                batch_size: Optional[int] = None) -> List[int]:
    """Sizes of the successive batches of `items` items.

    A fixed `batch_size` gives equal batches (the last one shorter). Otherwise every batch
    takes a third of the items left per worker, within MIN_BATCH_SECONDS and
    MAX_BATCH_SECONDS of work at `seconds_per_item`.
    """
    if batch_size is not None:
        if isinstance(batch_size, bool) or int(batch_size) != batch_size or batch_size < 1:
            raise ValueError(f"batch_size must be a positive integer, got {batch_size!r}")
        size = int(batch_size)
        return [min(size, items - i) for i in range(0, items, size)]
    sizes: List[int] = []
    left = items
    while left > 0:
        size = min(_guided(left, seconds_per_item, workers), left)
        sizes.append(size)
        left -= size
    return sizes


def _guided(left: int, seconds_per_item: float, workers: int) -> int:
    """The size of the next batch when `left` items are left: a third of them per worker,
    within MIN_BATCH_SECONDS and MAX_BATCH_SECONDS of work at `seconds_per_item`."""
    per = max(float(seconds_per_item), 1e-9)
    small = max(1, math.ceil(MIN_BATCH_SECONDS / per))
    large = max(small, math.ceil(MAX_BATCH_SECONDS / per))
    return min(max(math.ceil(left / (_GUIDED_SHARE * max(workers, 1))), small), large)


def _split(pairs: Sequence[Tuple[int, Any]], sizes: Sequence[int]) -> List[_Batch]:
    starts = itertools.accumulate([0, *sizes])
    return [_Batch(pairs[start:start + size]) for start, size in zip(starts, sizes)]


def _with_workers(c: Any, name: str) -> Any:
    """`c`, once its scheduler has a worker; NoWorkersError naming the scheduler when none
    joins within WORKER_WAIT_SECONDS (the batches would wait for ever)."""
    try:
        c.wait_for_workers(1, timeout=WORKER_WAIT_SECONDS)
    except (TimeoutError, asyncio.TimeoutError):
        raise NoWorkersError(f"the Dask scheduler {name} has no workers: none joined within "
                             f"{WORKER_WAIT_SECONDS:g} s (start some with `dask worker "
                             f"{name}`)") from None
    return c


@contextlib.contextmanager
def _client(client: Any = None, scheduler: Optional[str] = None,
            processes: bool = True, workers: Optional[int] = None,
            host: str = LOCAL_HOST) -> Iterator[Any]:
    """The Dask client to use: the caller's, one connected to `scheduler`, or an embedded
    local cluster over this machine's cores listening on `host` (closed on exit)."""
    if client is not None:
        yield _with_workers(client, getattr(client.scheduler, "address", None) or "of the client")
        return
    try:
        # Deferred: distributed adds about 0.27 s to every import of the package (the
        # command, worker processes), and only a sweep on a cluster needs it.
        from distributed import Client, LocalCluster
        if dask is None:
            raise ImportError("No module named 'dask'")
    except ImportError as err:
        raise ImportError("a sweep on Dask needs the packages dask and distributed "
                          "(pip install 'pelorin[dask]', or Debian's python3-distributed); "
                          f"scheduler='synchronous' runs without them ({err})") from None
    if scheduler is not None:
        with Client(scheduler, set_as_default=False) as c:
            yield _with_workers(c, scheduler)
        return
    n = workers or os.cpu_count() or 1
    # Every server of the cluster on `host`: the scheduler and the workers (threads talk
    # in-process), and the status pages of both, which listen on all interfaces unless
    # given an address.
    where = {"host": host} if processes else {}
    web = f"[{host}]:0" if ":" in host else f"{host}:0"
    with contextlib.ExitStack() as stack:
        with dask.config.set(EMBEDDED_CLUSTER_CONFIG):
            cluster = stack.enter_context(LocalCluster(
                n_workers=n if processes else 1, threads_per_worker=1 if processes else n,
                processes=processes, dashboard_address=web, worker_dashboard_address=web,
                silence_logs=40, **where))
            c = stack.enter_context(Client(cluster, set_as_default=False))
        yield c


def _workers(client: Any) -> int:
    info = client.scheduler_info().get("workers", {})
    return max(1, sum(w.get("nthreads", 1) for w in info.values()))


def run_batches(fn: Callable[[Any], Any], items: Iterable[Any], *, client: Any = None,
                scheduler: Optional[str] = None, batch_size: Optional[int] = None,
                seconds_per_item: Optional[float] = None, processes: bool = True,
                workers: Optional[int] = None, progress: bool = True,
                desc: str = "runs", synchronous: bool = False,
                batched: bool = False, host: str = LOCAL_HOST,
                expected: Optional[int] = None) -> List[Any]:
    """Compute ``fn(item)`` for every item on Dask; results in the order of `items`.

    Parameters
    ----------
    fn : callable
        A picklable function of one item (a module-level function or a partial of one).
    items : sequence or iterator
        The items (picklable).  An iterator is read as the batches go: each batch is
        submitted as soon as it is full, so that the workers run the first items while
        the caller's iterator makes the next ones (`expected`, at least the number of
        items it will give, sizes the batches).
    client : distributed.Client, optional
        An existing client to use as it is (not closed here).
    scheduler : str, optional
        Address of an existing scheduler, e.g. ``"tcp://10.0.0.5:8786"``.
    batch_size : int, optional
        Items per task; by default batches shrink as the work left does (see `batch_sizes`).
    seconds_per_item : float, optional
        Measured cost of one item, used to size batches.
    processes, workers : optional
        Shape of the embedded local cluster when neither `client` nor `scheduler` is given.
    host : str, default "127.0.0.1"
        The interface the embedded local cluster listens on (this machine only).
    progress : bool
        Show a progress bar on standard error.
    batched : bool
        `fn` takes a list of items and gives one result (or `Failure`) per item.
    synchronous : bool
        Run every batch here, one after the other, without Dask (for debugging and as
        the serial reference): the same function on the same batches.

    Returns
    -------
    list
        One entry per item: ``fn(item)``, or a `Failure` with the reason the item failed.

    Ctrl-C cancels the outstanding batches before KeyboardInterrupt propagates, with
    the results so far (None for the items not finished) as its `partial_results`.
    NoWorkersError: the scheduler has had no worker for WORKER_WAIT_SECONDS.
    """
    if synchronous or not isinstance(items, Iterator):
        items = list(items)
    else:
        return _run_stream(fn, items, client=client, scheduler=scheduler,
                           batch_size=batch_size, seconds_per_item=seconds_per_item,
                           processes=processes, workers=workers, progress=progress,
                           desc=desc, batched=batched, host=host, expected=expected)
    results: List[Any] = [None] * len(items)
    if not items:
        return results
    indexed = list(enumerate(items))
    if synchronous:
        sizes = batch_sizes(len(items), 0.0, 1, batch_size or len(items))
        with tqdm(total=len(items), desc=desc, unit="run", disable=not progress,
                  leave=False) as bar:
            try:
                for batch in _split(indexed, sizes):
                    for index, value in _run_batch(fn, batch, batched):
                        results[index] = value
                        bar.update(1)
            except KeyboardInterrupt as err:
                err.partial_results = results  # type: ignore[attr-defined]
                raise
        return results
    with _client(client, scheduler, processes, workers, host) as c:
        sizes = batch_sizes(len(items), seconds_per_item or MAX_BATCH_SECONDS, _workers(c),
                            batch_size)
        token = tokenize(fn, time.time_ns(), os.getpid())
        futures: list = []
        # Finished batches arrive here from the client's callback thread; Ctrl-C puts
        # None, so the loop below wakes at once, cancels what is outstanding and raises
        # KeyboardInterrupt (raised inside the client's own waiting, it can be lost).
        finished: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        interrupted = threading.Event()

        def on_interrupt(*_: Any) -> None:
            interrupted.set()
            finished.put(None)

        main = threading.current_thread() is threading.main_thread()
        previous = signal.signal(signal.SIGINT, on_interrupt) if main else None
        bar = tqdm(total=len(items), desc=desc, unit="run", disable=not progress, leave=False)
        try:
            # One graph for all batches: the scheduler takes it in one message instead
            # of one per batch, and runs them in the order given, the large ones first
            # (the batch numbers are zero-padded so that keys sort in that order too).
            batches = _split(indexed, sizes)
            futures = c.map(_run_batch, [fn] * len(batches), batches, [batched] * len(batches),
                            pure=False,
                            key=[f"pelorin-{desc}-{token}-{k:08d}" for k in range(len(batches))])
            for fut in futures:
                fut.add_done_callback(finished.put)
            if interrupted.is_set():
                raise KeyboardInterrupt
            for _ in futures:
                fut = finished.get()
                if interrupted.is_set():
                    raise KeyboardInterrupt
                part = fut.result()
                for index, value in part:
                    results[index] = value
                bar.update(len(part))
        except BaseException as err:
            c.cancel(futures)
            if isinstance(err, KeyboardInterrupt):   # the batches finished are kept
                err.partial_results = results  # type: ignore[attr-defined]
            raise
        finally:
            bar.close()
            if main:
                signal.signal(signal.SIGINT, previous)
    return results


def _run_stream(fn: Callable[[Any], Any], items: Iterator[Any], *, client: Any,
                scheduler: Optional[str], batch_size: Optional[int],
                seconds_per_item: Optional[float], processes: bool, workers: Optional[int],
                progress: bool, desc: str, batched: bool, host: str,
                expected: Optional[int]) -> List[Any]:
    """`run_batches` of the items of an iterator, each batch submitted once full (the
    scheduler runs them in the order submitted) and the finished ones fetched while the
    iterator makes the next items."""
    results: List[Any] = []
    with _client(client, scheduler, processes, workers, host) as c:
        per = seconds_per_item or MAX_BATCH_SECONDS
        nw = _workers(c)
        token = tokenize(fn, time.time_ns(), os.getpid())
        futures: list = []
        finished: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        interrupted = threading.Event()

        def on_interrupt(*_: Any) -> None:
            interrupted.set()
            finished.put(None)

        main = threading.current_thread() is threading.main_thread()
        previous = signal.signal(signal.SIGINT, on_interrupt) if main else None
        bar = tqdm(total=expected, desc=desc, unit="run", disable=not progress, leave=False)
        done = 0

        def collect(fut: Any) -> None:
            nonlocal done
            if fut is None or interrupted.is_set():
                raise KeyboardInterrupt
            part = fut.result()
            for index, value in part:
                results[index] = value
            bar.update(len(part))
            done += 1

        def submit(pairs: list) -> None:
            fut = c.submit(_run_batch, fn, _Batch(pairs), batched, pure=False,
                           key=f"pelorin-{desc}-{token}-{len(futures):08d}")
            futures.append(fut)
            fut.add_done_callback(finished.put)

        try:
            pairs: list = []
            size = batch_size or _guided(max(expected or 0, 1), per, nw)
            for index, item in enumerate(items):
                if interrupted.is_set():
                    raise KeyboardInterrupt
                results.append(None)
                pairs.append((index, item))
                if len(pairs) >= size:
                    submit(pairs)
                    pairs = []
                    size = batch_size or _guided(max((expected or 0) - index - 1, 1), per, nw)
                    while not finished.empty():     # the results so far, while we wait
                        collect(finished.get())
            if pairs:
                submit(pairs)
            while done < len(futures):
                collect(finished.get())
        except BaseException as err:
            c.cancel(futures)
            if isinstance(err, KeyboardInterrupt):   # the batches finished are kept
                err.partial_results = results  # type: ignore[attr-defined]
            raise
        finally:
            bar.close()
            if main:
                signal.signal(signal.SIGINT, previous)
    return results
