"""How much more memory this process can take, and what limits it: the least of the
machine's available memory (MemAvailable), the address-space limit (``ulimit -v``,
RLIMIT_AS) less what the process has mapped already, and the memory limit of its control
group and each group above it (cgroup v1 or v2) less what the group uses (its reclaimable
file cache counted as free)."""

import os
import resource
from typing import Callable, List, Optional, Tuple

#: Memory limits of control groups at or above this are "no limit" (cgroup v1 writes the
#: largest page-aligned signed 64-bit number).
_NO_LIMIT = 1 << 60

Limit = Tuple[int, str]


def _read(path: str) -> Optional[str]:
    try:
        with open(path, encoding="ascii", errors="replace") as fh:
            return fh.read()
    except OSError:
        return None


def _meminfo(text: Optional[str], key: str) -> Optional[int]:
    for line in (text or "").splitlines():
        if line.startswith(key + ":"):
            try:
                return int(line.split()[1]) * 1024
            except (IndexError, ValueError):
                return None
    return None


def _number(text: Optional[str]) -> Optional[int]:
    try:
        return int((text or "").split()[0])
    except (IndexError, ValueError):
        return None  # missing, or "max" (cgroup v2: no limit)


def _stat(text: Optional[str], key: str) -> int:
    for line in (text or "").splitlines():
        fields = line.split()
        if len(fields) == 2 and fields[0] == key and fields[1].isdigit():
            return int(fields[1])
    return 0


def unescape_mount_path(path: str) -> str:
    """A path of /proc/self/mountinfo (spaces and some other bytes written as \\ooo)."""
    out, k = [], 0
    while k < len(path):
        if path[k] == "\\" and path[k + 1 : k + 4].isdigit():
            out.append(chr(int(path[k + 1 : k + 4], 8)))
            k += 4
        else:
            out.append(path[k])
            k += 1
    return "".join(out)


def _group_folders(cgroup: str, mountinfo: str) -> List[Tuple[str, int]]:
    """(folder, cgroup version) of the memory control group of this process and of each group
    above it, innermost first, from the texts of /proc/self/cgroup and /proc/self/mountinfo."""
    mounts = []  # (root within the hierarchy, mount point, version)
    for line in mountinfo.splitlines():
        left, _, right = line.partition(" - ")
        fields, kinds = left.split(), right.split()
        if len(fields) < 5 or len(kinds) < 3:
            continue
        if kinds[0] == "cgroup2":
            mounts.append((unescape_mount_path(fields[3]), unescape_mount_path(fields[4]), 2))
        elif kinds[0] == "cgroup" and "memory" in kinds[2].split(","):
            mounts.append((unescape_mount_path(fields[3]), unescape_mount_path(fields[4]), 1))
    folders = []
    for line in cgroup.splitlines():
        parts = line.split(":", 2)
        if len(parts) != 3:
            continue
        version = 2 if parts[0] == "0" and parts[1] == "" else 1
        if version == 1 and "memory" not in parts[1].split(","):
            continue
        path = parts[2]
        for root, point, kind in mounts:
            if kind != version:
                continue
            if root != "/" and not (path == root or path.startswith(root.rstrip("/") + "/")):
                continue
            inner = path[len(root) :] if root != "/" else path
            folder = os.path.normpath(point + "/" + inner.lstrip("/"))
            while True:
                folders.append((folder, version))
                if folder == os.path.normpath(point) or folder in ("/", ""):
                    break
                folder = os.path.dirname(folder)
            break
    return folders


def cgroup_limits(cgroup: str, mountinfo: str, read: Callable[[str], Optional[str]] = _read) -> List[Limit]:
    """The headroom of every memory control group limit that applies to this process."""
    found = []
    for folder, version in _group_folders(cgroup, mountinfo):
        if version == 2:
            limit = _number(read(os.path.join(folder, "memory.max")))
            used = _number(read(os.path.join(folder, "memory.current")))
            cache = _stat(read(os.path.join(folder, "memory.stat")), "inactive_file")
        else:
            limit = _number(read(os.path.join(folder, "memory.limit_in_bytes")))
            used = _number(read(os.path.join(folder, "memory.usage_in_bytes")))
            cache = _stat(read(os.path.join(folder, "memory.stat")), "total_inactive_file")
        if limit is None or limit >= _NO_LIMIT or used is None:
            continue
        found.append(
            (
                max(0, limit - used + min(cache, used)),
                "the memory limit of its control group ({:.1f} GB, {} in use)".format(limit / 1e9, size_text(used)),
            )
        )
    return found


def size_text(count: float) -> str:
    """A number of bytes for people: "240 bytes", "12 MB", "3.6 GB"."""
    if count < 1e6:
        return "{:,.0f} bytes".format(count)
    return "{:.1f} GB".format(count / 1e9) if count >= 1e8 else "{:.0f} MB".format(count / 1e6)


def limits() -> List[Limit]:
    """(bytes this process can still take, what says so) of every limit found."""
    found = []
    available = _meminfo(_read("/proc/meminfo"), "MemAvailable")
    if available is not None:
        found.append((available, "the memory available on this machine"))
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    if soft != resource.RLIM_INFINITY:
        mapped = _meminfo(_read("/proc/self/status"), "VmSize") or 0
        found.append(
            (
                max(0, soft - mapped),
                "the address-space limit (ulimit -v) of {}, {} of it mapped already".format(
                    size_text(soft), size_text(mapped)
                ),
            )
        )
    found.extend(cgroup_limits(_read("/proc/self/cgroup") or "", _read("/proc/self/mountinfo") or ""))
    return found


def headroom() -> Limit:
    """The least of `limits()`: (bytes, what limits them); unlimited where none is found."""
    found = limits()
    return min(found, key=lambda item: item[0]) if found else (1 << 62, "no limit found")
