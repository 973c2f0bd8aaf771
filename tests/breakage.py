"""Helpers for the bad-argument tables: break one argument of a valid call,
expect a RuntimeError naming function and argument, and find every tensor
as it was before the call."""
import pytest
import torch


def replace(**new):
    """Breakage that replaces arguments by values or functions of the args."""
    return lambda args: args.update({k: v(args) if callable(v) else v for k, v in new.items()})


def shrink(name, dim, by=1):
    return replace(**{name: lambda a: a[name].narrow(dim, 0, a[name].size(dim) - by)})


def retype(name, dtype):
    return replace(**{name: lambda a: a[name].to(dtype)})


def to_meta(name):
    return replace(**{name: lambda a: a[name].to("meta")})


def expect_refused(module, function, args, pattern):
    """Call with the (broken) args: RuntimeError matching `pattern`, nothing changed."""
    before = {n: t.clone() for n, t in args.items()
              if isinstance(t, torch.Tensor) and t.device.type != "meta"}
    with pytest.raises(RuntimeError, match=pattern):
        getattr(module, function)(*args.values())
    for name, old in before.items():
        assert torch.equal(args[name], old), f"{name} changed by a failed call"
