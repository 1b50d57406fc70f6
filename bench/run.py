"""Benchmarks korvale against networkx and prints one table.

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

import korvale
import networkx

import graphs
import workloads
from measure import Result, RowMismatch, format_table
from worker import SHAPES

WORKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "worker.py")


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


FULL = Sizes(
    build=(10_000, 100_000),
    graphs=(10_000, 100_000),
    select=1_000_000,
    derivation=(1_000, 10_000),
    derivation_budget=120.0,
    memory=(100_000, 1_000_000),
    scaling={"select": 1_000_000, "two-hop": 100_000},
    floor_calls=10_000,
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
)


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


PARTS = {"in-process": in_process, "memory": memory, "scaling": scaling}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes, to check that every workload runs")
    parser.add_argument("--json", metavar="FILE", help="also write the results to FILE")
    parser.add_argument("--only", choices=sorted(PARTS), action="append", help="run only these parts")
    parser.add_argument(
        "--derivation-budget", type=float, metavar="SECONDS", help="stop a derivation run after this long"
    )
    args = parser.parse_args()
    sizes = SMOKE if args.smoke else FULL
    if args.derivation_budget:
        sizes = dataclasses.replace(sizes, derivation_budget=args.derivation_budget)
    machine = (
        f"{os.cpu_count()} cores ({len(os.sched_getaffinity(0))} usable), "
        f"Python {platform.python_version()}, networkx {networkx.__version__}"
    )
    progress(machine)
    try:
        results = [r for name in args.only or PARTS for r in PARTS[name](sizes)]
    except RowMismatch as mismatch:
        print(f"ROW MISMATCH: {mismatch}", file=sys.stderr)
        return 1
    print(machine)
    print(format_table(results))
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"machine": machine, "results": [r.as_dict() for r in results]}, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
