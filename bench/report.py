"""The benchmark report: every bulk operation of VecList against its
numpy/scipy equivalent at n = 10^2 ... 10^7, the numpy boundary, repeated
maps and results written into arrays at 10^5 ... 10^7, the exact
statistics and fits against numpy, Open3D and scipy, the per-call
costs of Vec3d and Quat beside PyGLM and complex, and poses (Transform,
Euler angles, rotation vectors) beside PyGLM and scipy, written as
Markdown and PNG plots into bench/results/.

Run from the repository root (needs the `bench` extra):

    python3 -m pip install ".[bench]" && python3 bench/report.py

Ours and its peer are timed in alternation, best of several repetitions,
within a fixed time budget per point; each operation's results are checked
once against the peer's before anything is timed.
"""

import argparse
import datetime
import gc
import importlib.metadata
import os
import platform
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))

SIZES = tuple(10**k for k in range(2, 8))
CHECK_N = 100_000  # several ranges of work, so the pool takes part
FLOOR = "fresh copy"
HEADLINE = ("v * s", "v / s", "v + p", "v - p", "cross", "normalize", "collapse(1)", "rotate", "rotate_each")
SCALING_TARGET = 1.6
UNPACKING_TARGET = 3.0


def import_dependencies():
    """The benchmark dependencies (the `bench` extra), imported only once the
    arguments are read, so that --help works without them."""
    global np, plt, bench_fitting, bench_numpy_boundary, bench_poses, bench_quat, bench_steady_state, bench_vec3d
    global bench_vec_list
    global check, interleaved
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    import bench_fitting
    import bench_numpy_boundary
    import bench_poses
    import bench_quat
    import bench_steady_state
    import bench_vec3d
    import bench_vec_list
    from common import check, interleaved


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def pool_threads():
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        if os.environ.get(name):
            return f"{os.environ[name]} (from {name})"
    text = f"{len(os.sched_getaffinity(0))} (the CPUs this process may use"
    try:
        with open("/sys/fs/cgroup/cpu.max") as f:
            text += f"; cgroup cpu.max: {f.read().strip()}"
    except OSError:
        pass
    return text + ")"


def git_commit():
    try:
        out = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                             cwd=os.path.dirname(os.path.abspath(__file__)), check=True)
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], capture_output=True,
                               text=True, cwd=os.path.dirname(os.path.abspath(__file__)), check=True)
        return out.stdout.strip() + (" (with uncommitted changes)" if dirty.stdout.strip() else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def load():
    return ", ".join(f"{x:.2f}" for x in os.getloadavg())


def bulk_times(sizes, budget, rounds):
    """{operation: {n: [seconds of ours, peer(, raw)]}}, the peers' texts,
    the kinds and the checks: (bit-exact, largest difference)."""
    times, texts, kinds, checks = {}, {}, {}, {}
    rng = np.random.default_rng(2024)
    for n in sizes:
        arr = bench_vec_list.points(n, rng)
        ops = bench_vec_list.operations(arr) + bench_numpy_boundary.operations(arr)
        for op in ops:
            if n == CHECK_N:
                checks[op.name] = check(op)
            fns = [op.ours, op.peer] + ([op.raw] if op.raw else [])
            gc.collect()
            times.setdefault(op.name, {})[n] = interleaved(fns, budget * len(fns), rounds)
            texts[op.name] = [op.peer_text] + ([op.raw_text] if op.raw else [])
            kinds[op.name] = op.kind
        print(f"  n = {n:>10,}: done (load {load()})", flush=True)
        del arr, ops
        gc.collect()
    # The fresh-copy floor: the faster of the two ways measured here to make
    # a new array of the same 24 n bytes.
    times[FLOOR] = {n: [min(times["VecList(a)"][n])] for n in sizes}
    return times, texts, kinds, checks


def ns_per_element(seconds, n):
    return seconds / n * 1e9


def slug(name):
    for sign, word in (("*", " mul "), ("/", " div "), ("+", " add "), ("-", " sub ")):
        name = name.replace(sign, word)
    return re.sub(r"[^a-z0-9]+", "_", name.lower()).strip("_")


def plot_operation(name, series, peer_texts, floor, out_dir):
    sizes = sorted(series)
    fig, ax = plt.subplots(figsize=(6, 4))
    labels = ["tessary_py"] + peer_texts
    for k, label in enumerate(labels):
        ax.plot(sizes, [ns_per_element(series[n][k], n) for n in sizes], marker="o", label=label)
    ax.plot(sizes, [ns_per_element(floor[n][0], n) for n in sizes], linestyle="--", color="gray",
            label="fresh copy of the same bytes (floor)")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("n (vectors)")
    ax.set_ylabel("ns per element")
    ax.set_title(name)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    file = f"{slug(name)}.png"
    fig.savefig(os.path.join(out_dir, file), dpi=90)
    plt.close(fig)
    return file


def plot_ratios(times, names, out_dir):
    fig, ax = plt.subplots(figsize=(8, 5))
    for k, name in enumerate(names):
        sizes = sorted(times[name])
        ax.plot(sizes, [times[name][n][0] / times[name][n][1] for n in sizes], marker="o^s"[k % 3],
                color=plt.cm.tab20(k % 20), label=name)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("n (vectors)")
    ax.set_ylabel("ours / peer time (below 1: tessary_py is faster)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7, ncol=2)
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "ratios.png"), dpi=90)
    plt.close(fig)
    return "ratios.png"


def cell(value, digits=2):
    return "—" if value is None else f"{value:.{digits}f}"


def per_call_section(title, results, columns):
    """A Markdown table: ns per call of each contender and ours / peer."""
    peers = columns[1:]
    lines = [f"### {title}", "",
             "| operation | " + " | ".join(f"{c} (ns)" for c in columns) + " | "
             + " | ".join(f"ours / {c}" for c in peers) + " |",
             "|---" * (len(columns) + len(peers) + 1) + "|"]
    for name, (ours, *others) in results.items():
        ratios = [None if p is None else ours / p for p in others]
        lines.append(f"| `{name}` | {cell(ours, 1)} | " + " | ".join(cell(p, 1) for p in others) + " | "
                     + " | ".join(cell(r) for r in ratios) + " |")
    return lines


def write_report(args, info, times, texts, kinds, checks, vec3d, quat, poses, plots, steady, fitting, elapsed):
    big, mid = max(SIZES), max(n for n in SIZES if n < max(SIZES))
    floor = times[FLOOR]

    def nspe(name, n, k=0):
        return ns_per_element(times[name][n][k], n)

    lines = ["# Benchmark report", "",
             "Written by `python3 bench/report.py`; every number below was measured in the run described here.", "",
             "| | |", "|---|---|"]
    lines += [f"| {k} | {v} |" for k, v in info.items()]
    lines += [f"| run time | {elapsed:.0f} s |", "",
              "## Method", "",
              f"Each point times ours and its peer(s) in alternation: {args.rounds} rounds, each giving every "
              f"contender {args.budget / args.rounds:.2f} s (at least one call), and keeps the best time per call; calls shorter than "
              "1 ms are repeated within a sample. Before timing, each operation's result is compared once with the "
              f"peer's (at n = {CHECK_N:,}): bit for bit where the arithmetic is the same single IEEE operation, "
              "else within 1e-9 (table below). Ratios are **ours / peer**: below 1, tessary_py is faster.", "",
              "`rotate` works in place: ours turns the same list again on every call (no allocation), while scipy's "
              "`Rotation.apply` returns a new array each time; both apply one unit quaternion (axis (1, 2, 2)/3, "
              "0.7 rad). `rotate_each` likewise turns the same list again, each point by its own unit quaternion read "
              "from an (n, 4) array, against scipy building the `Rotation` from the same quaternions and applying "
              "it (`from_quat` included, as ours reads its array in the call). Operations returning Python lists are "
              "compared with numpy computing the same and then "
              "`.tolist()`, and also with numpy alone (no list). The fresh-copy floor is the faster of "
              "`VecList(a)` and `a.copy()` for the same 24 n bytes: the cost of writing a new array of that size.",
              "", f"## Ratios at n = {big:,}", "",
              "| operation | peer | ours (ns/element) | peer (ns/element) | ours / peer | floor (ns/element) "
              "| ours / floor |", "|---|---|---|---|---|---|---|"]
    for name in HEADLINE:
        ours, peer, fl = nspe(name, big), nspe(name, big, 1), ns_per_element(floor[big][0], big)
        lines.append(f"| `{name}` | `{texts[name][0]}` | {ours:.2f} | {peer:.2f} | {ours / peer:.2f} | {fl:.2f} "
                     f"| {ours / fl:.2f} |")
    scaling = nspe("v * s", big) / nspe("v * s", mid)
    unpack = vec3d["x, y, z = v"]
    unpack_ratio = unpack[0] / unpack[2]
    lines += ["", f"- `v * s`: ns per element at n = {big:,} over n = {mid:,}: **{scaling:.2f}** "
              f"(target ≤ {SCALING_TARGET}: {'met' if scaling <= SCALING_TARGET else 'missed'}).",
              f"- unpacking `x, y, z = v`: {unpack[0]:.1f} ns against PyGLM's {unpack[2]:.1f} ns, ours / PyGLM "
              f"**{unpack_ratio:.2f}** (target ≤ {UNPACKING_TARGET:g}: "
              f"{'met' if unpack_ratio <= UNPACKING_TARGET else 'missed'}).", "",
              "## Every bulk measurement (ns per element)", "",
              "| operation | contender | " + " | ".join(f"{n:.0e}".replace("e+0", "e") for n in SIZES) + " |",
              "|---|---|" + "---|" * len(SIZES)]
    for name, series in times.items():
        contenders = ["tessary_py"] + texts.get(name, []) if name != FLOOR else ["VecList(a) or a.copy()"]
        for k, who in enumerate(contenders):
            row = " | ".join(f"{ns_per_element(series[n][k], n):.3g}" for n in SIZES)
            lines.append(f"| `{name}` | `{who}` | {row} |")
    lines += ["", f"`np.asarray(vl)` per call: {times['np.asarray(vl)'][SIZES[0]][0] * 1e9:.0f} ns at n = "
              f"{SIZES[0]:,} and {times['np.asarray(vl)'][big][0] * 1e9:.0f} ns at n = {big:,} (no copy).", "",
              "## Checks: ours against the peer", "",
              "| operation | peer | kind | bit-exact | largest absolute difference |", "|---|---|---|---|---|"]
    for name, (exact, diff) in checks.items():
        lines.append(f"| `{name}` | `{texts[name][0]}` | {kinds[name]} | {'yes' if exact else 'no'} | {diff:.3g} |")
    lines += ["", "## Steady state: repeated maps, and results into arrays (`out=`)", "",
              "Each numpy formulation in `bench/bench_steady_state.py` is timed and the fastest is the peer; numpy "
              "gets its own `out=` wherever it takes one. Faults are minor page faults per call (getrusage) over "
              "ten calls once warm.", ""]
    lines += bench_steady_state.markdown(steady)
    lines += ["", "## Exact statistics and fits", "",
              "`bench/bench_fitting.py`: ours beside numpy, Open3D and scipy, and each result's error against the exact "
              "rational answer.", ""]
    lines += bench_fitting.markdown(fitting)
    lines += ["", "## Per call", "", "Ratios are ours / peer; `complex` is the floor of a C-level call that makes a "
              "new object.", ""]
    lines += per_call_section("Vec3d", vec3d, bench_vec3d.COLUMNS)
    lines += [""] + per_call_section("Quat and angles", quat, bench_quat.COLUMNS)
    lines += ["", "## Poses", "", "Transform, Euler angles and rotation vectors (`bench/bench_poses.py`): per call "
              "beside PyGLM's `dmat4`/`dquat` and scipy's `RigidTransform`/`Rotation`, then whole clouds, where "
              "`VecList.transform` moves the same list again on every call, beside scipy applying one transform "
              "and a stack of them.", ""]
    lines += bench_poses.markdown(poses)
    lines += ["", "## Plots", "", "![ours / peer against n](ratios.png)", ""]
    lines += [f"![{name}]({file})" for name, file in plots.items()]
    with open(os.path.join(args.out, "README.md"), "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results"))
    parser.add_argument("--budget", type=float, default=0.5, help="seconds per contender per point")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    import_dependencies()
    os.makedirs(args.out, exist_ok=True)
    start = time.perf_counter()
    info = {
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "CPU": cpu_model(),
        "cores": f"{os.cpu_count()} logical",
        "pool threads": pool_threads(),
        "load average at start (1, 5, 15 min)": load(),
        "Python": platform.python_version(),
        "numpy": np.__version__,
        "scipy": importlib.metadata.version("scipy"),
        "PyGLM": importlib.metadata.version("PyGLM"),
        "pyquaternion": importlib.metadata.version("pyquaternion"),
        "tessary_py commit": git_commit(),
    }
    print(f"bulk operations, n = {SIZES[0]:,} ... {SIZES[-1]:,} (load {load()})", flush=True)
    times, texts, kinds, checks = bulk_times(SIZES, args.budget, args.rounds)
    print(f"steady state (load {load()})", flush=True)
    steady = bench_steady_state.measure(budget=args.budget, rounds=args.rounds)
    print(f"statistics and fits (load {load()})", flush=True)
    fitting = bench_fitting.measure(budget=args.budget * 4, rounds=args.rounds)
    print(f"per call (load {load()})", flush=True)
    vec3d, quat = bench_vec3d.measure(), bench_quat.measure()
    print(f"poses (load {load()})", flush=True)
    poses = bench_poses.measure()
    info["load average at end (1, 5, 15 min)"] = load()
    plots = {name: plot_operation(name, series, texts[name], times[FLOOR], args.out)
             for name, series in times.items() if name != FLOOR}
    plot_ratios(times, [name for name in times if kinds.get(name) not in (None, "boundary")], args.out)
    write_report(args, info, times, texts, kinds, checks, vec3d, quat, poses, plots, steady, fitting,
                 time.perf_counter() - start)
    print(f"wrote {os.path.join(args.out, 'README.md')} in {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
