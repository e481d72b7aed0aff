"""Every Python example of the README, the guide and the docstrings runs as written."""
import doctest
import importlib
import pathlib
import re

import numpy as np
import pytest

import quor

pytestmark = pytest.mark.python_layer

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# A fenced block whose info string is "python", optionally "requires=MODULE".
BLOCK = re.compile(r"^```python(?:[ \t]+requires=(\S+))?[ \t]*\n(.*?)^```[ \t]*$", re.M | re.S)


def importable(module):
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_page_examples_run(page):
    """A page's blocks run in order in one namespace, as a reader would run them; a
    block that needs a module which is not installed is left out."""
    blocks = BLOCK.findall(page.read_text(encoding="utf-8"))
    if not blocks:
        pytest.skip(f"{page.name} has no Python examples")
    namespace = {"__name__": f"docs_{page.stem}"}
    left_out = []
    for number, (requires, code) in enumerate(blocks, 1):
        if requires and not importable(requires):
            left_out.append(f"block {number} (needs {requires})")
            continue
        if "progress=True" in code:
            # Bars come from tqdm, a dependency that a bare build tree may lack.
            pytest.importorskip("tqdm")
        exec(compile(code, f"{page.name} block {number}", "exec"), namespace)
    if left_out:
        # The other blocks ran and passed; the page is not wholly checked, so say so.
        pytest.skip(f"{page.name}: left out " + ", ".join(left_out))


def test_guide_blocks_found():
    # The pattern must see the guide's examples, or the test above checks nothing.
    blocks = BLOCK.findall((ROOT / "docs" / "guide.md").read_text(encoding="utf-8"))
    assert len(blocks) >= 8
    assert {"quor.distributed", "halotools.mock_observables"} <= {r for r, _ in blocks}


@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_page_images_exist(page):
    # A figure is a committed doc asset: a page must not link one that is not there.
    images = re.findall(r"!\[[^\]]*\]\(([^)\s]+)\)", page.read_text(encoding="utf-8"))
    missing = [src for src in images if "://" not in src and not (page.parent / src).is_file()]
    assert not missing, f"{page.name} links missing images: {missing}"


@pytest.mark.parametrize("module", ["quor._counts", "quor.estimators"])
def test_docstring_examples(module):
    result = doctest.testmod(importlib.import_module(module), optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0


def test_worked_example_runs(tmp_path):
    # The example on a small mock, with its figure when matplotlib is installed.
    import runpy
    example = runpy.run_path(str(ROOT / "examples" / "halo_model.py"))
    figure = tmp_path / "halo_model.png" if importable("matplotlib") else None
    results = example["main"](3000, figure)
    assert (results["xi_1h"] + results["xi_2h"])[0] > 100  # one-halo pairs at small r
    assert results["xi_1h"][-1] == 0 and results["triplets_total"].shape == (10,)
    # Jackknife error bars over 27 cubes, for every bin that has pairs.
    assert results["regions"] == 3 and (results["xi_err"] > 0).all()
    assert (results["wp_err"] > 0).all() and results["xi2_err"].shape == results["s"].shape
    assert figure is None or figure.stat().st_size > 10_000


def test_quickstarts_ask_for_no_bar_they_cannot_show():
    # A bar appears once a count has run about a second; the README's quickstart and
    # examples/quickstart.py count in a fraction of one, so progress=True there shows
    # nothing on any machine.
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n## Quickstart\n")[1].split("\n## ")[0]
    quickstart = "".join(code for _, code in BLOCK.findall(section))
    assert "quor.count_pairs_1d(" in quickstart and "progress=True" not in quickstart
    example = (ROOT / "examples" / "quickstart.py").read_text(encoding="utf-8")
    assert "quor.count_pairs_1d(" in example and "progress=True" not in example


def test_galaxy_matter_example_runs(tmp_path):
    # The galaxy-matter example on a small mock, with its figure when matplotlib is installed.
    import runpy
    example = runpy.run_path(str(ROOT / "examples" / "galaxy_matter.py"))
    figure = tmp_path / "galaxy_matter.png" if importable("matplotlib") else None
    results = example["main"](400, figure)
    assert results["xi_1h"][0] > 100 and results["ds_1h"][0] > results["ds_2h"][0]
    assert results["xi_1h"][-1] == 0 and results["ds_1h"].shape == (16,)
    assert figure is None or figure.stat().st_size > 10_000


def worked_example():
    import runpy
    return runpy.run_path(str(ROOT / "examples" / "halo_model.py"))


def periodic_separations(first, second, box):
    d = first[:, None, :] - second[None, :, :]
    d -= box * np.round(d / box)
    return np.sqrt((d[..., 0] ** 2 + d[..., 1] ** 2) + d[..., 2] ** 2)


@pytest.mark.parametrize("among", [None, slice(0, None, 7)], ids=["all", "some"])
@pytest.mark.parametrize("reach", [0.9, 1.7, 4.0])  # 11 and 5 cells a side, and one cell
def test_worked_example_close_pairs_match_all_pairs(reach, among):
    # The mock's cell search for overlapping haloes against every pair, with points
    # crowded at the faces and corners of the box so that many pairs wrap around it:
    # each pair once (i < j), or with `among` each pair (i, j != i) with i among them.
    rng = np.random.default_rng(5)
    box = 10.0
    points = np.concatenate([rng.uniform(0, box, (300, 3)),
                             rng.uniform(-0.5, 0.5, (150, 3)) % box,
                             np.array([[0.0, 0.0, 0.0], [box * (1 - 1e-16), 9.99, 0.01]])])
    queries = None if among is None else np.arange(len(points))[among]
    first, second, distance = worked_example()["close_pairs"](points, reach, box, queries)
    all_pairs = periodic_separations(points, points, box)
    close = all_pairs < reach
    np.fill_diagonal(close, False)
    if among is None:
        close = np.triu(close)
    else:
        close[np.setdiff1d(np.arange(len(points)), queries)] = False
    i, j = np.nonzero(close)
    assert sorted(zip(first.tolist(), second.tolist())) == sorted(zip(i.tolist(), j.tolist()))
    np.testing.assert_allclose(distance, all_pairs[first, second], rtol=1e-15)


def test_worked_example_haloes_exclude_each_other():
    # No two haloes of the mock closer than the sum of their virial radii, across the
    # periodic box, while most still sit in their groups.
    haloes = worked_example()["mock_haloes"](np.random.default_rng(2), 4000)
    centres, r_vir = haloes.centres, haloes.r_vir
    assert ((centres >= 0) & (centres < 250.0)).all()
    for start in range(0, len(centres), 500):
        rows = slice(start, start + 500)
        reach = r_vir[rows, None] + r_vir[None, :]
        gap = periodic_separations(centres[rows], centres, 250.0) - reach
        gap[np.arange(gap.shape[0]), np.arange(start, start + gap.shape[0])] = np.inf
        assert gap.min() >= 0.0
    # 70% drawn 4 Mpc/h around a group centre: about 74% of those and 14% of the rest
    # (uniform) fall within 8 Mpc/h of one.
    near_group = periodic_separations(centres, haloes.groups, 250.0).min(axis=1) < 8.0
    assert 0.5 < near_group.mean() < 0.65
    # At the figure's density, where redrawn haloes clash again, through the cell search
    # checked above.
    example = worked_example()
    haloes = example["mock_haloes"](np.random.default_rng(12), 40_000)
    first, second, distance = example["close_pairs"](haloes.centres, 2 * haloes.r_vir.max(), 250.0)
    assert first.size > 1000 and (distance >= haloes.r_vir[first] + haloes.r_vir[second]).all()


def test_worked_example_triplet_errors_follow_the_estimators_convention():
    # The example's jackknife error of the triplet shares against the one the estimators
    # give for their own delete-one estimates.
    coords = np.random.default_rng(4).uniform(0, 40.0, size=(3000, 3))
    ratios = quor.npoint_ratio(coords, np.arange(3000) // 3, [0.5, 1.0, 2.0], 40.0, regions=2)
    error = worked_example()["jackknife_error"](ratios.total_by_region)
    np.testing.assert_allclose(error, ratios.total_err, rtol=1e-12)
