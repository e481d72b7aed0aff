"""The work tally of pair counts (CMake option QUOR_TALLY): one stderr line per count with
the candidates the filter examined and the pairs it kept. An ordinary build prints
nothing; a tally build, named by QUOR_TALLY_BUILD (its build folder), must keep exactly
the pairs whose key passes, whatever the kernel variant."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

TALLY_LINE = re.compile(r"^quor-tally: candidates=(\d+) kept=(\d+)$", re.M)

# A child that counts one catalogue and prints nothing itself: the tally is on stderr.
COUNT_SCRIPT = """
import sys
import numpy as np
import _quor
box, kind, seed, n = float(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
rng = np.random.default_rng(seed)
coords = rng.uniform(0.0, box, (n, 3))
ids = np.zeros(n, np.int32)
if kind == "r":
    _quor.count_pairs_1d(coords, ids, np.linspace(0.5, 9.0, 6), box)
elif kind == "rp_pi":
    _quor.count_pairs_2d(coords, ids, np.linspace(0.5, 7.0, 5), np.arange(0.0, 6.0), box)
else:
    _quor.count_pairs_smu(coords, ids, np.linspace(0.5, 9.0, 6), 4, float(kind), box)
"""


def run_count(build, kernel, box, kind, seed, n):
    env = dict(os.environ, PYTHONPATH=build, QUOR_KERNEL=kernel)
    out = subprocess.run([sys.executable, "-c", COUNT_SCRIPT, str(box), kind, str(seed), str(n)],
                         capture_output=True, env=env, timeout=300, text=True)
    assert out.returncode == 0, out.stderr
    return out.stderr


def kept_by_brute_force(box, kind, seed, n):
    """The least and the most pairs the filter may keep: those whose key passes inside
    the z window, and those whose key passes. r^2 < r_max^2 (r, and (s, mu) with its
    window), or r_p^2 < r_p_max^2 with |dz| < pi_max, at the minimum image. With
    mu_max < 1 the filter also drops pairs with dz^2 >= mu_max^2 s^2 (up to a relative
    2^-40: no sample pair sits that close to it), which keeps them inside the window too."""
    rng = np.random.default_rng(seed)
    coords = rng.uniform(0.0, box, (n, 3))
    i, j = np.triu_indices(n, 1)
    d = coords[j] - coords[i]
    d = np.where(d > box / 2, d - box, np.where(d < -box / 2, d + box, d))
    dx, dy, dz = d.T
    if kind == "rp_pi":
        inside = int(np.count_nonzero((dy * dy + dx * dx < 49.0) & (np.abs(dz) < 5.0)))
        return inside, inside
    s2 = (dx * dx + dy * dy) + dz * dz
    if kind == "r" or float(kind) >= 1.0:
        passing = int(np.count_nonzero(s2 < 81.0))
        return passing, passing
    mu_max = float(kind)
    kept = int(np.count_nonzero((s2 < 81.0) & (dz * dz < mu_max * mu_max * s2)))
    return kept, kept


def test_ordinary_build_prints_no_tally():
    import _quor
    build = os.path.dirname(os.path.abspath(_quor.__file__))
    err = run_count(build, "portable", 40.0, "r", 0, 500)
    assert "quor-tally" not in err


@pytest.mark.skipif(not os.environ.get("QUOR_TALLY_BUILD"),
                    reason="QUOR_TALLY_BUILD names no build made with -DQUOR_TALLY=ON")
@pytest.mark.parametrize("kernel", ["portable", "avx2", "avx512"])
@pytest.mark.parametrize("box, kind, n", [
    (60.0, "r", 2500),       # z-window traversal with shifted neighbours
    (30.0, "r", 1200),       # 2 r_max > box / 4: every difference folded
    (60.0, "rp_pi", 2500),
    (60.0, "1.0", 2500),
    (60.0, "0.5", 2500),     # the mu window narrower than s_max
    (25.0, "0.5", 1000),     # folded, with the mu window
])
def test_tally_counts_kept_pairs(kernel, box, kind, n):
    import quor
    if kernel not in quor.runtime_info()["kernels"]:
        pytest.skip(f"this processor cannot run {kernel}")
    build = os.environ["QUOR_TALLY_BUILD"]
    err = run_count(build, kernel, box, kind, 3, n)
    lines = TALLY_LINE.findall(err)
    assert len(lines) == 1, err
    candidates, kept = map(int, lines[-1])
    least, most = kept_by_brute_force(box, kind, 3, n)
    assert least <= kept <= most
    assert kept <= candidates <= n * (n - 1) // 2
