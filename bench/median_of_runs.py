#!/usr/bin/env python3
"""Median of each figure over several runs of pt_bench.

Usage: median_of_runs.py run1.json run2.json ...
where each file comes from
  pt_bench --benchmark_out=runN.json --benchmark_out_format=json
"""
import json
import statistics
import sys

# Times and the benchmarks' own counters; the rest describes the run.
SKIPPED = {"name", "family_index", "per_family_instance_index", "run_name", "run_type",
           "repetitions", "repetition_index", "threads", "iterations", "time_unit",
           "aggregate_name", "aggregate_unit", "error_occurred", "error_message"}


def main(paths):
    if not paths:
        sys.exit(__doc__)
    runs = [json.load(open(path))["benchmarks"] for path in paths]
    for bench in runs[0]:
        name = bench["name"]
        print(name)
        for key in bench:
            if key in SKIPPED or not isinstance(bench[key], (int, float)):
                continue
            values = [b[key] for run in runs for b in run if b["name"] == name and key in b]
            shown = " ".join("%.4g" % v for v in values)
            print("  %-12s %-10.4g (runs: %s)" % (key, statistics.median(values), shown))
        errors = [b.get("error_message") for run in runs for b in run
                  if b["name"] == name and b.get("error_occurred")]
        for error in errors:
            print("  ERROR", error)


if __name__ == "__main__":
    main(sys.argv[1:])
