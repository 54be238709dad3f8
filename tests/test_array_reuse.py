"""Released element arrays of 1 MiB and more are kept, a few at a time,
for the next array of their size: repeated bulk operations then take no
page faults, the memory kept stays within its bound, and a child process
after fork() gives back what it inherited."""

import os
import sys

import pytest

from test_pool import run_python

LINUX = sys.platform.startswith("linux")
pytestmark = [pytest.mark.skipif(not LINUX, reason="reads /proc and getrusage counters of Linux"),
              # A sanitizer's allocator adds red zones and quarantine to
              # every allocation, and faults of its own.
              pytest.mark.plain_allocator]


# Minor page faults per call of each map once it has run a few times. Each
# result is kept until the next one exists, as `r = v * 2.0` in a loop
# does, so two arrays of each size take turns.
STEADY_FAULTS = """
    import resource, sys
    import numpy as np
    from tessary_py import Vec3d, VecList
    def faults():
        return resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    n = int(sys.argv[1])
    v, p = VecList(np.random.default_rng(n).standard_normal((n, 3))), Vec3d(1, -2, 0.5)
    maps = {"mul": lambda: v * 2.0, "add": lambda: v + p, "cross": lambda: v.cross(p),
            "normalize": lambda: v.normalize()}
    # Each worker faults in its own stack the first time it takes a part
    # of the work; a large list makes sure every one of them has.
    large = VecList(np.ones((1_000_000, 3)))
    large * 2.0, large + p, large.cross(p), large.normalize()
    del large
    for name, op in maps.items():
        result = None
        for _ in range(4):
            result = op()
        before = faults()
        for _ in range(6):
            result = op()
        print(f"{name}={faults() - before}")
"""


# Under qemu-user the counters include the emulator's own faults as it
# translates code that runs for the first time.
@pytest.mark.not_emulated
@pytest.mark.interpreter_independent
@pytest.mark.parametrize("n", [100_000, 170_000, 1_000_000, 10_000_000])
def test_repeated_maps_take_no_page_faults(n):
    code = STEADY_FAULTS.replace("int(sys.argv[1])", str(n))
    assert run_python(code, {"RAYON_NUM_THREADS": "2"}, timeout=300) == ["mul=0", "add=0", "cross=0", "normalize=0"]


# Resident memory after lists of `size` elements were made and all freed.
KEPT = """
    import os
    import numpy as np
    from tessary_py import VecList
    def resident():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmRSS:"))
    size, count = {size}, {count}
    base = VecList(np.ones((size, 3)))
    baseline = resident()
    lists = [base * float(k) for k in range(count)]  # every page written
    assert resident() - baseline > 0.9 * count * size * 24
    del lists
    print(resident() - baseline)
    again = [base * 1.0 for _ in range(count)]
    print(len(again))
"""


class TestBound:
    def test_at_most_four_arrays_are_kept(self):
        size = 2_000_000  # 48 MB each
        kept, _ = map(int, run_python(KEPT.format(size=size, count=9), timeout=300))
        assert kept <= 4 * size * 24 + (8 << 20)

    def test_at_most_a_gigabyte_or_an_eighth_of_memory(self):
        size = 12_500_000  # 300 MB each: three fit in 1 GiB, four do not
        kept, _ = map(int, run_python(KEPT.format(size=size, count=4), timeout=300))
        physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        assert kept <= min(1 << 30, physical // 8) + (8 << 20)

    def test_a_reservation_never_filled_is_not_kept(self):
        code = """
            from tessary_py import Vec3d, VecList
            def mapped():
                with open("/proc/self/status") as f:
                    return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))
            class Lying:  # claims 10**7 items and has two
                def __len__(self):
                    return 10**7
                def __getitem__(self, i):
                    if i < 2:
                        return Vec3d(i, 0, 0)
                    raise IndexError(i)
            before = mapped()
            lists = [VecList(Lying()) for _ in range(3)]
            print(mapped() - before)
        """
        grown, = map(int, run_python(code, timeout=300))
        assert grown < 64 << 20


FORK = """
    import os
    import numpy as np
    from tessary_py import Vec3d, VecList
    v = VecList(np.random.default_rng(1).standard_normal((1_000_000, 3)))
    want = np.asarray(v * 3.0).tobytes()
    for _ in range(3):
        v * 3.0, v.normalize(), v + Vec3d(1, 2, 3)  # arrays of two sizes are kept now
    small = VecList(np.ones((60_000, 3)))
    small * 2.0
    pid = os.fork()
    if pid == 0:
        ok = True
        for _ in range(5):
            ok = ok and np.asarray(v * 3.0).tobytes() == want and len(small * 2.0) == 60_000
            big = VecList(np.zeros((3_000_000, 3))) + Vec3d(1, 1, 1)
            ok = ok and big[2_999_999] == Vec3d(1, 1, 1)
            del big
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status), np.asarray(v * 3.0).tobytes() == want)
"""


def test_a_child_after_fork_allocates_and_frees_with_kept_arrays():
    assert run_python(FORK, {"RAYON_NUM_THREADS": "2"}, timeout=300) == ["0", "True"]
