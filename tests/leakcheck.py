"""Call something many times and fail on reference-count or memory growth."""
from __future__ import annotations

import gc
import os
import sys
import tracemalloc
from typing import Callable, Iterable

# Under AddressSanitizer freed memory is quarantined, so addresses are not
# reused and caches keyed by id() (numpy's, pandas') keep growing: traced
# memory says nothing there.  Reference counts are still checked.
SANITIZED = bool(os.environ.get("KESTRO_SANITIZED"))

# Objects whose reference counts the whole interpreter moves all the time.
_SHARED = (type(None), bool, type(NotImplemented), type(Ellipsis))


def assert_no_growth(
    call: Callable[[], object],
    *,
    repeat: int = 2000,
    warmup: int = 200,
    watch: Iterable[object] = (),
    expect: type[BaseException] | tuple[type[BaseException], ...] | None = None,
    max_bytes: int = 64 * 1024,
    max_ref_growth: int = 0,
    watch_result: bool = False,
    stretches: int = 1,
) -> None:
    """Run ``call`` ``repeat`` times; fail when traced memory grows by more
    than ``max_bytes`` or the reference count of any object in ``watch``
    changes by more than ``max_ref_growth``.  With ``expect``, each call must
    raise that exception.  With ``watch_result``, the value the last warm-up
    call returned is watched as well (a hook handing out one shared object
    must not add a reference to it per call).

    With ``stretches`` > 1 the calls are measured in that many stretches and
    the growth counted is the smallest stretch's times their number: a leak
    grows every stretch, while a one-off jump (a table of the interpreter's,
    allocated before tracing began, rebuilt to the same size) shows in one
    stretch only.  Long runs need this; short ones keep the plain total."""
    watched = list(watch)
    result: list[object] = [None]

    def once() -> None:
        if expect is None:
            result[0] = call()
            return
        try:
            call()
        except expect:
            return
        raise AssertionError(f"{call!r} did not raise {expect!r}")

    # Warm up under tracing: caches that fill once (pandas, the interpreter)
    # are then part of the baseline instead of looking like growth.
    tracemalloc.start()
    try:
        for _ in range(warmup):
            once()
        if watch_result and not isinstance(result[0], _SHARED):
            watched.append(result[0])
        result[0] = None
        gc.collect()
        counts = [sys.getrefcount(obj) for obj in watched]
        grown = []
        for stretch in range(stretches):
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(repeat // stretches):
                once()
            result[0] = None
            gc.collect()
            grown.append(tracemalloc.get_traced_memory()[0] - before)
        growth = sum(grown) if stretches == 1 else min(grown) * stretches
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(obj) for obj in watched]
    assert all(abs(b - a) <= max_ref_growth for a, b in zip(counts, after)), (
        f"reference counts changed: {counts} -> {after}")
    if not SANITIZED:
        assert growth <= max_bytes, f"traced memory grew by {growth} bytes over {repeat} calls"
