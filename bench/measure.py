"""Timing, resident memory and the result rows that the runner prints."""

import dataclasses
import os
import statistics
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


def time_series(run, setup=None, count=len, min_runs=MIN_RUNS):
    """Runs run() once as a warm-up, then at least min_runs timed times. With
    setup, each run is run(setup()) and setup is not timed. count(result),
    also untimed, gives the rows of a run, which must not change between
    runs. Returns the median time of the timed runs and the row count."""
    rows = None
    times = []
    for attempt in range(MAX_RUNS + 1):
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


def compare(workload, size, korvale, peer, unit="s", per=1, notes=()):
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
