"""The inputs of a build counted on the machine's cores: each input cut
into parts, every ``jobs``-th part counted here, the others in worker
processes, and the parts joined in the text's order (see zantu.counting)."""

from __future__ import annotations

import concurrent.futures
import multiprocessing
import os
import shutil
import signal
import sys
import tempfile
import threading
from typing import List, Optional, Sequence, Tuple, Union

from zantu._native import _split_ahead
from zantu.chain import MarkovChain
from zantu.counting import (BLOCK, Counted, Joiner, Part, count_part_to_file, counted_from, on_one_core, part_blocks,
                            split)
from zantu.terminal import READ_ERRORS, Bar, UserError, file_size, message_of, open_input, text_blocks
from zantu.text import RunsBuilder


def _streamed(name: str) -> bool:
    """Whether an input is read as a stream, whole and here: standard input,
    and a pipe or other file that is not a regular one (it cannot be cut
    into parts, nor opened twice)."""
    return name == "-" or (os.path.exists(name) and not os.path.isfile(name))


def _check_readable(name: str) -> None:
    if name != "-":
        with open_input(name):
            pass


class _Parts:
    """Counts the parts of the inputs in their order: every ``jobs``-th part
    here, straight into the chain, the others in ``jobs - 1`` worker
    processes, submitted at once, so that they count while this process
    counts and joins. Workers are forked while this process runs no other
    thread (a progress bar may start one, the runs index native ones), else
    started by a fork server."""

    # This process's parts are larger: a worker also writes its result to a
    # file, which this process reads back, before the two are joined.
    SHARE_HERE = 1.1

    def __init__(self, parts: List[Part], order: int, jobs: int, split_as: str = "words", runs: bool = False) -> None:
        self._order = order
        self._pool: Optional[concurrent.futures.ProcessPoolExecutor] = None
        self._futures: List[Optional[concurrent.futures.Future[Union[str, Counted]]]] = []
        self._folder: Optional[str] = None  # where workers leave their results
        if jobs > 1 and len(parts) > 1:
            self._folder = tempfile.mkdtemp(prefix="zantu-build-")
            method = "fork" if _one_thread() else "forkserver"
            self._pool = concurrent.futures.ProcessPoolExecutor(jobs - 1, mp_context=multiprocessing.get_context(method),
                                                                initializer=_worker_start)
        for k, part in enumerate(parts):
            pool = None if k % jobs == 0 or _streamed(part.path) else self._pool
            if pool is None or self._folder is None:
                self._futures.append(None)
            else:
                self._futures.append(pool.submit(count_part_to_file, part, order, split_as, runs, self._folder))

    def add(self, k: int, part: Part, joiner: Joiner, bar: Bar, last: bool = False) -> None:
        """Counts part `k` into `joiner` (here, or its worker's chain);
        ``last``: the last part of the last text."""
        future = self._futures[k]
        self._futures[k] = None
        if _streamed(part.path):
            joiner.add_blocks(text_blocks(part.path, bar))  # the bar moves as it is read
            return
        if future is not None:
            joiner.add(counted_from(future.result()), last)
        else:
            joiner.add_blocks(part_blocks(part))
        bar.update(part.size if part.size is not None else file_size(part.path) or 0)

    def close(self, failed: bool) -> None:
        if self._pool is None:
            return
        if failed:
            # Workers still counting are stopped, not waited for.
            for process in list(getattr(self._pool, "_processes", {}).values()):
                process.terminate()
        self._pool.shutdown(wait=True, cancel_futures=True)
        self._pool = None
        if self._folder is not None:
            shutil.rmtree(self._folder, ignore_errors=True)  # results never joined
            self._folder = None


def _one_thread() -> bool:
    """Whether this process runs one thread alone, its own threads (the
    native ones of the runs index among them, which ``threading`` does not
    see) and Python's: a process forked while another thread holds a lock
    (the allocator's) may wait for it for ever."""
    try:
        return len(os.listdir("/proc/self/task")) == 1
    except OSError:  # no /proc: Python's threads alone are known
        return threading.active_count() == 1


def _worker_start() -> None:
    """A worker leaves Ctrl-C to the command, ends when told to, and
    counts on one core (see count_texts)."""
    _split_ahead(False)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)


def count_texts(names: Sequence[str], order: int, jobs: int, skip_bad: bool, bar: Bar,
                split_as: str = "words", runs: bool = False) -> Tuple[MarkovChain, int, Optional[RunsBuilder]]:
    """The chain of the texts, how many of them were skipped (with
    ``skip_bad``: a text that cannot be read adds nothing), and with
    ``runs`` the runs of their sentences. The texts are counted by ``jobs``
    processes, each on one core: none splits its text ahead on another."""
    with on_one_core():
        return _count_texts(names, order, jobs, skip_bad, bar, split_as, runs)


def _count_texts(names: Sequence[str], order: int, jobs: int, skip_bad: bool, bar: Bar,
                 split_as: str, runs: bool) -> Tuple[MarkovChain, int, Optional[RunsBuilder]]:
    if jobs <= 1 and not skip_bad:
        straight = Joiner(order, split_as, runs)
        for name in names:
            try:
                straight.add_blocks(text_blocks(name, bar, BLOCK))
            except READ_ERRORS as e:
                raise UserError(f"cannot read {name}: {message_of(e)}") from None
            straight.next_text()
        return straight.result(), 0, straight.runs
    texts: List[List[Part]] = []
    for name in names:
        try:
            if _streamed(name):
                texts.append([Part(name)])
                continue
            _check_readable(name)
            texts.append(split(name, jobs, _Parts.SHARE_HERE))
        except UserError as e:
            if not skip_bad:
                raise
            print(f"zantu: skipped: {e}", file=sys.stderr)
            texts.append([])
    joiner = Joiner(order, split_as, runs)
    skipped = sum(1 for parts in texts if not parts)
    every = [part for parts in texts for part in parts]
    counter = _Parts(every, order, jobs, split_as, runs)
    failed = True
    try:
        k = 0
        for parts in texts:
            if not parts:
                continue
            name, first = parts[0].path, k
            k += len(parts)
            # With skip_bad a text is counted apart and joined once it
            # was read whole: a text that turns out bad adds nothing.
            into = Joiner(order, split_as, runs) if skip_bad else joiner
            try:
                for j, part in enumerate(parts):
                    last = not skip_bad and first + j == len(every) - 1
                    counter.add(first + j, part, into, bar, last)
            except READ_ERRORS as e:
                if not skip_bad:
                    raise UserError(f"cannot read {name}: {message_of(e)}") from None
                print(f"zantu: skipped {name}: {message_of(e)}", file=sys.stderr)
                skipped += 1
                continue
            if into is not joiner:
                joiner.add(Counted(into.result(), broken=True, runs=into.runs))
            joiner.next_text()
        failed = False
    finally:
        counter.close(failed)
    return joiner.result(), skipped, joiner.runs
