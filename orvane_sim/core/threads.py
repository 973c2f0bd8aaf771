"""How many CPU threads a run's steps use, chosen from their own timings.

The CPU kernels share each launch's cells among PyTorch's threads, and a
thread that finishes early takes work from the others. What that cannot
mend is a thread that waits for its turn on a core another process holds:
every launch ends with a join, and the join waits for it. With one of two
cores busy, two threads then step slower than one: PyTorch's OpenMP workers
spin between launches, so the busy core is shared by turns.

So a run keeps measuring. Now and then it times a few steps with one thread
fewer (or one more, up to the count PyTorch was set to) against as many with
its current count, and keeps whichever was faster by a clear margin. The
first probe comes early; while probes keep the count, they come less and
less often, so that on a quiet machine they cost a fraction of a percent,
and steps that turn clearly slower or faster than the last probe found
bring the next one forward.

The count chosen is PyTorch's for the whole process while the run goes on
(its own reductions between steps, such as an energy sum, would otherwise
wake the waiting workers). The tuners of a process share what they left
PyTorch set to and the caller's count it stands for, so that another box
starts from the count found and still knows the caller's; a count the
caller sets between calls becomes the new most to use.
``ThreadTuner.release`` gives the caller's count back.
The thread count never changes the fields: the kernels' results do not
depend on how their cells are shared.
"""
from __future__ import annotations

import statistics
import time
from typing import Callable

import torch


# How much longer or shorter than the last probe found a step of the current
# count must take, a few steps in a row, to bring the next probe forward.
CHANGED = 1.3


class _Left:
    """What the process's tuners last left PyTorch set to (0: nothing), and
    the caller's count that it stands for."""
    threads = 0
    setting = 0


class ThreadTuner:
    """Steps a run with the thread count that its recent steps found fastest.

    ``first``: steps before the first probe; ``every``: steps between the
    first probes, doubled after each probe that finds the other count
    clearly slower, up to ``longest``, and back to ``every`` after a
    switch or a probe too close to tell; ``probe``: steps timed with each
    of the two counts compared (each block starts with one more, untimed:
    a switch changes how the threads wait), and steps in a row whose time
    changed that bring a probe forward; ``margin``: how much faster (a
    fraction) the other count must be to be kept; ``clock``: seconds, for
    tests.
    """

    def __init__(self, first: int = 5, every: int = 250, longest: int = 4000, probe: int = 4,
                 margin: float = 0.05, clock: Callable[[], float] = time.perf_counter):
        if min(first, every, probe) < 1 or longest < every or not 0 <= margin < 1:
            raise ValueError(f"first, every and probe must be at least 1, longest at least "
                             f"every and margin in [0, 1), got first={first!r}, "
                             f"every={every!r}, longest={longest!r}, probe={probe!r}, "
                             f"margin={margin!r}")
        self.first, self.every, self.longest = first, every, longest
        self.probe, self.margin, self.clock = probe, margin, clock
        self.setting = 0  # the most threads to use: PyTorch's count when it was found
        self.current = 0  # the count in use
        self.left = 0  # what this tuner left PyTorch set to: current, or a probe's count
        self.until_probe = first
        self.interval = every
        self.upward = False  # which neighbour the next probe tries, where both are open
        # the probe under way, across calls: the count it tries, and
        # [(threads, seconds or None for a block's untimed first step), ...]
        self.other = 0
        self.trial: list | None = None
        self.baseline = 0.0  # seconds per step of the current count at the last probe
        self.changed = 0  # steps in a row since then whose time CHANGED from it

    def advance(self, count: int, steps: Callable[[int, bool], None]) -> None:
        """Run ``count`` steps through ``steps(k, first)`` (k steps; first:
        whether they begin the call)."""
        found = torch.get_num_threads()
        setting = _Left.setting if found == _Left.threads else found
        if setting != self.setting:  # the first call, or the caller set a count since
            self.setting = setting
            self.until_probe, self.interval, self.trial = self.first, self.every, None
            self.current, self.baseline = found, 0.0
        elif found != self.left:  # another box's steps ran in between: take its count
            self.current, self.trial, self.baseline = found, None, 0.0
        if self.setting == 1:
            steps(count, True)
            return
        done = 0
        try:
            while done < count:
                if self.trial is None and self.until_probe > 0:
                    k = min(count - done, self.until_probe)
                    torch.set_num_threads(self.current)
                    t0 = self.clock()
                    steps(k, done == 0)
                    self._watch((self.clock() - t0) / k, k)
                    self.until_probe -= k
                    done += k
                    continue
                if self.trial is None:
                    self.other, self.trial = self._neighbour(), []
                block = self.probe + 1
                threads = self._trial_count()
                torch.set_num_threads(threads)
                t0 = self.clock()
                steps(1, done == 0)
                seconds = self.clock() - t0
                self.trial.append((threads, None if len(self.trial) % block == 0 else seconds))
                done += 1
                if len(self.trial) == 2 * block:
                    self._decide()
        finally:
            # Between calls PyTorch keeps the count the next step takes, a
            # probe's included: the caller's own operations between steps
            # (an energy sum) would otherwise wake the other count's workers
            # into the probe's next step.
            self.left = self.current if self.trial is None else self._trial_count()
            torch.set_num_threads(self.left)
            _Left.threads, _Left.setting = self.left, self.setting

    def _watch(self, seconds: float, steps: int) -> None:
        """Between probes: steps of the current count that take clearly
        longer or shorter than the last probe found (a few in a row) bring
        the next probe forward, so that load arriving after a long quiet
        spell, or leaving, is met at once rather than at the next of the
        rarer probes."""
        if self.baseline and not self.baseline / CHANGED < seconds < CHANGED * self.baseline:
            self.changed += steps
            if self.changed >= self.probe:
                self.until_probe, self.interval = 0, self.every
        else:
            self.changed = 0

    def _trial_count(self) -> int:
        """The count of the probe's next step: a block of the current count,
        then one of the other."""
        return self.current if len(self.trial) < self.probe + 1 else self.other

    def release(self) -> None:
        """Set PyTorch back to the caller's count, if it still holds the one
        a tuner left."""
        if _Left.threads and torch.get_num_threads() == _Left.threads:
            torch.set_num_threads(_Left.setting)
            self.current = self.left = _Left.setting
            self.trial = None
        _Left.threads = 0

    def _decide(self) -> None:
        def median(threads: int) -> float:
            return statistics.median(s for t, s in self.trial if t == threads and s is not None)

        now, other = median(self.current), median(self.other)
        self.baseline, self.changed = now, 0
        if other < (1 - self.margin) * now:
            self.current, self.baseline = self.other, other
            self.interval = self.every
        elif other > now / (1 - self.margin):  # clearly slower: the count holds
            self.interval = min(2 * self.interval, self.longest)
        else:  # too close to tell: ask again as soon as at first
            self.interval = self.every
        self.trial = None
        self.upward = not self.upward
        self.until_probe = self.interval

    def _neighbour(self) -> int:
        up, down = min(self.current + 1, self.setting), max(self.current - 1, 1)
        if up == self.current:
            return down
        if down == self.current:
            return up
        return up if self.upward else down
