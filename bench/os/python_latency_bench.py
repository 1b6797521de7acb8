#!/usr/bin/python3
"""Latency of one OS-level execution from Python, against two baselines
measured in the same run:

  quorrel     Sandbox(isolation="os").execute("true") on a warm sandbox
  subprocess  subprocess.run(["true"])
  bwrap       subprocess.run(["bwrap", "--ro-bind", "/", "/", "--unshare-all",
                              "--die-with-parent", "true"])

Run with Debian's interpreter against a build tree:

  QUORREL_BUILD_DIR=build /usr/bin/python3 bench/os/python_latency_bench.py [runs]

The three are interleaved round by round so that drifts of the machine
affect them alike. Prints p50/p90 per variant and the ratios of quorrel to
each baseline. A benchmark, not a test: it asserts nothing.
"""
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
BUILD_DIR = pathlib.Path(os.environ.get("QUORREL_BUILD_DIR", REPOSITORY / "build")).resolve()
sys.path.insert(0, str(BUILD_DIR / "src" / "python"))

import quorrel  # noqa: E402

BWRAP = ["bwrap", "--ro-bind", "/", "/", "--unshare-all", "--die-with-parent", "true"]


def percentile(samples, fraction):
    ordered = sorted(samples)
    index = min(len(ordered) - 1, max(0, round(fraction * (len(ordered) - 1))))
    return ordered[index]


def timed(call):
    started = time.perf_counter_ns()
    call()
    return (time.perf_counter_ns() - started) / 1e6  # milliseconds


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    sandbox = quorrel.Sandbox(isolation="os")

    def run_quorrel():
        result = sandbox.execute("true")
        if result.exit_code != 0:
            raise SystemExit(f"quorrel: true exited {result.exit_code}: {result.stderr!r}")

    def run_subprocess():
        subprocess.run(["true"], check=True)

    variants = {"quorrel": run_quorrel, "subprocess": run_subprocess}
    if shutil.which("bwrap"):
        probe = subprocess.run(BWRAP, capture_output=True)
        if probe.returncode == 0:
            variants["bwrap"] = lambda: subprocess.run(BWRAP, check=True)
        else:
            print(f"bwrap unusable here (exit {probe.returncode}): {probe.stderr.decode(errors='replace').strip()}")
    else:
        print("bwrap not installed; skipping that baseline")

    for call in variants.values():  # warm-up: back end created, caches filled
        for _ in range(10):
            call()

    samples = {name: [] for name in variants}
    for _ in range(runs):
        for name, call in variants.items():
            samples[name].append(timed(call))

    print(f"{runs} runs each, interleaved; milliseconds per execution")
    print(f"{'variant':<12}{'p50':>9}{'p90':>9}{'mean':>9}{'min':>9}")
    for name, values in samples.items():
        print(f"{name:<12}{percentile(values, 0.5):9.3f}{percentile(values, 0.9):9.3f}"
              f"{statistics.fmean(values):9.3f}{min(values):9.3f}")
    q50, q90 = percentile(samples["quorrel"], 0.5), percentile(samples["quorrel"], 0.9)
    for name in variants:
        if name == "quorrel":
            continue
        b50, b90 = percentile(samples[name], 0.5), percentile(samples[name], 0.9)
        print(f"quorrel / {name:<10} p50 {q50 / b50:6.2f}x   p90 {q90 / b90:6.2f}x")
    sandbox.close()


if __name__ == "__main__":
    main()
