"""What the command line reads and writes: errors reported as one line,
progress bars on a terminal, input files (standard input, gzip) and output
files written whole or not at all."""

from __future__ import annotations

import codecs
import io
import os
import sys
import zlib
from contextlib import contextmanager
from typing import IO, Any, Iterator, Optional

from zantu.files import GZIP_MAGIC, TextSink, atomic_text, gunzipped
from zantu.protocols import TextWriter

# Errors met while reading a file: it is missing or unreadable, not gzip,
# cut short, or not UTF-8.
READ_ERRORS = (OSError, EOFError, zlib.error, UnicodeDecodeError)


class UserError(Exception):
    """Bad input or arguments: reported as one line, without a traceback."""


def message_of(error: BaseException) -> str:
    """The first line of an error's message (a parser's bytes decoded)."""
    text = error.args[0] if len(error.args) == 1 and isinstance(error.args[0], bytes) else None
    message = text.decode("utf-8", "replace") if text is not None else str(error)
    if isinstance(error, UnicodeDecodeError):
        message = f"not UTF-8 text ({error.reason})"
    elif isinstance(error, OSError) and error.strerror:
        message = error.strerror
    return (message.strip().splitlines() or [type(error).__name__])[0]


class Bar:
    """A progress bar on stderr when it is a terminal and tqdm is installed;
    otherwise it does nothing."""

    def __init__(self, what: str, total: Optional[int] = None, unit: str = "B") -> None:
        self._bar: Any = None
        self._pending = 0
        # Bytes can come a few at a time: a byte bar moves a block at a time.
        self._step = 1 << 18 if unit == "B" else 1
        if not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self._bar = tqdm(total=total, desc=what, unit=unit, unit_scale=unit == "B", unit_divisor=1024,
                         leave=False)

    def update(self, n: int) -> None:
        if self._bar is None:
            return
        self._pending += n
        if self._pending >= self._step:
            self._bar.update(self._pending)
            self._pending = 0

    def close(self) -> None:
        if self._bar is not None:
            self._bar.update(self._pending)
            self._bar.close()
            self._bar = None

    @property
    def shown(self) -> bool:
        return self._bar is not None


class CountingReader(io.RawIOBase):
    """A binary file whose reads move a bar."""

    def __init__(self, raw: IO[bytes], bar: Bar) -> None:
        self.raw, self.bar = raw, bar

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        data = self.raw.read(len(buffer))
        buffer[:len(data)] = data
        self.bar.update(len(data))
        return len(data)


class CountingWriter:
    """A text file whose writes move a bar."""

    def __init__(self, file: TextWriter, bar: Bar) -> None:
        self.file, self.bar = file, bar

    def write(self, text: str) -> int:
        self.file.write(text)
        self.bar.update(len(text))
        return len(text)


@contextmanager
def open_input(path: str, bar: Optional[Bar] = None) -> Iterator[IO[bytes]]:
    """A binary file to read, '-' standard input; .gz read through gzip; its
    bytes (as stored) move `bar`."""
    try:
        raw: IO[bytes] = sys.stdin.buffer if path == "-" else open(path, "rb")
    except OSError as e:
        raise UserError(f"cannot open {path}: {e.strerror or e}") from None
    try:
        source: IO[bytes] = raw
        if bar is not None and bar.shown:
            source = io.BufferedReader(CountingReader(raw, bar))
        if path.endswith(".gz") or (path == "-" and _peek(source, 2) == GZIP_MAGIC):
            source = gunzipped(source)
        yield source
    finally:
        if path != "-":
            raw.close()


def _peek(source: IO[bytes], size: int) -> bytes:
    """The first bytes of a buffered binary file, left to be read."""
    peek = getattr(source, "peek", None)
    return peek(size)[:size] if peek is not None else b""


@contextmanager
def atomic_output(path: str) -> Iterator[TextWriter]:
    """A text file to write in UTF-8, '-' standard output; .gz written
    through gzip. A failed or interrupted run leaves `path` as it was, and
    no temporary file (see zantu.files.atomic_text)."""
    if path == "-":
        sys.stdout.flush()
        buffer = getattr(sys.stdout, "buffer", None)
        if buffer is None or not _strict_utf8(sys.stdout):
            yield sys.stdout
            sys.stdout.flush()
            return
        # Standard output's bytes, written as its own text file would write
        # them, through a TextSink (as a file is).
        sink = TextSink(buffer)
        yield sink
        sink.flush()
        buffer.flush()
        return
    if os.path.isdir(path):
        raise UserError(f"cannot write {path}: is a directory")
    with atomic_text(path) as f:
        yield f


def _strict_utf8(text: Any) -> bool:
    """Whether a text file writes UTF-8 and refuses what it cannot encode."""
    try:
        return codecs.lookup(text.encoding).name == "utf-8" and text.errors == "strict"
    except (AttributeError, LookupError, TypeError):
        return False


def file_size(path: str) -> Optional[int]:
    try:
        return os.path.getsize(path)
    except OSError:
        return None


def text_blocks(name: str, bar: Bar, size: int = 1 << 20) -> Iterator[str]:
    """One UTF-8 text file, a block of whole lines of about ``size``
    characters at a time (a token never spans lines)."""
    with open_input(name, bar) as f:
        text = io.TextIOWrapper(f, encoding="utf-8")
        try:
            while True:
                lines = text.readlines(size)
                if not lines:
                    break
                yield "".join(lines)
        finally:
            text.detach()  # the file is closed by open_input (standard input is not)
