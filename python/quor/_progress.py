"""Progress reporting of a count: a tqdm bar on stderr, or the user's callable."""
from __future__ import annotations

import contextlib
import sys
from typing import Any, Callable, Iterator, Optional, Union

ProgressCallback = Callable[[int, int], Any]
Progress = Union[bool, None, ProgressCallback]

# A count shorter than this shows no bar at all.
BAR_DELAY_SECONDS = 1.0


class _Bar:
    """Feeds (done, total) into a tqdm bar, made at the first call."""

    def __init__(self, what: str, unit: str = "cell") -> None:
        self._what = what
        self._unit = unit
        self._bar: Any = None

    def __call__(self, done: int, total: int) -> None:
        if self._bar is None:
            from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]  # only bars need it

            self._bar = tqdm(total=total, desc=self._what, unit=self._unit, file=sys.stderr,
                             delay=BAR_DELAY_SECONDS, dynamic_ncols=True)
        if total != self._bar.total:
            self._bar.total = total
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


@contextlib.contextmanager
def reporter(progress: Progress, what: str,
             unit: str = "cell") -> Iterator[Optional[ProgressCallback]]:
    """The callable the kernels report to (None for no reporting); a bar, counting in
    `unit`s, is closed on leaving, whether the count succeeded or not."""
    if progress is None or progress is False:
        yield None
    elif progress is True:
        bar = _Bar(what, unit)
        try:
            yield bar
        finally:
            bar.close()
    elif callable(progress):
        yield progress
    else:
        raise TypeError(
            f"progress must be True, False or a callable taking (done, total), "
            f"not {type(progress).__name__}")
