"""Hypothesis strategies for small, hostile catalogues and bin edges.

Positions mix an exact dyadic grid (so separations and edges built from the same
step coincide exactly), uniform floats and the values a periodic box handles
specially (0, half the box and the largest double below the box side); rows are
then copied or nudged into dense clumps, and a few coordinates may be replaced by
NaN or an infinity. Every catalogue also comes in an unusual memory layout with the
same logical content.

Nudged copies move all three axes alike, so they seldom put a separation exactly on an
edge: lattice catalogues do that on purpose. Their galaxies sit on the whole-numbered
points of a box of whole side, so every squared separation is a whole number k, held
exactly, and edges sqrt(k) (whose square may round to either side of k) and whole-
numbered edges lie on the separations themselves.
"""
from dataclasses import dataclass

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
BOXES = [1.0, 3.0, 8.0, 10.0, 100.0]


@dataclass
class Catalogue:
    box: float
    step: float          # grid step: every multiple below the box is exact
    coords: np.ndarray   # C-contiguous (n, 3), what the reference reads
    ids: np.ndarray      # contiguous int32
    coords_view: np.ndarray  # the same content in another layout, what the counter reads
    ids_view: np.ndarray
    layout: str
    lattice: bool = False  # whole-numbered positions in a box of whole side

    def __repr__(self):
        return (f"Catalogue(box={self.box!r}, step={self.step!r}, layout={self.layout!r},\n"
                f"  coords=np.array({self.coords.tolist()!r}),\n"
                f"  ids=np.array({self.ids.tolist()!r}, np.int32))")


def below(x):
    return float(np.nextafter(x, -np.inf))


def coordinate_values(box, step):
    cells = int(round(box / step))
    special = [0.0, below(box), box / 2, below(box / 2), step / 2, 5e-324]
    return st.one_of(
        st.integers(0, cells - 1).map(lambda k: k * step),
        st.sampled_from(special),
        st.floats(0.0, box, exclude_max=True),
    )


def coords_layouts(coords, kind):
    """`coords` rewritten into the layout `kind`, logically equal."""
    n = len(coords)
    if kind == "fortran":
        return np.asfortranarray(coords)
    if kind == "strided":
        big = np.full((2 * n, 7), -1.0)
        big[::2, 1::2] = coords
        return big[::2, 1::2]
    if kind == "extra-columns":
        return np.concatenate([coords, np.full((n, 2), np.nan)], axis=1)
    if kind == "reversed":
        return np.ascontiguousarray(coords[::-1, ::-1])[::-1, ::-1]
    return coords


def ids_layout(ids, kind):
    if kind in ("strided", "extra-columns"):
        big = np.full(3 * len(ids), 77, dtype=np.int32)
        big[::3] = ids
        return big[::3]
    if kind == "reversed":
        return ids[::-1].copy()[::-1]
    return ids


@st.composite
def partition_ids(draw, n):
    extremes = st.sampled_from([INT32_MIN, INT32_MAX, -1, 0, 1])
    value = st.one_of(extremes, st.integers(INT32_MIN, INT32_MAX))
    kind = draw(st.sampled_from(["equal", "distinct", "few"]))
    if kind == "equal":
        return np.full(n, draw(value), dtype=np.int32)
    if kind == "distinct":
        start = draw(st.sampled_from([0, INT32_MIN, INT32_MAX - n, -n]))
        ids = np.arange(start, start + n, dtype=np.int64).astype(np.int32)
        return ids[draw(st.permutations(range(n)))] if n else ids
    palette = draw(st.lists(value, min_size=1, max_size=4))
    return np.array(draw(st.lists(st.sampled_from(palette), min_size=n, max_size=n)),
                    dtype=np.int32).reshape(n)


@st.composite
def catalogues(draw, max_n=40, bad_values=True, box=None, step=None):
    box = draw(st.sampled_from(BOXES)) if box is None else box
    step = box / 2 ** draw(st.integers(2, 5)) if step is None else step
    n = draw(st.integers(0, max_n))
    coords = draw(hnp.arrays(np.float64, (n, 3), elements=coordinate_values(box, step),
                             fill=st.nothing()))
    if n:
        rows = st.integers(0, n - 1)
        # Clumps: rows copied onto others, some nudged by a few ulps or a tiny step.
        for dst, src, nudge in draw(st.lists(st.tuples(rows, rows, st.sampled_from(
                [0.0, 0.0, 1e-12, 1e-6, step / 2])), max_size=n)):
            coords[dst] = np.minimum(coords[src] + nudge, below(box))
        if bad_values:
            for row, col, v in draw(st.lists(st.tuples(rows, st.integers(0, 2), st.sampled_from(
                    [np.nan, np.inf, -np.inf])), max_size=3)):
                coords[row, col] = v
    ids = draw(partition_ids(n))
    layout = draw(st.sampled_from(["c", "fortran", "strided", "extra-columns", "reversed"]))
    view = coords_layouts(coords, layout)
    ids_view = ids_layout(ids, layout)
    assert np.array_equal(view[:, :3], coords, equal_nan=True) and np.array_equal(ids_view, ids)
    return Catalogue(box, step, coords, ids, view, ids_view, layout)


@st.composite
def edge_arrays(draw, box, step, max_edges=6, min_edges=1):
    """Non-decreasing edges ending at r_max, r_max anywhere from tiny to above the box
    side; inner edges on the grid step or anywhere, a first edge of 0 and repeats likely."""
    r_max = draw(st.one_of(
        st.integers(1, int(round(2 * box / step))).map(lambda k: k * step),
        st.sampled_from([box / 2, below(box / 2), float(np.nextafter(box / 2, np.inf)),
                         box / 4, box / 3, box * 1e-4]),
        st.floats(box * 1e-6, 1.2 * box),
    ))
    on_grid = st.integers(0, int(r_max / step)).map(lambda k: k * step)
    inner = draw(st.lists(st.one_of(on_grid, st.floats(0.0, r_max), st.just(0.0)),
                          min_size=min_edges - 1, max_size=max_edges - 1))
    if inner and draw(st.booleans()):
        inner.append(draw(st.sampled_from(inner)))
    edges = np.array(sorted(inner) + [r_max], dtype=np.float64)
    if draw(st.booleans()):  # a non-contiguous edge array
        big = np.zeros(2 * len(edges))
        big[::2] = edges
        edges = big[::2]
    return edges


@st.composite
def lattice_catalogues(draw, max_n=40):
    box = float(draw(st.sampled_from([3, 4, 6, 9, 10, 16])))
    n = draw(st.integers(0, max_n))
    points = st.integers(0, int(box) - 1).map(float)
    coords = draw(hnp.arrays(np.float64, (n, 3), elements=points, fill=st.nothing()))
    if n:  # clumps: rows copied onto others
        rows = st.integers(0, n - 1)
        for dst, src in draw(st.lists(st.tuples(rows, rows), max_size=n)):
            coords[dst] = coords[src]
    ids = draw(partition_ids(n))
    layout = draw(st.sampled_from(["c", "fortran", "strided", "extra-columns", "reversed"]))
    return Catalogue(box, 1.0, coords, ids, coords_layouts(coords, layout), ids_layout(ids, layout),
                     layout, lattice=True)


@st.composite
def lattice_edges(draw, box, max_edges=6):
    """Non-decreasing edges sqrt(k) and k for whole k, up to a little over half the box
    side (the largest minimum-image separation along one axis)."""
    top = int(box // 2) + 1
    squares = st.integers(0, 3 * top * top).map(lambda k: float(np.sqrt(k)))
    whole = st.integers(0, top).map(float)
    edges = draw(st.lists(st.one_of(squares, whole), min_size=1, max_size=max_edges))
    return np.array(sorted(edges), dtype=np.float64)


# ---- two catalogues and weights -----------------------------------------------------

# Weights a count must sum exactly: zero, negative, huge (products past the float64
# range), tiny (products in or below the subnormal range) and ordinary ones.
SPECIAL_WEIGHTS = [0.0, -0.0, 1.0, -1.0, 0.5, -3.25, 1e150, -1e150, 1e200, 1e-160, -1e-160,
                   5e-324, 1e300, 7.0]


@st.composite
def weight_arrays(draw, n):
    """n weights: all ones, small integers, ordinary reals, or extremes mixed in."""
    kind = draw(st.sampled_from(["ones", "integers", "reals", "extremes"]))
    if kind == "ones":
        w = np.ones(n)
    elif kind == "integers":
        w = np.array(draw(st.lists(st.integers(-3, 3), min_size=n, max_size=n)), dtype=np.float64)
    elif kind == "reals":
        w = np.array(draw(st.lists(st.floats(-10.0, 10.0), min_size=n, max_size=n)), dtype=np.float64)
    else:
        value = st.one_of(st.sampled_from(SPECIAL_WEIGHTS), st.floats(-1e3, 1e3),
                          st.floats(allow_nan=False, allow_infinity=False))
        w = np.array(draw(st.lists(value, min_size=n, max_size=n)), dtype=np.float64)
    return w.reshape(n)


def strided(values):
    """A non-contiguous view of the same values."""
    big = np.zeros(2 * len(values), dtype=values.dtype)
    big[::2] = values
    return big[::2]


@dataclass
class CataloguePair:
    first: Catalogue
    second: Catalogue
    kind: str  # how the second was made: drawn, empty, one, same (the very same arrays), subset

    def __repr__(self):
        return f"CataloguePair(kind={self.kind!r},\n first={self.first!r},\n second={self.second!r})"


@st.composite
def catalogue_pairs(draw, max_n=30, bad_values=True):
    """Two catalogues in one box: the second drawn alike, empty, of one galaxy, the very
    same arrays as the first, or some of its rows; its ids shared with the first's or
    disjoint from them."""
    first = draw(catalogues(max_n=max_n, bad_values=bad_values))
    kind = draw(st.sampled_from(["drawn", "drawn", "empty", "one", "same", "subset"]))
    if kind == "same":
        return CataloguePair(first, first, kind)
    if kind == "subset" and len(first.coords):
        rows = np.array(draw(st.lists(st.integers(0, len(first.coords) - 1), max_size=max_n)),
                        dtype=np.int64)
        coords, ids = first.coords[rows], first.ids[rows]
        second = Catalogue(first.box, first.step, coords, ids, coords, ids, "c")
        return CataloguePair(first, second, kind)
    n = {"empty": 0, "one": 1}.get(kind, None)
    second = draw(catalogues(max_n=max_n if n is None else n, bad_values=bad_values,
                             box=first.box, step=first.step))
    if n is not None and len(second.coords) != n:
        second = Catalogue(first.box, first.step, second.coords[:n], second.ids[:n],
                           second.coords_view[:n], second.ids_view[:n], second.layout)
    ids2 = second.ids
    if len(ids2) and draw(st.booleans()):
        if len(first.ids) and draw(st.booleans()):  # shared: drawn from the first's ids
            ids2 = np.array(draw(st.lists(st.sampled_from(first.ids.tolist()), min_size=len(ids2),
                                          max_size=len(ids2))), dtype=np.int32)
        else:  # disjoint: ids the first does not use
            taken = set(first.ids.tolist())
            free = [v for v in range(INT32_MIN, INT32_MIN + 2 * len(ids2) + len(taken) + 1)
                    if v not in taken]
            ids2 = np.array(free[:len(ids2)], dtype=np.int32)[
                np.array(draw(st.lists(st.integers(0, len(ids2) - 1), min_size=len(ids2),
                                       max_size=len(ids2))), dtype=np.int64)]
        second = Catalogue(second.box, second.step, second.coords, ids2, second.coords_view,
                           ids2, second.layout)
    return CataloguePair(first, second, kind)
