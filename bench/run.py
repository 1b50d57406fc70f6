"""Benchmarks korvale against networkx and prints three tables: warm calls,
cold calls, and the warm calls again under PyPy.

Run with the built module on the path (`make bench` does this):
    PYTHONPATH=build /usr/bin/python3 bench/run.py [--smoke] [--json FILE]
Exits with status 1 when the two sides (or two runs) return different rows.
"""

import argparse
import dataclasses
import json
import os
import platform
import subprocess
import sys
import tempfile

import korvale
import networkx

import graphs
import workloads
from measure import Result, RowMismatch, Sweeper, format_table
from worker import SHAPES

BENCH = os.path.dirname(os.path.abspath(__file__))
WORKER = os.path.join(BENCH, "worker.py")
PYPY = "/usr/bin/pypy3"
PYPY_BUILD = os.path.join(os.path.dirname(BENCH), "build-pypy")
# Debian's networkx is pure Python, installed for CPython; PyPy imports it from there.
DIST_PACKAGES = "/usr/lib/python3/dist-packages"


@dataclasses.dataclass
class Sizes:
    build: tuple  # nodes per build
    graphs: tuple  # nodes (and as many edges) of the two-hop graphs
    select: int  # nodes of the largest select graph, built without edges
    derivation: tuple  # K
    derivation_budget: float  # seconds one derivation run may take
    memory: tuple  # (low, high) elements
    scaling: dict  # workload -> nodes
    floor_calls: int
    cold: int  # nodes (and as many edges) of the graph of the cold calls
    cold_calls: int


FULL = Sizes(
    build=(10_000, 100_000),
    graphs=(10_000, 100_000),
    select=1_000_000,
    derivation=(1_000, 10_000),
    derivation_budget=120.0,
    memory=(100_000, 1_000_000),
    scaling={"select": 1_000_000, "two-hop": 100_000},
    floor_calls=10_000,
    cold=100_000,
    cold_calls=21,
)

SMOKE = Sizes(
    build=(100, 300),
    graphs=(2_000, 4_000),
    select=6_000,
    derivation=(10, 30),
    derivation_budget=60.0,
    memory=(1_000, 3_000),
    scaling={"select": 5_000, "two-hop": 3_000},
    floor_calls=100,
    cold=4_000,
    cold_calls=3,
)


def usable_cpus():
    # PyPy's os has no sched_getaffinity; its runs are never pinned.
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count()


def progress(text):
    print(text, file=sys.stderr, flush=True)


def run_worker(*args, cores=None):
    command = [sys.executable, WORKER, *map(str, args)]
    if cores is not None:
        command = ["taskset", "-c", cores, *command]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed:\n{done.stderr}")
    return json.loads(done.stdout)


def in_process(sizes):
    results = []
    pairs = []
    for nodes in sizes.graphs:
        progress(f"building the graphs of {nodes} nodes and edges")
        pairs.append(graphs.Pair(nodes, edges=nodes))
    for pair in pairs:
        progress(f"two-hop, select, bulk return at {pair.size}")
        results.append(workloads.two_hop(pair))
        results.append(workloads.select(pair))
        results.append(workloads.bulk_return(pair))
    progress(f"select at {sizes.select}")
    results.append(workloads.select(graphs.Pair(sizes.select)))
    progress("floor")
    results.append(workloads.floor(korvale.Graph(), "empty graph", sizes.floor_calls))
    last = pairs[-1]
    label = f"{workloads.size_text(last.size)} nodes+edges"
    results.append(workloads.floor(last.korvale, label, sizes.floor_calls))
    del pairs, last
    smaller = None
    for count in sizes.build:
        progress(f"build of {count} nodes")
        smaller = workloads.build(count, smaller)
        results.append(smaller)
    smaller = None
    for count in sizes.derivation:
        progress(f"derivation at K = {count}")
        smaller = workloads.derivation(count, sizes.derivation_budget, smaller)
        results.append(smaller)
    return results


def memory(sizes):
    low, high = sizes.memory
    size = f"{workloads.size_text(low)} → {workloads.size_text(high)}"
    results = []
    for shape in SHAPES:
        progress(f"memory: {shape}")
        mine = run_worker("memory", "korvale", shape, low, high)
        peer = run_worker("memory", "networkx", shape, low, high)
        result = Result(
            f"memory: {shape}",
            size,
            mine["bytes_per_element"],
            peer["bytes_per_element"],
            unit="B/elem",
            korvale_rows=mine["nodes"] + mine["edges"],
            peer_rows=peer["nodes"] + peer["edges"],
        )
        result.check_rows()
        ratio = result.ratio()
        result.notes.append(workloads.target(ratio is not None and ratio <= 1, "ratio ≤ 1"))
        results.append(result)
    return results


def scaling(sizes):
    results = []
    for workload, nodes in sizes.scaling.items():
        progress(f"scaling: {workload}")
        one = run_worker("scaling", workload, nodes, cores="0")
        every = run_worker("scaling", workload, nodes)
        if one["rows"] != every["rows"]:
            raise RowMismatch(f"scaling {workload}: {one['rows']} rows on one core, {every['rows']} on all")
        speedup = one["median"] / every["median"]
        result = Result(
            f"scaling: {workload}",
            f"{workloads.size_text(nodes)} nodes",
            every["median"],
            korvale_rows=every["rows"],
            notes=[
                f"korvale on {every['cpus']} cores; on 1 core (taskset -c 0): "
                f"{one['median'] * 1e3:.3g} ms",
                f"threads {one['threads']} vs {every['threads']}",
                workloads.target(speedup >= 5, f"speedup ×{speedup:.2g} ≥ ×5"),
            ],
        )
        results.append(result)
    return results


def cold(sizes, options):
    progress(f"cold calls at {sizes.cold}")
    sweep = Sweeper()
    options.notes["cold"] = sweep.describe()
    return workloads.cold(graphs.Pair(sizes.cold, edges=sizes.cold), sweep, sizes.cold_calls)


def pypy_module(build):
    return [name for name in os.listdir(build) if name.startswith("korvale.pypy")] if os.path.isdir(build) else []


def pypy(sizes, options):
    """The in-process part again, run by PyPy with the module built for it."""
    options.pypy_build = os.path.abspath(options.pypy_build)
    if not pypy_module(options.pypy_build):
        options.notes["pypy"] = f"skipped: no korvale module built for PyPy in {options.pypy_build}"
        progress(f"PyPy {options.notes['pypy']}")
        return []
    env = dict(os.environ, PYTHONPATH=f"{options.pypy_build}{os.pathsep}{DIST_PACKAGES}")
    # The PyPy module has no sanitizer in it: a runtime preloaded for the
    # CPython build under test has nothing to check there.
    for name in ("LD_PRELOAD", "PYTHONMALLOC"):
        env.pop(name, None)
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "pypy.json")
        command = [PYPY, os.path.join(BENCH, "run.py"), "--only", "in-process", "--json", out]
        command += ["--smoke"] if options.smoke else []
        command += ["--derivation-budget", str(sizes.derivation_budget)]
        progress("PyPy: " + " ".join(command))
        lines = []
        with subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True) as child:
            for line in child.stderr:
                progress("PyPy: " + line.rstrip())
                lines.append(line)
        if child.returncode != 0:
            for line in lines:
                if line.startswith("ROW MISMATCH: "):
                    raise RowMismatch("under PyPy, " + line.removeprefix("ROW MISMATCH: ").rstrip())
            raise RuntimeError(f"the PyPy run failed with status {child.returncode}")
        with open(out) as data:
            found = json.load(data)
    options.notes["pypy"] = found["machine"]
    results = []
    for entry in found["results"]:
        entry.pop("ratio")
        results.append(Result(**{**entry, "table": "pypy"}))
    return results


def parts(sizes, options):
    return {
        "in-process": lambda: in_process(sizes),
        "cold": lambda: cold(sizes, options),
        "memory": lambda: memory(sizes),
        "scaling": lambda: scaling(sizes),
        "pypy": lambda: pypy(sizes, options),
    }


PART_NAMES = ("in-process", "cold", "memory", "scaling", "pypy")
TABLES = {
    "warm": "Warm calls, back to back",
    "cold": "Cold calls",
    "pypy": "Warm calls under PyPy, against networkx under PyPy",
}


def print_tables(results, notes):
    for table, title in TABLES.items():
        rows = [r for r in results if r.table == table]
        if not rows and table not in notes:
            continue
        print(f"\n{title}" + (f" ({notes[table]})" if table in notes else "") + ":")
        if rows:
            print(format_table(rows))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes, to check that every workload runs")
    parser.add_argument("--json", metavar="FILE", help="also write the results to FILE")
    parser.add_argument("--only", choices=PART_NAMES, action="append", help="run only these parts")
    parser.add_argument(
        "--derivation-budget", type=float, metavar="SECONDS", help="stop a derivation run after this long"
    )
    parser.add_argument(
        "--pypy-build", default=PYPY_BUILD, metavar="DIR", help=f"the module built for PyPy (default {PYPY_BUILD})"
    )
    args = parser.parse_args()
    args.notes = {}  # table -> the conditions printed in its title
    sizes = SMOKE if args.smoke else FULL
    if args.derivation_budget:
        sizes = dataclasses.replace(sizes, derivation_budget=args.derivation_budget)
    machine = (
        f"{os.cpu_count()} cores ({usable_cpus()} usable), "
        f"{platform.python_implementation()} {platform.python_version()}, networkx {networkx.__version__}"
    )
    progress(machine)
    run = parts(sizes, args)
    try:
        results = [r for name in args.only or PART_NAMES for r in run[name]()]
    except RowMismatch as mismatch:
        print(f"ROW MISMATCH: {mismatch}", file=sys.stderr)
        return 1
    print(machine)
    print_tables(results, args.notes)
    if args.json:
        with open(args.json, "w") as out:
            report = {"machine": machine, "notes": args.notes, "results": [r.as_dict() for r in results]}
            json.dump(report, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
