"""The worker pool behind VecList: how it is sized, that results do not
depend on its size, that it survives fork() and a refusal to start threads.

The pool is only observable from outside the module: its size shows as the
number of threads of the process after a large bulk operation (the calling
thread plus size - 1 workers). Each case therefore runs in a fresh
interpreter with its own environment.
"""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
LINUX = sys.platform.startswith("linux")
pytestmark = [pytest.mark.platform_dependent, pytest.mark.skipif(not LINUX, reason="thread counts are read from /proc")]


def run_python(code, env_vars=None, timeout=60, preload=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_vars or {})
    if preload:  # after whatever the run already preloads (a sanitizer's runtime must stay first)
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), preload]))
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                            text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


# Threads of the process beyond those it started with: the pool's workers,
# plus one for the calling thread. An emulator such as qemu-user runs a
# thread of its own in every process, which is not the pool's.
THREADS = """
    import os
    started_with = len(os.listdir("/proc/self/task"))
    def threads():
        return len(os.listdir("/proc/self/task")) - started_with + 1
"""

# Thread counts: at start, after small operations, after a large one, and
# after a second large one with the environment changed.
COUNT_THREADS = THREADS + """
    import os
    from tessary_py import Vec3d, VecList
    start = threads()
    small = VecList([Vec3d(1, 2, 3)] * 1000)
    small.normalize(), small.dot(Vec3d(1, 1, 1)), small.minimum_distance_to(Vec3d(0, 0, 0), 1), repr(small[0])
    before = threads()
    big = VecList([Vec3d(1, 2, 3)] * 200_000)
    big.normalize()
    after = threads()
    os.environ["RAYON_NUM_THREADS"] = "7"
    big.magnitude()
    print(start, before, after, threads())
"""


def pool_size(env_vars, preload=None):
    start, before, after, later = map(int, run_python(COUNT_THREADS, env_vars, preload=preload))
    assert start == before == 1, "the pool is created by the first operation that shares work"
    assert later == after, "the size is fixed when the pool is created"
    return after


@pytest.fixture(scope="session")
def probe(tmp_path_factory):
    """The sizing rules compiled on their own, to feed them file trees."""
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    out = tmp_path_factory.mktemp("probe") / "probe"
    subprocess.run([compiler, "-std=c++20", "-O0", f"-I{ROOT / 'tessary/src'}", "-o", str(out),
                    str(ROOT / "tests/native/pool_sizing_probe.cpp"),
                    str(ROOT / "tessary-py/src/pool/sizing.cpp")], check=True, capture_output=True)

    def run(*args):
        return subprocess.run([str(out), *args], check=True, capture_output=True, text=True).stdout.strip()

    return run


@pytest.fixture(scope="session")
def default_size(probe):
    """The documented default on this machine: the affinity set, lowered to
    the control group's CPU quota."""
    affinity = len(os.sched_getaffinity(0))
    limit = probe("cgroup", "")
    return affinity if limit == "none" else min(affinity, int(limit))


class TestSizing:
    @pytest.mark.parametrize("env_vars, expected", [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+4"}, 4),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "4x", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "+3"}, 3),
        ({"RAYON_RS_NUM_CPUS": "5"}, 5),
        # An explicit 0 means the default and skips the second variable.
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, "default"),
        ({"RAYON_NUM_THREADS": "99999999999999999999999"}, "default"),
        ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "0"}, "default"),
        ({"RAYON_RS_NUM_CPUS": "-2"}, "default"),
        ({}, "default"),
    ])
    def test_environment(self, env_vars, expected, default_size):
        assert pool_size(env_vars) == (default_size if expected == "default" else expected)

    @pytest.mark.parametrize("text, expected", [
        ("0", "0"), ("+4", "4"), ("007", "7"), ("18446744073709551615", "18446744073709551615"),
        ("4x", "none"), ("", "none"), ("+", "none"), ("-1", "none"), (" 4", "none"), ("4 ", "none"),
        ("++4", "none"), ("0x10", "none"), ("18446744073709551616", "none"), ("99999999999999999999999", "none"),
    ])
    def test_count_syntax(self, probe, text, expected):
        assert probe("parse", text) == expected

    @pytest.mark.parametrize("num_threads, rs_num_cpus, expected", [
        ("3", "5", "3"), ("0", "5", "default"), ("-", "5", "5"), ("x", "5", "5"), ("", "+2", "2"),
        ("-", "0", "default"), ("-", "-", "default"), ("0", "-", "default"),
    ])
    def test_variable_precedence(self, probe, num_threads, rs_num_cpus, expected):
        assert probe("env", num_threads, rs_num_cpus) == expected


def cgroup_tree(root, groups, mountinfo, files):
    (root / "proc/self").mkdir(parents=True)
    (root / "proc/self/cgroup").write_text(groups)
    (root / "proc/self/mountinfo").write_text(mountinfo)
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return str(root)


V2_MOUNT = "30 23 0:26 / /sys/fs/cgroup rw,nosuid,nodev - cgroup2 cgroup2 rw,nsdelegate\n"
V1_MOUNT = "40 31 0:37 / /sys/fs/cgroup/cpu,cpuacct rw,relatime - cgroup cgroup rw,cpu,cpuacct\n"


class TestCpuQuota:
    """The control-group quota, read from file trees laid out like /proc and
    /sys of processes under a quota."""

    @pytest.mark.parametrize("files, expected", [
        ({"app/cpu.max": "150000 100000\n"}, "1"),
        ({"app/cpu.max": "250000 100000\n"}, "2"),
        ({"app/cpu.max": "50000 100000\n"}, "1"),  # below one CPU still gives one thread
        ({"app/cpu.max": "max 100000\n"}, "none"),
        ({"app/cpu.max": "max 100000\n", "cpu.max": "300000 100000\n"}, "3"),  # a parent's quota counts too
        ({"app/cpu.max": "400000 100000\n", "cpu.max": "200000 100000\n"}, "2"),  # the smallest one
        ({"app/cpu.max": "garbage\n"}, "none"),
        ({}, "none"),
    ])
    def test_cgroup_v2(self, probe, tmp_path, files, expected):
        root = cgroup_tree(tmp_path, "0::/user.slice/app\n", "1 0 8:1 / / rw - ext4 /dev/root rw\n" + V2_MOUNT,
                           {"sys/fs/cgroup/user.slice/" + k: v for k, v in files.items()})
        assert probe("cgroup", root) == expected

    @pytest.mark.parametrize("quota, period, expected", [
        ("300000\n", "100000\n", "3"), ("-1\n", "100000\n", "none"), ("99999\n", "100000\n", "1"),
        ("300000\n", "0\n", "none"),
    ])
    def test_cgroup_v1(self, probe, tmp_path, quota, period, expected):
        base = "sys/fs/cgroup/cpu,cpuacct/docker/abc/"
        root = cgroup_tree(tmp_path, "5:memory:/docker/abc\n4:cpu,cpuacct:/docker/abc\n", V1_MOUNT,
                           {base + "cpu.cfs_quota_us": quota, base + "cpu.cfs_period_us": period})
        assert probe("cgroup", root) == expected

    def test_v1_group_mounted_as_its_own_root(self, probe, tmp_path):
        # A container sees its own group at the mount point.
        mount = "40 31 0:37 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
        root = cgroup_tree(tmp_path, "4:cpu:/docker/abc\n", mount,
                           {"sys/fs/cgroup/cpu/cpu.cfs_quota_us": "200000\n",
                            "sys/fs/cgroup/cpu/cpu.cfs_period_us": "100000\n"})
        assert probe("cgroup", root) == "2"

    def test_hybrid_hierarchy(self, probe, tmp_path):
        # cgroup v2 mounted without the cpu controller, v1 carrying it.
        root = cgroup_tree(tmp_path, "2:cpu:/\n0::/\n",
                           V2_MOUNT.replace("/sys/fs/cgroup ", "/sys/fs/cgroup/unified ")
                           + "41 31 0:38 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n",
                           {"sys/fs/cgroup/cpu/cpu.cfs_quota_us": "200000\n",
                            "sys/fs/cgroup/cpu/cpu.cfs_period_us": "100000\n",
                            "sys/fs/cgroup/unified/cgroup.procs": "1\n"})
        assert probe("cgroup", root) == "2"

    def test_escaped_mount_point(self, probe, tmp_path):
        mount = "30 23 0:26 / /sys/fs/my\\040groups rw - cgroup2 cgroup2 rw\n"
        root = cgroup_tree(tmp_path, "0::/a\n", mount, {"sys/fs/my groups/a/cpu.max": "300000 100000\n"})
        assert probe("cgroup", root) == "3"

    def test_nothing_to_read(self, probe, tmp_path):
        assert probe("cgroup", str(tmp_path)) == "none"


# Every bulk result of a fixed list, hashed, with the pool's size.
DIGEST = THREADS + """
    import hashlib, os, random, struct
    from tessary_py import Quat, Vec3d, VecList
    rng = random.Random(7)
    special = [0.0, -0.0, 5e-324, 1e308, -1e308, float("inf"), float("-inf"), float("nan"), 1.0]
    def value():
        return rng.choice(special) if rng.random() < 0.2 else rng.uniform(-4, 4)
    items = [Vec3d(value(), value(), value()) for _ in range(70_001)]
    ties = [Vec3d(rng.randint(-9, 9), rng.randint(-9, 9), rng.randint(-9, 9)) for _ in range(70_001)]
    v, t = VecList(items), VecList(ties)
    p = Vec3d(0.5, -1.25, 3.0)
    h = hashlib.sha256()
    def floats(xs):
        h.update(struct.pack(f"<{len(xs)}d", *xs))
    for result in (v + p, v - p, v * 1.5, 2 * v, v / 3.0, v.cross(p), v.normalize(), v.collapse(1)):
        floats([c for row in result.to_array() for c in row])
    for result in (v.dot(p), v.magnitude(), v.distance_to(p), v.distance_squared(p)):
        floats(result)
    h.update(bytes(v.is_unit()))
    v.rotate(Quat(0.9, 0.1, -0.3, 0.2))
    floats([c for row in v.to_array() for c in row])
    h.update(repr(VecList(items[:3000])).encode())
    for stride in (1, 2, 3, 100, 20_000, 70_001):
        position, distance = t.minimum_distance_to(Vec3d(0.5, 0, 0), stride)
        h.update(struct.pack("<qd", position, distance))
        position, distance = v.minimum_distance_to(p, stride)
        h.update(struct.pack("<qd", position, distance))
    print(h.hexdigest(), threads())
"""


class TestDeterminism:
    def test_results_do_not_depend_on_the_pool_size(self):
        runs = {n: run_python(DIGEST, {"RAYON_NUM_THREADS": str(n)}) for n in (1, 2, 3, 8)}
        assert {n: int(threads) for n, (_, threads) in runs.items()} == {1: 1, 2: 2, 3: 3, 8: 8}
        assert len({digest for digest, _ in runs.values()}) == 1


def compile_c(tmp_path, source):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    (tmp_path / "shim.c").write_text(source)
    out = tmp_path / "shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(out), str(tmp_path / "shim.c"), "-ldl"], check=True,
                   capture_output=True)
    return str(out)


# Lets SHIM_ALLOW threads start, then refuses every further one.
REFUSE_THREADS = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
static int allowed = -1;
int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg) {
    if (allowed < 0) allowed = getenv("SHIM_ALLOW") ? atoi(getenv("SHIM_ALLOW")) : 0;
    if (allowed == 0) return EAGAIN;
    --allowed;
    int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) =
        (int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *))dlsym(RTLD_NEXT, "pthread_create");
    return real(thread, attr, start, arg);
}
"""


class TestThreadsRefused:
    @pytest.mark.parametrize("allowed, threads", [("0", 1), ("1", 2)])
    def test_work_runs_with_the_threads_there_are(self, tmp_path, allowed, threads):
        shim = compile_c(tmp_path, REFUSE_THREADS)
        expected, _ = run_python(DIGEST, {"RAYON_NUM_THREADS": "4"})
        digest, count = run_python(DIGEST, {"RAYON_NUM_THREADS": "4", "SHIM_ALLOW": allowed}, preload=shim)
        assert (digest, int(count)) == (expected, threads)


FORK_CHILD = THREADS + """
    import os, sys
    from tessary_py import Vec3d, VecList
    big = VecList([Vec3d(3, 4, 12)] * 200_000)
    assert big.magnitude()[-1] == 13.0  # the parent's pool exists now
    parent_threads = threads()
    pid = os.fork()
    if pid == 0:
        ok = big.normalize()[199_999].to_array() == [3 / 13, 4 / 13, 12 / 13]
        ok = ok and big.minimum_distance_to(Vec3d(0, 0, 0), 1) == (0, 13.0)
        # A child builds its own pool instead of waiting on the parent's.
        print(threads(), flush=True)
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    print(parent_threads, os.waitstatus_to_exitcode(status))
"""

FORK_REPEATEDLY = """
    import os
    from tessary_py import Vec3d, VecList
    big = VecList([Vec3d(1, 2, 2)] * 100_000)
    for _ in range(25):
        big.distance_to(Vec3d(0, 0, 0))  # forks right after the workers were busy
        pid = os.fork()
        if pid == 0:
            os._exit(0 if big.magnitude()[-1] == 3.0 and len(big * 2) == 100_000 else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    print("done")
"""

MULTIPROCESSING_FORK = """
    import multiprocessing
    from tessary_py import Vec3d, VecList
    def work(k):
        v = VecList([Vec3d(k, 1, 0)] * 100_000)
        return sum(v.distance_squared(Vec3d(0, 0, 0))), (v * 2)[99_999].x
    if __name__ == "__main__":
        local = [work(k) for k in range(4)]
        with multiprocessing.get_context("fork").Pool(2) as pool:
            print(pool.map(work, range(4)) == local)
"""


class TestFork:
    def test_child_after_fork_builds_its_own_pool(self):
        child_threads, parent_threads, status = map(int, run_python(FORK_CHILD, {"RAYON_NUM_THREADS": "3"}))
        assert parent_threads == 3 and child_threads == 3 and status == 0

    def test_fork_right_after_parallel_work(self):
        assert run_python(FORK_REPEATEDLY, {"RAYON_NUM_THREADS": "2"}) == ["done"]

    def test_multiprocessing_fork_start_method(self):
        assert run_python(MULTIPROCESSING_FORK, {"RAYON_NUM_THREADS": "2"}) == ["True"]
