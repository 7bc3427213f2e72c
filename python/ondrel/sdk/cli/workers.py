"""Handling files in other processes: a pool of worker processes (``--jobs``) and a Dask cluster (``--dask``).

Both yield each file's result in input order, as ``files.run_per_file`` hands
them on. A worker process handles one file at a time, so when one dies (a
signal, a crash) only its own file is affected: it is handed to a fresh worker
once more, and a file that kills a worker twice gets the error line "worker
died (signal 7) while handling PATH". The cluster path has deadlines: connecting,
a scheduler without workers and a scheduler that stops answering each end the
command with one error line after ``--dask-timeout`` seconds.
"""

import collections
import contextlib
import os
import signal
import threading
import time
from typing import NamedTuple

from .files import FileError, attempt, describe, strip_path

DASK_EXTRA = "pip install 'ondrel[dask]'"
DEFAULT_DASK_TIMEOUT = 30.0
# A file is handed to a fresh worker once after its worker died; the second death is its error.
WORKER_DEATHS_ALLOWED = 1


# ---------------------------------------------------------------- worker processes


# A worker starts with these blocked and unblocks them once its own handlers are set: one stopped while it
# is still starting up then dies by the default action, instead of running the main process's handlers
# (and printing their traceback) in the copy it was forked from.
_WORKER_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


def _serve(connection, task, args):
    """A worker process: handles the (index, path) pairs the main process sends, one at a time, until None."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # an interrupt is the main process's to handle
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _WORKER_SIGNALS)
    while True:
        try:
            item = connection.recv()
        except (EOFError, OSError):
            return
        if item is None:
            return
        index, path = item
        result = attempt(task, path, *args)
        try:
            connection.send((index, result))
        except (OSError, ValueError):
            return
        except Exception as e:  # a result that does not pickle
            connection.send((index, FileError(path, f"the result could not be passed on ({describe(e)})")))


def death_reason(exitcode, path):
    how = f"signal {-exitcode}" if exitcode is not None and exitcode < 0 else f"exit status {exitcode}"
    return f"worker died ({how}) while handling {path}"


class _Worker:
    def __init__(self, context, task, args):
        self.connection, child = context.Pipe()
        self.process = context.Process(target=_serve, args=(child, task, args), daemon=True)
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, _WORKER_SIGNALS)
        try:
            self.process.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        child.close()
        self.index = None  # the file it is handling

    def hand(self, index, path):
        self.index = index
        self.connection.send((index, path))

    def stop(self):
        try:
            self.connection.send(None)
        except (OSError, ValueError):
            pass

    def end(self, wait):
        self.process.join(wait)
        if self.process.exitcode is None:
            self.process.terminate()
            self.process.join()
        self.connection.close()


def pool_results(task, paths, args, workers):
    """The results of ``task(path, *args)`` for ``paths``, in order, from ``workers`` worker processes."""
    import multiprocessing
    from multiprocessing.connection import wait

    context = multiprocessing.get_context()
    waiting = collections.deque(range(len(paths)))  # indexes not yet handed out (retries first)
    done, deaths, idle_deaths = {}, collections.Counter(), 0
    pool = [_Worker(context, task, args) for _ in range(min(workers, len(paths)))]
    finished = False
    try:
        for index in range(len(paths)):
            while index not in done:
                for worker in pool:
                    if worker.index is None and waiting:
                        try:
                            worker.hand(waiting[0], paths[waiting[0]])
                            waiting.popleft()
                        except (OSError, ValueError):  # it died idle: found below
                            worker.index = -1
                busy = [worker for worker in pool if worker.index is not None]
                ready = set(wait([w.connection for w in busy] + [w.process.sentinel for w in busy]))
                for worker in busy:
                    if worker.connection not in ready and worker.process.sentinel not in ready:
                        continue
                    try:
                        if worker.connection.poll():
                            number, result = worker.connection.recv()
                            done[number] = result
                            worker.index = None
                            continue
                    except (EOFError, OSError):
                        pass
                    if worker.process.is_alive() and worker.process.sentinel not in ready:
                        continue
                    pool.remove(worker)
                    worker.end(0)
                    lost = worker.index
                    if lost is not None and lost >= 0:
                        deaths[lost] += 1
                        if deaths[lost] > WORKER_DEATHS_ALLOWED:
                            done[lost] = FileError(paths[lost], death_reason(worker.process.exitcode, paths[lost]))
                        else:
                            waiting.appendleft(lost)
                    else:  # it died before it was given a file
                        idle_deaths += 1
                        if idle_deaths > 2 * workers:
                            how = death_reason(worker.process.exitcode, "no file")
                            raise RuntimeError(f"worker processes end as they start: {how}")
                    pool.append(_Worker(context, task, args))
            yield done.pop(index)
        finished = True
    finally:
        for worker in pool:
            worker.stop()
        for worker in pool:  # after an interrupt or an error, the work left is abandoned
            worker.end(5 if finished else 0)


# ---------------------------------------------------------------- Dask


class DaskCluster(NamedTuple):
    """``--dask ADDRESS`` and ``--dask-timeout SECONDS``."""

    address: str
    timeout: float = DEFAULT_DASK_TIMEOUT


def cluster(args):
    """The Dask cluster the options name, or None."""
    address = getattr(args, "dask", None)
    return None if address is None else DaskCluster(address, args.dask_timeout)


class _NoAnswer(Exception):
    pass


def _within(seconds, call, *args, **kwargs):
    """``call(*args, **kwargs)`` in a helper thread; _NoAnswer when it has not returned after ``seconds``
    (the thread is then left behind: a daemon, it does not hold up the end of the program)."""
    box = {}

    def run():
        try:
            box["value"] = call(*args, **kwargs)
        except BaseException as e:  # handed to the caller
            box["error"] = e

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(seconds)
    if thread.is_alive():
        raise _NoAnswer
    if "error" in box:
        raise box["error"]
    return box["value"]


@contextlib.contextmanager
def _quiet_logging():
    """The Dask client library logs (tracebacks included) to stderr; what matters reaches the user as error
    lines instead."""
    import logging

    logging.disable(logging.CRITICAL)
    try:
        yield
    finally:
        logging.disable(logging.NOTSET)


class _Watch:
    """Whether the cluster can still finish the work: a scheduler that answers, with workers."""

    def __init__(self, client, where):
        self.client = client
        self.where = where
        self.without_workers_since = None

    def check(self):
        """FileError once the scheduler has not answered, or has had no worker, for the timeout."""
        timeout = self.where.timeout
        try:
            info = _within(timeout, self.client.scheduler_info)
        except _NoAnswer:
            raise FileError(self.where.address, f"the Dask scheduler did not answer within {timeout:g} s") from None
        if info.get("workers"):
            self.without_workers_since = None
            return
        now = time.monotonic()
        if self.without_workers_since is None:
            self.without_workers_since = now
        elif now - self.without_workers_since >= timeout:
            raise FileError(self.where.address, f"the Dask scheduler has had no workers for {timeout:g} s")


def dask_results(task, paths, args, where):
    """The results computed on the Dask cluster ``where`` (a DaskCluster), in order.

    The workers get absolute paths (they run in other folders, usually on
    other hosts that see the same file system); what they report is named by
    the path as given here.
    """
    import asyncio

    try:
        from distributed import Client
        from distributed import TimeoutError as DaskTimeoutError
    except ImportError:
        raise FileError(where.address, f"--dask needs the 'distributed' package ({DASK_EXTRA})") from None
    timeout = where.timeout
    with _quiet_logging():
        try:
            # The library's own connect timeout does not cover a server that accepts and never answers.
            client = _within(timeout + 1, Client, where.address, timeout=timeout, set_as_default=False)
        except _NoAnswer:
            raise FileError(where.address, f"cannot connect to the Dask scheduler (no answer within {timeout:g} s)") \
                from None
        except Exception as e:
            raise FileError(where.address, f"cannot connect to the Dask scheduler ({describe(e)})") from None
        try:
            watch = _Watch(client, where)
            poll = min(1.0, timeout / 4)
            absolute = [os.path.abspath(path) for path in paths]
            futures = [client.submit(attempt, task, path, *args, pure=False) for path in absolute]
            for path, full, future in zip(paths, absolute, futures):
                while True:
                    try:
                        result = future.result(timeout=poll)
                    except (TimeoutError, asyncio.TimeoutError, DaskTimeoutError):
                        watch.check()
                        continue
                    except Exception as e:  # the worker died, or the scheduler went away
                        result = FileError(path, f"Dask worker failed ({describe(e).splitlines()[0]})")
                    break
                if isinstance(result, FileError) and result.path == full:
                    result = FileError(path, strip_path(result.reason, full))
                yield result
        finally:
            try:
                _within(min(timeout, 5), client.close)
            except Exception:  # _NoAnswer included: nothing is left to report
                pass
