"""Files and folders that a run makes in an output folder: each one new, never through a
symbolic link, and written whole under a temporary name of its own before it is renamed
into place.

A file is created with ``O_CREAT | O_EXCL | O_NOFOLLOW``: a symbolic link (or any file) that
stands where it is to be made makes the call fail rather than write elsewhere. The temporary
name carries the process number and a random part, so that a file left by a stopped run
never stands in the way. A folder is made with ``mkdir`` and, when one is there already,
accepted only if it is a real folder, not a link to one. A failed write raises the OSError
with the file's name, so that the message says which file could not be written.
"""

import hashlib
import os
import re
import secrets
from typing import IO, Any, Callable, Optional

#: The end of a temporary name: ".PID-RANDOM.tmp".
_TEMPORARY = re.compile(r"^(?P<name>.+)\.\d+-[0-9a-f]{8}\.tmp$")
_FLAGS = os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)


def written_name(name: str) -> str:
    """The name a temporary file is renamed to (`name` itself if it is not one); also the
    temporary names of earlier versions ("NAME.tmp", "NAME.tmp.npz")."""
    found = _TEMPORARY.match(name)
    if found:
        return found.group("name")
    for suffix, keep in ((".tmp.npz", ""), (".tmp", "")):
        if name.endswith(suffix) and len(name) > len(suffix):
            return name[: -len(suffix)] + keep
    return name


def is_temporary(name: str) -> bool:
    return written_name(name) != name


def _named(exc: OSError, path: str) -> OSError:
    """`exc` with the file's name, for messages that say which file failed."""
    if exc.filename:
        return exc
    return type(exc)(exc.errno, exc.strerror or str(exc), path)


def create(path: str) -> IO[bytes]:
    """A new, empty file at `path`, open for reading and writing; never follows a link."""
    try:
        fd = os.open(path, _FLAGS | os.O_RDWR, 0o644)
    except OSError as exc:
        raise _named(exc, path) from None
    return os.fdopen(fd, "w+b")


def open_existing(path: str) -> IO[bytes]:
    """`path` for reading, refusing a symbolic link (ELOOP)."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError as exc:
        raise _named(exc, path) from None
    return os.fdopen(fd, "rb")


def open_append(path: str) -> IO[bytes]:
    """The existing regular file `path` for appending, refusing a symbolic link."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_APPEND | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError as exc:
        raise _named(exc, path) from None
    return _Named(os.fdopen(fd, "ab"), path)


class _Named:
    """A file whose failed writes raise OSError with its name."""

    def __init__(self, handle: IO[bytes], path: str):
        self.handle, self.path = handle, path

    def write(self, data: Any) -> int:
        try:
            return self.handle.write(data)
        except OSError as exc:
            raise _named(exc, self.path) from None

    def fileno(self) -> int:
        return self.handle.fileno()

    def flush(self) -> None:
        try:
            self.handle.flush()
        except OSError as exc:
            raise _named(exc, self.path) from None

    def __enter__(self) -> "_Named":
        return self

    def __exit__(self, *exc: Any) -> None:
        try:
            self.handle.close()
        except OSError as error:
            raise _named(error, self.path) from None


def replace(path: str, write: Callable[[IO[bytes]], None], sync: bool = False) -> str:
    """Write a file at `path` by `write(handle)`: into a new temporary file beside it, then
    renamed over `path` (a rename replaces a link there, never follows it). Returns the
    sha256 of what was written. With `sync` the data reach the disk before the rename."""
    temporary = "{}.{}-{}.tmp".format(path, os.getpid(), secrets.token_hex(4))
    handle = create(temporary)
    try:
        try:
            write(handle)
            handle.flush()
            if sync:
                os.fsync(handle.fileno())
            handle.seek(0)
            digest = hashlib.sha256()
            for block in iter(lambda: handle.read(1 << 20), b""):
                digest.update(block)
        finally:
            handle.close()
        os.replace(temporary, path)
    except OSError as exc:
        _forget(temporary)
        raise _named(exc, path) from None
    except BaseException:
        _forget(temporary)
        raise
    return digest.hexdigest()


def _forget(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def make_folder(path: str) -> None:
    """A folder at `path`: made, or one that is there already; a link or a file there is an
    error (FileExistsError)."""
    try:
        os.mkdir(path)
        return
    except FileExistsError:
        pass
    except OSError as exc:
        raise _named(exc, path) from None
    if not is_folder(path):
        raise FileExistsError(17, "exists and is not a folder (or is a symbolic link to one)", path)


def is_folder(path: str) -> bool:
    """A real folder, not a symbolic link to one."""
    try:
        import stat

        return stat.S_ISDIR(os.lstat(path).st_mode)
    except OSError:
        return False


def is_file(path: str) -> bool:
    """A regular file, not a symbolic link to one."""
    try:
        import stat

        return stat.S_ISREG(os.lstat(path).st_mode)
    except OSError:
        return False


def read_small(path: str, limit: int = 1 << 26) -> Optional[bytes]:
    """The bytes of a regular file of at most `limit` bytes (never through a link); None
    where there is none or it cannot be read."""
    try:
        with open_existing(path) as fh:
            data = fh.read(limit + 1)
    except OSError:
        return None
    return data if len(data) <= limit else None
