"""Timing, resident memory and the result rows that the runner prints."""

from __future__ import annotations  # PyPy 3.9 runs this too

import dataclasses
import glob
import os
import statistics
import subprocess
import time

MIN_RUNS = 5
# Short series keep running until they have taken this long (or MAX_RUNS), so
# that a median of millisecond runs is not five samples of noise.
MIN_SERIES_SECONDS = 0.5
MAX_RUNS = 100


class RowMismatch(Exception):
    """The two sides (or two runs of one side) returned different rows."""


@dataclasses.dataclass
class Series:
    median: float
    runs: int
    rows: int


def time_series(run, setup=None, count=len, min_runs=MIN_RUNS, max_runs=MAX_RUNS):
    """Runs run() once as a warm-up, then at least min_runs timed times (at
    most max_runs). With setup, each run is run(setup()) and setup is not
    timed. count(result), also untimed, gives the rows of a run, which must not
    change between runs. Returns the median time of the timed runs and the row
    count."""
    rows = None
    times = []
    for attempt in range(max_runs + 1):
        if attempt > min_runs and sum(times) >= MIN_SERIES_SECONDS:
            break
        state = setup() if setup else None
        start = time.perf_counter()
        result = run(state) if setup else run()
        elapsed = time.perf_counter() - start
        found = count(result)
        del result, state
        if rows is not None and found != rows:
            raise RowMismatch(f"run {attempt} returned {found} rows, the warm-up {rows}")
        rows = found
        if attempt > 0:
            times.append(elapsed)
    return Series(statistics.median(times), len(times), rows)


def cache_bytes_from_sysfs(root="/sys/devices/system/cpu/cpu0/cache"):
    """The size of cpu0's last-level cache as sysfs lists it, or None."""
    best = None
    for index in glob.glob(os.path.join(root, "index*")):
        try:
            with open(os.path.join(index, "level")) as level, open(os.path.join(index, "size")) as size:
                entry = int(level.read()), size.read().strip()
        except (OSError, ValueError):
            continue
        if best is None or entry[0] > best[0]:
            best = entry
    if best is None:
        return None
    text = best[1]
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:], 1)
    return int(text.rstrip("KMG")) * scale


def cache_bytes_from_cpuid():
    """The largest cache size glibc reads from cpuid (getconf), or None."""
    found = []
    for name in ("LEVEL4_CACHE_SIZE", "LEVEL3_CACHE_SIZE", "LEVEL2_CACHE_SIZE"):
        try:
            done = subprocess.run(["getconf", name], capture_output=True, text=True)
            found.append(int(done.stdout))
        except (OSError, ValueError):
            pass
    return max(found, default=0) or None


def last_level_cache():
    """(bytes, where the figure came from). Virtual machines often have no
    cache directory in sysfs; cpuid then still tells the hypervisor's figure."""
    size = cache_bytes_from_sysfs()
    if size:
        return size, "sysfs"
    size = cache_bytes_from_cpuid()
    if size:
        return size, "cpuid"
    return None, "unknown"


MIN_SWEEP_BYTES = 64 << 20
# Copies stay this small so that memmove keeps to ordinary stores: on large
# sizes it streams past the caches, and the sweep would evict less.
SWEEP_CHUNK = 64 << 10


class Sweeper:
    """Reads and writes every cache line of a buffer larger than the last-level
    cache, so that what a call needs is back in memory, its TLB entries are
    gone and the pool's threads have gone to sleep, as when a program does
    other work between queries."""

    def __init__(self):
        self.cache, self.cache_source = last_level_cache()
        size = max(MIN_SWEEP_BYTES, 2 * (self.cache or 0))
        self.half = -(-size // (2 * SWEEP_CHUNK)) * SWEEP_CHUNK
        self.view = memoryview(bytearray(2 * self.half))  # zero pages: touch them now
        self()

    def __call__(self):
        view, half = self.view, self.half
        for source, target in ((0, half), (half, 0)):
            for at in range(0, half, SWEEP_CHUNK):
                view[target + at : target + at + SWEEP_CHUNK] = view[source + at : source + at + SWEEP_CHUNK]

    def describe(self):
        cache = "unknown" if self.cache is None else f"{self.cache >> 20} MiB ({self.cache_source})"
        return f"each timed call follows an untimed sweep of {2 * self.half >> 20} MiB; last-level cache {cache}"


def cold_series(run, sweep, calls, count=len):
    """The median of calls timed runs of run(), each after sweep() (untimed),
    following one warm-up that checks the rows like time_series does."""
    return time_series(lambda _: run(), setup=sweep, count=count, min_runs=calls, max_runs=calls)


def resident_bytes():
    """The process's resident set size, from /proc/self/statm."""
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")


@dataclasses.dataclass
class Result:
    """One table row. Values are seconds, or bytes when unit is 'B/elem'."""

    workload: str
    size: str
    korvale: float | None
    peer: float | None = None
    unit: str = "s"
    notes: list[str] = dataclasses.field(default_factory=list)
    korvale_rows: int | None = None
    peer_rows: int | None = None
    table: str = "warm"  # or "cold", or "pypy" (run by PyPy, against networkx under PyPy)

    def ratio(self):
        if self.korvale is None or not self.peer:
            return None
        return self.korvale / self.peer

    def check_rows(self):
        if self.peer_rows is not None and self.korvale_rows != self.peer_rows:
            raise RowMismatch(
                f"{self.workload} at {self.size}: korvale returned {self.korvale_rows} rows, "
                f"networkx {self.peer_rows}"
            )

    def as_dict(self):
        return {**dataclasses.asdict(self), "ratio": self.ratio()}


def compare(workload, size, korvale, peer, unit="s", per=1, notes=(), table="warm"):
    """A result from two series (peer may be None), divided by per (time per
    node, per edge, per call)."""
    result = Result(
        workload,
        size,
        korvale.median / per,
        peer.median / per if peer else None,
        unit,
        list(notes),
        korvale.rows,
        peer.rows if peer else None,
        table,
    )
    result.check_rows()
    return result


def format_value(value, unit):
    if value is None:
        return "—"
    if unit == "B/elem":
        return f"{value:.0f} B/elem"
    suffix = unit[1:]  # "/node", "/edge", "/call" or ""
    for scale, name in ((1.0, "s"), (1e-3, "ms"), (1e-6, "µs")):
        if value >= scale:
            return f"{value / scale:.3g} {name}{suffix}"
    return f"{value / 1e-9:.3g} ns{suffix}"


def format_table(results):
    header = ["workload", "size", "rows", "korvale median", "networkx median", "ratio (korvale/networkx)", "notes"]
    lines = [header]
    for r in results:
        ratio = r.ratio()
        lines.append(
            [
                r.workload,
                r.size,
                "—" if r.korvale_rows is None else str(r.korvale_rows),
                format_value(r.korvale, r.unit),
                format_value(r.peer, r.unit),
                "—" if ratio is None else f"{ratio:.3g}",
                "; ".join(r.notes),
            ]
        )
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    rendered = ["| " + " | ".join(cell.ljust(w) for cell, w in zip(line, widths)) + " |" for line in lines]
    rendered.insert(1, "|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(rendered)
