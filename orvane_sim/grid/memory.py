"""Memory: what a simulation will hold, and what its device has free.

A box too large for the machine used to be allocated tensor by tensor until
the allocator failed, or on Linux until the out-of-memory killer ended the
process without a message. The driver estimates what a configuration holds
from its sizes alone and refuses, before allocating, one that cannot fit in
the memory its device has available now.

Available memory: on a CUDA device the free memory torch reports, with what
its caching allocator holds unused; on the CPU the kernel's MemAvailable,
less where a cgroup's memory limit or the process's address-space limit
(``ulimit -v``) leaves less. The environment variable
``ORVANE_AVAILABLE_MEMORY`` (bytes, or with a suffix K, M, G or T, powers
of 1024) replaces what the system reports: to keep a run within a share of
a machine, or to try a small machine's limit on a large one.
"""
from __future__ import annotations

import math
import os
import resource

import torch

ENVIRONMENT = "ORVANE_AVAILABLE_MEMORY"
_SUFFIXES = {"": 1, "K": 2**10, "M": 2**20, "G": 2**30, "T": 2**40}
# A cgroup without a limit reports one near 2**63.
_NO_LIMIT = 2**60


def size(text: str) -> int:
    """Bytes from "123", "6G", "1.5 GiB", ..."""
    s = str(text).strip().upper().replace("IB", "").replace("B", "").strip()
    unit = s[-1:] if s[-1:] in _SUFFIXES and s[-1:] else ""
    try:
        value = float(s[:len(s) - len(unit)])
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"{ENVIRONMENT} must be a number of bytes (a suffix K, M, G or T "
                         f"allowed), got {text!r}")
    return int(value * _SUFFIXES[unit])


def text(n: float) -> str:
    """``n`` bytes for a message: "3.2 GiB"."""
    for unit, scale in (("TiB", 2**40), ("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if n >= scale:
            return f"{n / scale:.3g} {unit}"
    return f"{int(n)} bytes"


def _read(path: str) -> str | None:
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def _fields(content: str | None, sep: str = ":") -> dict:
    out = {}
    for line in (content or "").splitlines():
        key, _, value = line.partition(sep)
        parts = value.split()
        if parts and parts[0].isdigit():
            out[key.strip()] = int(parts[0])
    return out


def _cgroup_dirs():
    """(directory, v2?) of the process's memory cgroup and each ancestor up
    to the mount, innermost first: a limit anywhere on the way applies."""
    mounts = (("/sys/fs/cgroup", True), ("/sys/fs/cgroup/unified", True),
              ("/sys/fs/cgroup/memory", False))
    paths = {}
    for line in (_read("/proc/self/cgroup") or "").splitlines():
        number, controllers, path = (line.split(":", 2) + ["", ""])[:3]
        if number == "0" and controllers == "":
            paths[True] = path
        elif "memory" in controllers.split(","):
            paths[False] = path
    for mount, v2 in mounts:
        # a v2 root holds no memory.max of its own, only its children do
        if not os.path.exists(os.path.join(mount, "cgroup.controllers" if v2 else
                                           "memory.limit_in_bytes")):
            continue
        parts = [p for p in paths.get(v2, "/").split("/") if p]
        for n in range(len(parts), -1, -1):
            here = os.path.join(mount, *parts[:n])
            if os.path.isdir(here):
                yield here, v2


def _cgroup_room() -> int | None:
    """What the memory cgroups (v2 or v1) let the process add: the least,
    over its cgroup and the ancestors that hold a limit, of the limit less
    what the cgroup holds, page cache that can be dropped not counted."""
    rooms = []
    for here, v2 in _cgroup_dirs():
        names = (("memory.max", "memory.current", "inactive_file") if v2 else
                 ("memory.limit_in_bytes", "memory.usage_in_bytes", "total_inactive_file"))
        limit, usage = (_read(os.path.join(here, n)) for n in names[:2])
        if limit is None or usage is None or not limit.strip().isdigit():
            continue  # "max": no limit
        limit, usage = int(limit), int(usage.strip() or 0)
        if limit >= _NO_LIMIT:
            continue
        cache = _fields(_read(os.path.join(here, "memory.stat")), " ").get(names[2], 0)
        rooms.append(max(0, limit - max(0, usage - cache)))
    return min(rooms) if rooms else None


def _address_space_room() -> int | None:
    """What ``ulimit -v`` leaves of the process's address space."""
    limit, _ = resource.getrlimit(resource.RLIMIT_AS)
    if limit == resource.RLIM_INFINITY:
        return None
    used = _fields(_read("/proc/self/status")).get("VmSize")
    return max(0, limit - (used or 0) * 1024)


def available(device) -> tuple[float, str]:
    """(bytes, where the number comes from) that ``device`` can still
    allocate; infinity where nothing tells."""
    override = os.environ.get(ENVIRONMENT)
    if override:
        return size(override), ENVIRONMENT
    device = torch.device(device)
    if device.type == "cuda":
        free, _ = torch.cuda.mem_get_info(device)
        cached = torch.cuda.memory_reserved(device) - torch.cuda.memory_allocated(device)
        return free + cached, f"free on {device}"
    if device.type != "cpu":
        return math.inf, "unknown"
    rooms = []
    meminfo = _fields(_read("/proc/meminfo")).get("MemAvailable")
    if meminfo is not None:
        rooms.append((meminfo * 1024, "MemAvailable"))
    for room, name in ((_cgroup_room(), "the cgroup's memory limit"),
                       (_address_space_room(), "the address-space limit (ulimit -v)")):
        if room is not None:
            rooms.append((room, name))
    return min(rooms, key=lambda r: r[0]) if rooms else (math.inf, "unknown")


def require(needed: float, device, what: str, advice: str) -> None:
    """Refuse ``what`` (a ValueError) when its estimate ``needed`` exceeds
    what ``device`` has available; ``advice``: how to need less."""
    room, source = available(device)
    if needed > room:
        raise ValueError(f"{what} needs about {text(needed)}, more than the {text(room)} "
                         f"available on {torch.device(device).type} ({source}); {advice}")


def simulation_bytes(shape, layers, b2: int, batch, materials: bool,
                     folded: bool = False) -> dict:
    """What a ``Simulation`` of ``shape`` cells holds, by part, in bytes:
    its six fields, the layers' auxiliary fields, the coefficient grids and,
    with ``materials`` (objects or a background), the material grids and
    the dispersive pass's state; ``folded``: a background other than vacuum
    folded into the electric update adds its scaled coefficient and
    denominator grids. Temporaries and features come on top."""
    NX, NY, NZ = (int(n) for n in shape)
    Lx, Ly, Lz = (int(n) for n in layers)
    B0, B1 = (int(n) for n in batch)
    n = NX * NY * NZ
    runs = B0 * B1 * b2
    nodes = (NX * (NY + 1) * (NZ + 1) + (NX + 1) * NY * (NZ + 1)
             + (NX + 1) * (NY + 1) * NZ)
    out = {"fields": 4 * runs * (nodes + 3 * n),
           "layers": 2 * 4 * runs * 2 * 2 * (Lx * NY * NZ + NX * Ly * NZ + NX * NY * Lz),
           "coefficients": 2 * 3 * 4 * B1 * n}
    if materials:
        # weight and two ids, den1, den2, cg1, cg2 per component and b1; two
        # complex accumulators and the previous field per component and run
        out["materials"] = 3 * B1 * n * (4 + 2 + 4 * 4) + 3 * runs * n * (2 * 8 + 4)
        if folded:  # one coefficient and one denominator grid per component, one zero grid
            out["materials"] += 3 * B1 * n * 2 * 4 + B1 * n * 4
    return out
