"""Checkpoints: a simulation's whole state in a file, written atomically, read
back into a simulation built the same way.

What is saved is every tensor and every number that the simulation and its
features (sources, monitors, the periodic pass, the dispersive medium, the
objects' coefficient grids) hold, found by walking their attributes, with
the step count, a description of the box, a description of how the
simulation was built (``configuration``), the package version and a
checksum of every entry. Loading needs the same box with the same
features, built as the run built them (the features' waveforms are Python
functions, which no file can hold): it checks the checksums, the version,
the box, the configuration and every entry's shape and type before it
changes anything, then copies the entries in place. N steps, save, load in
a new process, M steps gives the same bits as N + M steps.

The configuration is what the objects, sources, monitors, ports and design
regions were made with (``descriptions``): the objects with their shapes
and materials, each feature's class and arguments (positions, frequencies,
the numbers of its waveform), the painting options, the densities painted
into design regions, the Bloch wave vectors. A checkpoint loaded into a
simulation built otherwise is refused with every difference named; the
state alone cannot tell, since a run's material grids, source offsets and
monitor frequencies are saved with it and would be copied over the new
ones.

An entry's size is fixed by the configuration, except where its owner
declares in ``GROWING`` that an attribute lengthens during a run (an
incident line adds cells as its wave spreads): that tensor is restored at
its saved length, replacing the owner's, and may differ from it along the
declared dimension only.

Attributes whose names start with an underscore are the features' caches,
rebuilt from the rest when needed: they are saved, and an entry that one
side lacks is no error there.

Every entry carries a CRC-32 of its type, shape and bytes, and so do the
file's other fields: a flipped bit is refused naming the entry it lies in,
where it would otherwise run on as finite nonsense. Files of format 1,
written before checksums and configurations were saved, still load,
unchecked in those two respects.

A file is written whole or not at all: into a temporary file beside it,
flushed to the disk, then renamed over the old one, so that a crash during
a save leaves the previous checkpoint as it was. A box split over ranks
(``SlabSimulation``) writes one file per rank and step and then the
manifest at ``path``, which names the step; a crash before the manifest is
replaced leaves the previous step's files and manifest in force.
"""
from __future__ import annotations

import collections
import math
import os
import pathlib
import tempfile
import zlib

import torch

from .._version import __version__
from .descriptions import RECORD, described, differences, record

FORMAT = 2  # the layout of the files written here
# Format 1 lacks the checksums and the configuration, and is read without them.
READABLE = (1, 2)


class Memo:
    """A value its owner rebuilds from what it keeps (views of its tensors,
    made once rather than every step): no state, so the checkpoint's walk
    passes it by (``TRANSIENT``). ``get(key, make)`` is the value made by
    ``make()`` for ``key``, made again when the key changes."""

    TRANSIENT = True

    def __init__(self):
        self.key, self.value = None, None

    def get(self, key, make):
        if self.key is None or self.key != key:
            self.key, self.value = key, make()
        return self.value


class CheckpointError(ValueError):
    """A checkpoint that does not fit the simulation, or no readable file."""


# ---------------------------------------------------------------- the state


def _private(path: str) -> bool:
    return any(part.startswith("_") for part in path.split("."))


def entries(sim) -> dict:
    """{path: (value, owner, key)} of every tensor and number reachable from
    the simulation (None for a cache not yet filled): owner[key], or
    owner.key, holds it. Objects whose class is ``TRANSIENT`` (the run's
    own machinery, such as its captured graphs) are passed by. Breadth first, so that an object reached by
    several names (a monitor's placement is the box's) goes by its shortest."""
    out: dict = {}
    seen: set = set()
    queue = collections.deque([(sim, "", None, None)])
    while queue:
        obj, path, owner, key = queue.popleft()
        if obj is None or isinstance(obj, (torch.Tensor, bool, int, float, complex)):
            out[path] = (obj, owner, key)
        elif isinstance(obj, (list, tuple)):
            queue.extend((v, f"{path}.{i}", obj, i) for i, v in enumerate(obj))
        elif isinstance(obj, dict):
            queue.extend((v, f"{path}.{k}", obj, k) for k, v in obj.items()
                         if isinstance(k, (str, int)) and not isinstance(k, bool))
        elif type(obj).__module__.startswith("orvane_sim") and hasattr(obj, "__dict__") \
                and not getattr(type(obj), "TRANSIENT", False):
            if id(obj) not in seen:
                seen.add(id(obj))
                queue.extend((v, f"{path}.{name}" if path else name, obj, name)
                             for name, v in vars(obj).items() if name != RECORD)
    return out


def describe(sim) -> dict:
    """What a checkpoint's box must share with the simulation it is loaded
    into."""
    d = {"kind": type(sim).__name__, "shape": list(sim.shape), "spacing": list(sim.spacing),
         "faces": [list(f) for f in sim.faces], "b2": sim.b2, "batch": list(sim.batch),
         "dt": sim.dt}
    if None in sim.spacing:  # a non-uniform axis: its nodes
        d["grid"] = [described(a.nodes) if a.uniform is None else a.uniform
                     for a in sim.grid.axes]
    if hasattr(sim, "ranks"):
        d.update(global_shape=list(sim.global_shape), axis=sim.axis, ranks=sim.ranks,
                 rank=sim.rank)
    return d


def _feature(feature) -> dict:
    """A source's or monitor's class and arguments; a feature that records
    no arguments (one of the caller's own) by its class alone."""
    return {"kind": type(feature).__name__, **(record(feature, "__init__") or {})}


def configuration(sim) -> dict:
    """How the simulation was built, as plain data (see the module's text):
    what a checkpoint's run must share with the one it is loaded into."""
    sim.settle_monitors()  # a monitor's automatic decimation is part of how it sums
    painted = record(sim, "set_objects")
    designs = record(sim, "paint_designs")
    bloch = getattr(getattr(sim.periodic, "bloch", sim.periodic), "k", None)
    return {
        "objects": [] if painted is None else painted["objects"],
        # None: no objects were ever set (no medium, where set_objects([]) paints vacuum)
        "painting": None if painted is None else {k: v for k, v in painted.items()
                                                  if k != "objects"},
        # each region with the share of its material b painted at its nodes
        "designs": [] if designs is None else [{**region, "weights": weights}
                                               for region, weights in designs["designs"]],
        "bloch": None if bloch is None else described(bloch),
        "grading": described(sim.grading),
        "sources": [_feature(f) for f in sim.sources],
        "monitors": [_feature(f) for f in sim.monitors],
    }


# ------------------------------------------------------------------ writing


def _write_atomically(payload, path: pathlib.Path) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as f:
            torch.save(payload, f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        pathlib.Path(tmp).unlink(missing_ok=True)
        raise
    try:  # the rename itself, on the disk
        dirfd = os.open(path.parent, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dirfd)
    except OSError:
        pass
    finally:
        os.close(dirfd)


def _kind(value) -> type:
    """The plain type of a number (NumPy's scalars included), Tensor or None."""
    if value is None:
        return type(None)
    for kind in (torch.Tensor, bool, int, float, complex):
        if isinstance(value, kind):
            return kind
    return type(value)


def _checksum(value) -> str:
    """CRC-32 of a tensor's type, shape and bytes, or of a value's repr (exact
    for floats)."""
    if isinstance(value, torch.Tensor):
        crc = zlib.crc32(f"{value.dtype} {tuple(value.shape)}".encode())
        flat = value.detach().cpu().resolve_conj().resolve_neg().contiguous().reshape(-1)
        crc = zlib.crc32(flat.view(torch.uint8).numpy(), crc)
    else:
        crc = zlib.crc32(repr(value).encode())
    return f"{crc:08x}"


def seal(payload: dict) -> dict:
    """``payload`` with the checksums of its fields and of its state's
    entries, which loading verifies."""
    sums = {name: _checksum(value) for name, value in payload.items()
            if name not in ("checksums", "state")}
    if "state" in payload:
        sums["state"] = {p: _checksum(v) for p, v in payload["state"].items()}
    payload["checksums"] = sums
    return payload


def _payload(sim) -> dict:
    state = {}
    for path, (value, _, _) in entries(sim).items():
        kind = _kind(value)
        if kind is torch.Tensor:
            state[path] = value.detach().cpu()
        else:
            state[path] = None if value is None else kind(value)
    return seal({"format": FORMAT, "version": __version__, "box": describe(sim),
                 "configuration": configuration(sim), "steps_done": sim.steps_done,
                 "curl_scale": _curl_scale(sim), "state": state})


def _curl_scale(sim) -> float:
    """The factor the electric layer state and the accumulators carry
    (``DispersiveMedium.curl_scale``): files that do not say were written
    with 1."""
    return 1.0 if sim.medium is None else sim.medium.curl_scale


def save(sim, path) -> None:
    """Write the simulation's state to ``path`` (see the module's text)."""
    path = pathlib.Path(path)
    if hasattr(sim, "ranks"):
        _save_slab(sim, path)
    else:
        _write_atomically(_payload(sim), path)


def _rank_file(path: pathlib.Path, step: int, rank: int, ranks: int) -> pathlib.Path:
    return path.with_name(f"{path.name}.step{step}.rank{rank}of{ranks}")


def _save_slab(sim, path: pathlib.Path) -> None:
    import torch.distributed as dist

    step = sim.steps_done
    _write_atomically(_payload(sim), _rank_file(path, step, sim.rank, sim.ranks))
    dist.barrier()  # every part is on the disk before the manifest names it
    if sim.rank == 0:
        old = _read(path)["step"] if path.exists() else None
        _write_atomically(seal({"format": FORMAT, "version": __version__, "manifest": True,
                                "ranks": sim.ranks, "step": step}), path)
        if old is not None and old != step:
            for r in range(sim.ranks):
                _rank_file(path, old, r, sim.ranks).unlink(missing_ok=True)
    dist.barrier()


# ------------------------------------------------------------------ reading


def _read(path: pathlib.Path) -> dict:
    if not path.is_file():
        raise CheckpointError(f"no checkpoint at {path}")
    try:
        data = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as exc:  # a truncated or damaged file, in any of its forms
        raise CheckpointError(f"{path} is not a readable checkpoint (truncated or damaged?): "
                              f"{type(exc).__name__}: {exc}") from None
    if not isinstance(data, dict) or "format" not in data:
        raise CheckpointError(f"{path} is not a checkpoint of this package")
    if data["format"] not in READABLE or data.get("version") != __version__:
        raise CheckpointError(
            f"{path} was written by orvane_sim {data.get('version')} (checkpoint format "
            f"{data['format']}); this is {__version__} (format {FORMAT}): resume with the "
            "version that wrote it")
    if data["format"] >= 2:
        _verify(data, path)
    return data


def _verify(data: dict, path: pathlib.Path) -> None:
    """Refuse a file whose fields or entries do not match their checksums,
    naming the first that does not."""
    sums = data.get("checksums")
    fields = {name: value for name, value in data.items() if name not in ("checksums", "state")}
    state = data.get("state", {})
    if not isinstance(sums, dict) or set(sums) - {"state"} != set(fields) \
            or set(sums.get("state", {})) != set(state):
        raise CheckpointError(f"{path} is damaged: its checksums do not cover its entries")
    checked = [(name, value, sums[name]) for name, value in fields.items()] + \
        [(p, value, sums["state"][p]) for p, value in state.items()]
    for name, value, expected in checked:
        if expected != _checksum(value):
            raise CheckpointError(f"{path} is damaged: {name} does not match its checksum "
                                  f"(saved {expected}, read {_checksum(value)})")


def _expanded(t: torch.Tensor) -> bool:
    return any(stride == 0 and size > 1 for stride, size in zip(t.stride(), t.shape))


def _grown(owner, key, old: torch.Tensor, new) -> bool:
    """Whether ``new`` is ``old`` at another length along the dimension its
    owner declares it grows along (``GROWING``), alike in all else."""
    dim = getattr(type(owner), "GROWING", {}).get(key) if isinstance(key, str) else None
    return (dim is not None and isinstance(new, torch.Tensor) and new.dtype == old.dtype
            and new.dim() == old.dim() and new.shape != old.shape
            and all(a == b for d, (a, b) in enumerate(zip(new.shape, old.shape)) if d != dim))


def _groups(paths) -> list:
    """What paths belong to: a source or monitor ("sources.1"), else the
    simulation's attribute ("medium")."""
    out = set()
    for p in paths:
        parts = p.split(".")
        listed = parts[0] in ("sources", "monitors") and len(parts) > 1
        out.add(".".join(parts[:2]) if listed else parts[0])
    return sorted(out)


def _same(a, b) -> bool:
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    return a == b


def load(sim, path) -> None:
    """Continue from the checkpoint at ``path``: the simulation must be built
    as the one that wrote it. Raises CheckpointError naming what differs,
    before anything is changed."""
    path = pathlib.Path(path)
    if hasattr(sim, "ranks"):
        manifest = _read(path)
        if not manifest.get("manifest"):
            raise CheckpointError(f"{path} is the checkpoint of one box, not of a split one")
        if manifest["ranks"] != sim.ranks:
            raise CheckpointError(f"{path} was written by {manifest['ranks']} ranks; this run "
                                  f"has {sim.ranks}: resume with as many")
        path = _rank_file(path, manifest["step"], sim.rank, sim.ranks)
    data = _read(path)
    if data.get("manifest"):
        raise CheckpointError(f"{path} is the manifest of a split box; load it into a "
                              "SlabSimulation")
    here = describe(sim)
    differs = [f"{k}: checkpoint {data['box'].get(k)!r}, simulation {v!r}"
               for k, v in here.items() if not _same(data["box"].get(k), v)]
    if differs:
        raise CheckpointError(f"{path} holds another box: " + "; ".join(differs))
    if "configuration" in data:
        differs = differences(data["configuration"], configuration(sim))
        if differs:
            raise CheckpointError(f"{path} was written by a simulation built otherwise: "
                                  + "; ".join(differs))

    saved, target = data["state"], entries(sim)
    public_saved = {p for p in saved if not _private(p)}
    public_target = {p for p in target if not _private(p)}
    missing = _groups(public_target - public_saved)
    extra = _groups(public_saved - public_target)
    if missing or extra:
        both = sorted(set(missing) & set(extra))
        only_there = [g for g in extra if g not in both]
        only_here = [g for g in missing if g not in both]
        raise CheckpointError(
            f"{path} was written by a simulation with other features: "
            + "; ".join(([f"only the checkpoint has {', '.join(only_there)}"] if only_there else [])
                        + ([f"only this simulation has {', '.join(only_here)}"] if only_here
                           else [])
                        + ([f"{', '.join(both)} differ"] if both else [])))
    copies, assignments = [], []  # tensors copied in place; values set on their owners
    for p in sorted(set(saved) & set(target)):
        new, (old, owner, key) = saved[p], target[p]
        if (new is None) != (old is None):  # a cache filled on one side only
            if isinstance(owner, tuple):
                raise CheckpointError(f"{path}: {p} is {_kind(new).__name__} there, "
                                      f"{_kind(old).__name__} here")
            assignments.append((owner, key, None if new is None else new.to(sim.device)))
        elif new is None:
            continue
        elif isinstance(old, torch.Tensor):
            if _grown(owner, key, old, new):  # restored at the length it had grown to
                assignments.append((owner, key, new.to(old.device)))
                continue
            if not isinstance(new, torch.Tensor) or new.shape != old.shape or \
                    new.dtype != old.dtype:
                what = (f"{tuple(new.shape)} {new.dtype}" if isinstance(new, torch.Tensor)
                        else type(new).__name__)
                raise CheckpointError(f"{path}: {p} is {what} there, {tuple(old.shape)} "
                                      f"{old.dtype} here")
            if _expanded(old):  # one value under many indices: a constant, never written
                if not torch.equal(old.cpu(), new):
                    raise CheckpointError(f"{path}: {p} differs from this simulation's")
            else:
                copies.append((old, new))
        else:
            if _kind(new) is not _kind(old):
                raise CheckpointError(f"{path}: {p} is {_kind(new).__name__} there, "
                                      f"{_kind(old).__name__} here")
            if isinstance(owner, tuple):
                if not _same(new, old):
                    raise CheckpointError(f"{path}: {p} is {new!r} there, {old!r} here")
            elif not _same(new, old):
                assignments.append((owner, key, new))
    with torch.no_grad():
        for old, new in copies:
            old.copy_(new)
    for owner, key, value in assignments:
        if isinstance(owner, (list, dict)):
            owner[key] = value
        else:
            setattr(owner, key, value)
    # A background folded into the electric update here but not there (or
    # the other way round) scales the layer state and the accumulators.
    ratio = _curl_scale(sim) / data.get("curl_scale", 1.0)
    if ratio != 1.0:
        scaled = list(sim.epsi) + list(sim.medium.acc1) + list(sim.medium.acc2)
        with torch.no_grad():
            for t in scaled:
                t.mul_(ratio)
