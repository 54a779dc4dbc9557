"""A chain saved to a path and loaded from one: the compressed form, written
and read piece by piece by the streaming writer and reader; a name ending in
.gz is written through gzip, and gzip is read wherever its magic bytes are.
A file is written beside its path and renamed over it once whole, so that a
failed or interrupted save leaves what was there."""

from __future__ import annotations

import gzip
import io
import os
import tempfile
from contextlib import contextmanager
from typing import IO, Iterator, TypeVar, Union

import zantu_cjson

from zantu._native import TextSink as TextSink  # re-exported: the text file documents are written into
from zantu.chain import MarkovChain

GZIP_MAGIC = b"\x1f\x8b"
# Level 6: a third of the time of level 9, for a file about 1% larger.
GZIP_LEVEL = 6

PathLike = Union[str, "os.PathLike[str]"]
C = TypeVar("C", bound=MarkovChain)


def file_mode(path: str) -> int:
    """The permissions a file written at `path` gets: those of the file it
    replaces, or the usual ones for a new file."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


@contextmanager
def atomic_binary(path: PathLike) -> Iterator[IO[bytes]]:
    """A binary file for `path`, written to a temporary file in the same
    folder and renamed over `path` once it is complete; on any error the
    temporary file is removed."""
    path = os.fspath(path)
    if os.path.isdir(path):
        raise IsADirectoryError(f"cannot write {path}: is a directory")
    try:
        fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".part",
                                         dir=os.path.dirname(os.path.abspath(path)))
    except OSError as e:  # said of the file asked for, not of the temporary one
        raise type(e)(e.errno, e.strerror, path) from None
    try:
        with open(fd, "wb") as raw:
            yield raw
            raw.flush()
            os.fsync(raw.fileno())
        os.chmod(temporary, file_mode(path))
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


@contextmanager
def atomic_text(path: PathLike) -> Iterator[TextSink]:
    """A text file for `path` (.gz written through gzip) that takes str
    writes as UTF-8, written whole or not at all (see atomic_binary). It is
    a TextSink, into which the streaming writer appends its pieces straight:
    a document's millions of pieces cost no call each."""
    path = os.fspath(path)
    with atomic_binary(path) as raw:
        binary: IO[bytes] = raw
        if path.endswith(".gz"):
            binary = gzip.GzipFile(filename=os.path.basename(path)[:-3], mode="wb", fileobj=raw,  # type: ignore[assignment]
                                   compresslevel=GZIP_LEVEL)
        text = TextSink(binary)
        yield text
        text.flush()  # into `binary`, which stays open
        if binary is not raw:
            binary.close()  # the gzip trailer; `raw` stays open


def gunzipped(source: IO[bytes]) -> IO[bytes]:
    """The bytes of a gzip stream, as a buffered binary file of io's own:
    the streaming reader then drives its parser natively (through a
    GzipFile itself, it would take ijson's events one by one)."""
    return io.BufferedReader(gzip.GzipFile(fileobj=source, mode="rb"), 1 << 16)


@contextmanager
def open_document(path: PathLike) -> Iterator[IO[bytes]]:
    """A document's bytes, through gzip when it starts with gzip's magic."""
    with open(path, "rb") as raw:
        source = io.BufferedReader(raw) if not hasattr(raw, "peek") else raw
        if source.peek(2)[:2] == GZIP_MAGIC:
            with gunzipped(source) as unpacked:
                yield unpacked
        else:
            yield source


def save(chain: MarkovChain, path: PathLike) -> None:
    """Writes `chain` to `path` in the compressed form (what
    ``MarkovChain.save`` does)."""
    with atomic_text(path) as f:
        zantu_cjson.dump_json_big(chain, f, True)


def load(cls: type[C], path: PathLike) -> C:
    """A new chain of class `cls` loaded from the document at `path`, in
    either form (what ``MarkovChain.load`` does)."""
    chain = cls()
    with open_document(path) as f:
        zantu_cjson.load_json_big(chain, f)
    return chain
