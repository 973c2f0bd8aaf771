"""How a simulation was built, as plain data that a file can hold and that
two runs can compare: what a checkpoint keeps so that it is resumed only
into the configuration that wrote it.

A feature is described by the arguments it was built with: ``recorded``
wraps its ``__init__`` (or a method such as ``set_objects``) and keeps, on
the instance, the described arguments of its last successful call with
the defaults filled in. A new feature needs that one decorator and no code
of its own. ``described`` turns any argument into plain data: numbers,
strings, lists and dicts; a dict with a ``kind`` stands for a thing of that
kind (a feature, shape, material, waveform or large tensor) with the
values that set it. ``differences`` compares two descriptions and names
each difference by where it lies.

A waveform is a Python function, which no file can hold: it is described
by the name of the function that made it and the numbers it carries as
attributes (``gaussian``'s t0, width, frequency and amplitude).
"""
from __future__ import annotations

import dataclasses
import functools
import inspect
import math
import numbers
import os
import zlib

import torch

# The attribute that holds an instance's recorded calls: a description, not
# state, so that a checkpoint's walk over the state passes it by.
RECORD = "_recorded"

# Tensors up to this many values are described value by value (wave vectors,
# frequencies); larger ones by their shape, type and a checksum.
LISTED = 64


def recorded(method):
    """Keep the described arguments of each successful call of ``method`` on
    the instance (under the method's name); a failed call keeps nothing."""
    signature = inspect.signature(method)

    @functools.wraps(method)
    def wrapper(self, *args, **kwargs):
        out = method(self, *args, **kwargs)
        # a subclass's __init__ that calls its parent's finishes last and
        # overwrites the parent's record with its own arguments
        self.__dict__.setdefault(RECORD, {})[method.__name__] = arguments(
            signature, self, *args, **kwargs)
        return out

    return wrapper


def arguments(signature: inspect.Signature, *args, **kwargs) -> dict:
    """The described arguments of one call, defaults filled in, keyword
    catch-alls spread out; ``self`` and the simulation a feature is built
    in are left out (the box is described on its own)."""
    bound = signature.bind(*args, **kwargs)
    bound.apply_defaults()
    out = {}
    for name, value in bound.arguments.items():
        kind = signature.parameters[name].kind
        if name in ("self", "sim"):
            continue
        if kind is inspect.Parameter.VAR_KEYWORD:
            out.update((k, described(v)) for k, v in value.items())
        else:
            out[name] = described(value)
    return out


def record(obj, method: str):
    """The described arguments of ``obj``'s last ``method`` call, or None."""
    return obj.__dict__.get(RECORD, {}).get(method)


def settled(obj, method: str, **values) -> None:
    """Put in the record of ``method`` the values that arguments left to
    the feature came to (a monitor's automatic decimation, chosen from the
    sources when the run starts): two runs that sum differently differ
    in their descriptions too."""
    kept = record(obj, method)
    if kept is not None:
        kept.update((name, described(v)) for name, v in values.items())


def forget(obj, method: str) -> None:
    """Drop the record of ``method``: what it set no longer holds."""
    obj.__dict__.get(RECORD, {}).pop(method, None)


def _function_name(f) -> str:
    # gaussian's pulse is "gaussian.<locals>.f": the function that made it
    # says what it is
    name = getattr(f, "__qualname__", None) or type(f).__name__
    return name.split(".<locals>", 1)[0]


def _tensor(t: torch.Tensor):
    t = t.detach().cpu()
    if t.numel() <= LISTED:
        return t.tolist()
    flat = t.contiguous().reshape(-1)
    crc = zlib.crc32(flat.view(torch.uint8).numpy())
    return {"kind": "tensor", "shape": list(t.shape), "dtype": str(t.dtype).replace("torch.", ""),
            "crc32": f"{crc:08x}"}


def described(value, depth: int = 0):
    """``value`` as plain data (see the module's text)."""
    from ..materials.poles import Dielectric
    from ..geometry.shapes import Object

    if depth > 12:  # a structure that refers back to itself
        return {"kind": type(value).__name__}
    deeper = functools.partial(described, depth=depth + 1)
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value)
    if isinstance(value, numbers.Complex):
        return complex(value)
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    init = record(value, "__init__") if hasattr(value, "__dict__") else None
    if init is not None:
        return {"kind": type(value).__name__, **init}
    if isinstance(value, Object):
        # an object reads as its shape, filled with its material
        return {**deeper(value.shape), "material": deeper(value.material)}
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {"kind": type(value).__name__,
                **{f.name: deeper(getattr(value, f.name)) for f in dataclasses.fields(value)
                   if f.init and not f.name.startswith("_")}}
    if hasattr(value, "__geo_interface__"):  # a polygon (shapely and others)
        return deeper(dict(value.__geo_interface__))
    if isinstance(value, torch.Tensor) or hasattr(value, "__array__"):
        try:
            return _tensor(torch.as_tensor(value))
        except Exception:  # no numbers to read (an object array, a tensor without data)
            return {"kind": type(value).__name__}
    if isinstance(value, dict):
        return {str(k): deeper(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [deeper(v) for v in value]
    if inspect.isroutine(value) or isinstance(value, functools.partial):
        numbers_on_it = {k: deeper(v) for k, v in getattr(value, "__dict__", {}).items()
                         if isinstance(v, numbers.Number) and not k.startswith("_")}
        return {"kind": _function_name(value), **numbers_on_it}
    if isinstance(value, Dielectric) or (type(value).__module__.startswith("orvane_sim")
                                         and hasattr(value, "__dict__")):
        # a material: the numbers it holds are the parameters it was made with
        return {"kind": type(value).__name__,
                **{k: deeper(v) for k, v in vars(value).items() if not k.startswith("_")}}
    return {"kind": type(value).__name__}


# ---------------------------------------------------------------- comparing


def _same(a, b) -> bool:
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if type(a) is not type(b) and not (isinstance(a, numbers.Number)
                                       and isinstance(b, numbers.Number)):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    return a == b


def shown(value) -> str:
    """A description as it reads in a message: a described thing as
    Kind(name=value, ...)."""
    if isinstance(value, dict):
        items = ", ".join(f"{k}={shown(v)}" for k, v in value.items() if k != "kind")
        return f"{value['kind']}({items})" if "kind" in value else "{" + items + "}"
    if isinstance(value, list):
        return "[" + ", ".join(shown(v) for v in value) + "]"
    return repr(value)


def _holds_things(value) -> bool:
    if isinstance(value, dict):
        return True
    return isinstance(value, list) and any(_holds_things(v) for v in value)


def _label(path: str, value) -> str:
    kind = value.get("kind") if isinstance(value, dict) else None
    return f"{path} ({kind})" if kind else path


def differences(there, here) -> list[str]:
    """What differs between two descriptions (``there``: the one saved),
    one phrase per difference: "sources.0 (PlaneWave): z 0.7 there, 0.8
    here", or "only the checkpoint has monitors.1 (FluxPlane)" for a
    feature, object or region one side lacks."""
    changed: list[str] = []
    only_there: list[str] = []
    only_here: list[str] = []

    def walk(a, b, path: str, owner: str, key: str) -> None:
        def join(*parts):
            return ".".join(p for p in parts if p)

        if isinstance(a, dict) and isinstance(b, dict) and a.get("kind") == b.get("kind"):
            inner = _label(path, a) if "kind" in a else owner
            for k in list(a) + [k for k in b if k not in a]:
                if k == "kind":
                    continue
                walk(a.get(k), b.get(k), join(path, k), inner,
                     k if "kind" in a else join(key, k))
            return
        if isinstance(a, list) and isinstance(b, list) and _holds_things(a + b):
            # a list of things (objects, sources, monitors): each on its own
            for i, (x, y) in enumerate(zip(a, b)):
                walk(x, y, join(path, str(i)), owner, join(key, str(i)))
            only_there.extend(_label(join(path, str(i)), x)
                              for i, x in enumerate(a[len(b):], len(b)))
            only_here.extend(_label(join(path, str(i)), y)
                             for i, y in enumerate(b[len(a):], len(a)))
            return
        if _same(a, b):
            return
        if isinstance(a, dict) and isinstance(b, dict):  # things of two kinds
            changed.append(f"{path}: {a.get('kind')} there, {b.get('kind')} here")
            return
        where = f"{owner}: {key}" if owner else key
        changed.append(f"{where} {shown(a)} there, {shown(b)} here")

    walk(there, here, "", "", "")
    out = []
    if only_there:
        out.append("only the checkpoint has " + ", ".join(only_there))
    if only_here:
        out.append("only this simulation has " + ", ".join(only_here))
    return out + changed
