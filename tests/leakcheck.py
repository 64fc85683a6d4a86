"""Call something many times and fail on reference-count or memory growth."""
from __future__ import annotations

import gc
import sys
import tracemalloc
from typing import Callable, Iterable


def assert_no_growth(
    call: Callable[[], object],
    *,
    repeat: int = 2000,
    warmup: int = 200,
    watch: Iterable[object] = (),
    expect: type[BaseException] | tuple[type[BaseException], ...] | None = None,
    max_bytes: int = 64 * 1024,
) -> None:
    """Run ``call`` ``repeat`` times; fail when traced memory grows by more
    than ``max_bytes`` or the reference count of any object in ``watch``
    changes.  With ``expect``, each call must raise that exception."""
    watched = list(watch)

    def once() -> None:
        if expect is None:
            call()
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
        gc.collect()
        counts = [sys.getrefcount(obj) for obj in watched]
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(repeat):
            once()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == counts, f"reference counts changed: {counts} -> {after}"
    assert growth <= max_bytes, f"traced memory grew by {growth} bytes over {repeat} calls"
