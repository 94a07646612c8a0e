"""Reading the events and spec files: plain, gzip or zstd, from a path or stdin.

Compression is recognised by its magic bytes, so ``-`` may be compressed too;
``consumed`` counts the bytes taken from the file itself (compressed bytes),
which is what a progress bar shows. A UTF-8 byte-order mark is skipped.
"""

from __future__ import annotations

import os
import re
import stat
import sys
import zlib
from collections.abc import Iterator
from typing import IO, Any, List, Optional

from .errors import UserError, display, os_message

BOM = b"\xef\xbb\xbf"
GZIP_MAGIC = b"\x1f\x8b"
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
#: Bytes asked of the file per read.
READ_SIZE = 1 << 20


class _Decompressor:
    """A streaming decompressor that knows whether its stream ended cleanly."""

    def __init__(self, kind: str, where: str) -> None:
        self.kind = kind
        self.where = where
        self._obj: Any = self._new()
        self._open = False  # inside a member/frame that has not ended

    def _new(self) -> Any:
        if self.kind == "gzip":
            return zlib.decompressobj(wbits=31)
        try:
            import zstandard
        except ImportError:
            raise UserError(
                f"{self.where}: zstd-compressed; reading it needs the zstandard package"
                " (pip install 'norsel_radar[zstd]')"
            ) from None
        return zstandard.ZstdDecompressor().decompressobj()

    def feed(self, data: bytes) -> bytes:
        out: List[bytes] = []
        while data:
            self._open = True
            try:
                out.append(self._obj.decompress(data))
            except Exception as exc:  # zlib.error, zstandard.ZstdError
                raise UserError(f"{self.where}: not a valid {self.kind} stream ({exc})") from None
            if not self._obj.eof:
                break
            # Concatenated members (frames) make one stream, as gzip -d reads them.
            self._open = False
            data = self._obj.unused_data
            self._obj = self._new()
        return b"".join(out)

    def finish(self) -> None:
        if self._open:
            raise UserError(f"{self.where}: truncated {self.kind} stream")


class Input:
    """One input: a file path, or "-" for standard input.

    ``head()`` shows the first content bytes without consuming them,
    ``chunks()`` yields the whole content in pieces, ``read_into()`` reads it
    into one buffer; ``size`` is the raw size when known.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self.where = display(path)
        self.consumed = 0
        self.size: Optional[int] = None
        self._fp: IO[bytes]
        if path == "-":
            self._fp = sys.stdin.buffer
            self._owned = False
        else:
            try:
                self._fp = open(path, "rb", buffering=0)
            except OSError as exc:
                raise UserError(f"{self.where}: {os_message(exc)}") from None
            self._owned = True
        try:
            mode = os.fstat(self._fp.fileno()).st_mode
        except (OSError, ValueError):
            mode = 0
        if stat.S_ISDIR(mode):
            self.close()
            raise UserError(f"{self.where}: Is a directory")
        if stat.S_ISREG(mode):
            self.size = os.fstat(self._fp.fileno()).st_size
        self._pending = self._raw(4)  # the magic, given back by the first read
        self.compression: Optional[str] = None
        if self._pending.startswith(GZIP_MAGIC):
            self.compression = "gzip"
        elif self._pending.startswith(ZSTD_MAGIC):
            self.compression = "zstd"
        self._unpack = _Decompressor(self.compression, self.where) if self.compression else None
        self._head = b""
        self.bom = False  # a byte-order mark was blanked out by read_into
        self._started = False
        self._eof = False

    # -- reading -------------------------------------------------------------

    def _raw(self, n: int) -> bytes:
        try:
            data = self._fp.read(n)
        except OSError as exc:
            raise UserError(f"{self.where}: {os_message(exc)}") from None
        data = data or b""
        self.consumed += len(data)
        return data

    def _piece(self) -> bytes:
        """The next content bytes; b"" at the end."""
        while True:
            if self._pending:
                raw, self._pending = self._pending, b""
            else:
                # Compressed data grows several times over: read less of it at once.
                raw = self._raw(READ_SIZE if self._unpack is None else READ_SIZE // 8)
            if not raw:
                if self._unpack is not None:
                    self._unpack.finish()
                return b""
            data = self._unpack.feed(raw) if self._unpack is not None else raw
            if data:
                return data

    def _fill(self, n: int) -> None:
        while len(self._head) < n and not self._eof:
            piece = self._piece()
            if not piece:
                self._eof = True
            self._head += piece
        if not self._started and (len(self._head) >= 3 or self._eof):
            self._started = True
            if self._head.startswith(BOM):
                self._head = self._head[3:]

    def head(self, n: int = 1 << 16) -> bytes:
        """Up to ``n`` bytes of the content (fewer only at its end), not consumed."""
        self._fill(n)
        return self._head[:n]

    def chunks(self) -> Iterator[bytes]:
        """The (rest of the) content, in pieces of about a megabyte."""
        self._fill(3)
        if self._head:
            head, self._head = self._head, b""
            yield head
        while not self._eof:
            piece = self._piece()
            if not piece:
                self._eof = True
                break
            yield piece

    def read_into(self, prefix: bytes, suffix: bytes) -> bytearray:
        """prefix + the whole content + suffix, in one buffer.

        A plain file of known size is read straight into its place in the
        buffer; a byte-order mark is overwritten with blanks there.
        """
        if self._unpack is not None or self.size is None:
            buf = bytearray(prefix)
            for piece in self.chunks():
                buf += piece
            buf += suffix
            return buf
        # What was already read (the head, or the magic) goes first, then the
        # rest of the file straight into its place.
        known = self._head if self._started else self._pending
        self._head = self._pending = b""
        start = len(prefix)
        buf = bytearray(start + len(known) + max(self.size - self.consumed, 0) + len(suffix))
        buf[:start] = prefix
        pos = start + len(known)
        buf[start:pos] = known
        end = len(buf) - len(suffix)
        with memoryview(buf) as view:
            try:
                while pos < end:
                    got = self._fp.readinto(view[pos:end])  # type: ignore[attr-defined]
                    if not got:
                        break
                    pos += got
                    self.consumed += got
            except OSError as exc:
                raise UserError(f"{self.where}: {os_message(exc)}") from None
        rest = self._raw(-1) if pos == end else b""  # the file grew since it was opened
        self._eof = True
        buf[pos:] = rest + suffix
        if not self._started and buf[start : start + 3] == BOM:
            buf[start : start + 3] = b"   "
            self.bom = True
        self._started = True
        return buf

    def close(self) -> None:
        if self._owned:
            self._fp.close()

    def __enter__(self) -> Input:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def read_text(path: str) -> str:
    """A whole (small) input as text: the spec."""
    with Input(path) as inp:
        data = bytes(inp.read_into(b"", b""))
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise UserError(f"{display(path)}: not UTF-8 text (byte {exc.start})") from None


# The first member of the first object and the first character of its value.
_FIRST_MEMBER = re.compile(rb'\s*\{\s*("(?:[^"\\]|\\.)*")\s*:\s*(.)', re.S)
_SYMBOL_STRING = re.compile(rb'"symbol"\s*:\s*"')


def looks_like_jsonl(head: bytes) -> bool:
    """Whether content that starts with ``head`` is JSON Lines, not the scan form.

    The scan form is one object whose members are event lists, so the value of
    its first member opens with "["; a JSON Lines object has "symbol" (a
    string) and "event". The one overlap, a line that starts with "event" in
    the array form, is told apart by a string "symbol" on the same line.
    Anything else, including text that is not JSON, is taken for the scan
    form, whose reader reports what is wrong.
    """
    m = _FIRST_MEMBER.match(head)
    if m is None:
        return False
    if m.group(2) != b"[":
        return True
    first_line = head[m.start() :].lstrip().split(b"\n", 1)[0]
    return m.group(1) == b'"event"' and _SYMBOL_STRING.search(first_line) is not None
