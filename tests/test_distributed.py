"""quor.distributed on a real LocalCluster of two worker processes: the same counts as
quor, bit for bit, for every counter, slab count and input kind."""
import os
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

import quor  # noqa: E402
import quor.distributed as qd  # noqa: E402
from test_owned_counts import BOX, faces_catalogue  # noqa: E402

pytestmark = pytest.mark.python_layer

R_MAX = 2.5
R = np.linspace(0.0, R_MAX, 6)

# Each counter as (quor's, the distributed one's), both on (coords, ids, **keywords).
COUNTERS = {
    "pairs_1d": (quor.count_pairs_1d, qd.count_pairs_1d, (R, BOX)),
    "pairs_2d": (quor.count_pairs_2d, qd.count_pairs_2d, (R, 2 * R[:4], BOX)),
    "pairs_smu": (quor.count_pairs_smu, qd.count_pairs_smu, (R, 4, 1.0, BOX)),
    "npoint1": (quor.count_npoint, qd.count_npoint, (R, BOX, 1)),
    "npoint2": (quor.count_npoint, qd.count_npoint, (R, BOX, 2)),
    "npoint3": (quor.count_npoint, qd.count_npoint, (R, BOX, 3)),
    "npoint4": (quor.count_npoint, qd.count_npoint, (R, BOX, 4)),
    "shape": (quor.count_npoint3_shape, qd.count_npoint3_shape, (R, 3, BOX)),
}


@pytest.fixture(scope="session")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", env={"RAYON_NUM_THREADS": "1"}) as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.fixture(scope="module")
def catalogue():
    return faces_catalogue(R_MAX)


def assert_same(got, expected):
    assert type(got) is type(expected)
    assert np.any(expected[0] > 0) or np.any(expected[1] > 0)
    for g, e in zip(got, expected):
        assert g.dtype == e.dtype and g.shape == e.shape
        np.testing.assert_array_equal(g, e)


@pytest.mark.parametrize("n_slabs", [None, 3, 4, 7])
@pytest.mark.parametrize("name", list(COUNTERS))
def test_equals_quor(client, catalogue, name, n_slabs):
    whole, spread, args = COUNTERS[name]
    xyz, ids = catalogue
    assert_same(spread(xyz, ids, *args, client=client, n_slabs=n_slabs), whole(xyz, ids, *args))


@pytest.mark.parametrize("name", ["pairs_1d", "npoint3"])
def test_dask_input_with_uneven_chunks(client, catalogue, name):
    whole, spread, args = COUNTERS[name]
    xyz, ids = catalogue
    n = xyz.shape[0]
    # Positions shifted by whole boxes (wrapped per chunk), five columns chunked apart,
    # and int64 ids beyond int32 (relabelled across all chunks).
    shifted = np.column_stack([xyz + BOX * np.array([1, -2, 0]), np.ones((n, 2))]).astype(np.float32)
    rows = (700, 13, n - 713 - 900, 900)
    coords = da.from_array(shifted, chunks=(rows, (2, 3)))
    big_ids = da.from_array(ids.astype(np.int64) * 2**40, chunks=1000)
    expected = whole(shifted, ids, *args)
    assert_same(spread(coords, big_ids, *args, client=client, n_slabs=4), expected)


@pytest.mark.parametrize("name", ["pairs_1d", "npoint3", "shape"])
def test_held_catalogue_sent_in_several_runs(client, catalogue, monkeypatch, name):
    # A catalogue held by the client is split and sent run by run: each slab then joins
    # pieces from several runs (the last one short), which must keep the row order.
    whole, spread, args = COUNTERS[name]
    xyz, ids = catalogue
    monkeypatch.setattr(qd, "_SCATTER_ROWS", 700)
    assert_same(spread(xyz, ids, *args, client=client, n_slabs=7), whole(xyz, ids, *args))


def test_r_max_at_the_largest_the_slabs_allow(client):
    r_max = BOX / 4 * (1 - 1e-9)
    xyz, ids = faces_catalogue(r_max, n=400)
    r = np.linspace(0.0, r_max, 4)
    got = qd.count_pairs_smu(xyz, ids, r, 3, 1.0, BOX, client=client, n_slabs=4)
    assert_same(got, quor.count_pairs_smu(xyz, ids, r, 3, 1.0, BOX))
    with pytest.raises(ValueError, match="narrower than r_max"):
        qd.count_pairs_smu(xyz, ids, r * (1 + 1e-6), 3, 1.0, BOX, client=client, n_slabs=4)


def test_on_disk_input(client, catalogue, tmp_path):
    h5py = pytest.importorskip("h5py")
    xyz, ids = catalogue
    path = tmp_path / "cat.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("pos", data=xyz, chunks=(500, 3))
        # Ids beyond int32, relabelled by tasks that read the file as the counts do.
        f.create_dataset("halo", data=ids.astype(np.int64) * 2**40, chunks=(500,))
    # The file is opened by the workers through the Dask graph, not read by the client.
    with h5py.File(path, "r") as f:
        coords = da.from_array(f["pos"], chunks=(1000, 3))
        halo = da.from_array(f["halo"], chunks=1000)
        got = qd.count_pairs_1d(coords, halo, R, BOX, client=client, n_slabs=3)
    assert_same(got, quor.count_pairs_1d(xyz, ids, R, BOX))


@pytest.mark.parametrize("n_slabs, r_max, message", [
    (2, 1.0, "n_slabs=2 cannot hold"),
    (30, 2.5, "n_slabs=30 makes slabs 2 wide, narrower than r_max=2.5"),
    (None, BOX / 3 + 1, "too large for the slab scheme"),
    (3, BOX / 3 + 1, "too large for the slab scheme"),
    (0, 1.0, "n_slabs must be at least 1"),
    (2**17, 0.0, "at most 65536 slabs fit"),
])
def test_requests_that_cannot_hold(n_slabs, r_max, message):
    xyz = np.zeros((10, 3))
    # No client is started: the request fails before any cluster is.
    with pytest.raises(ValueError, match=message):
        qd.count_pairs_1d(xyz, np.zeros(10, int), [0.0, r_max], BOX, n_slabs=n_slabs)


def test_worker_errors_reach_the_caller(client):
    xyz = np.random.default_rng(0).uniform(0, BOX, (3000, 3))
    xyz[2500, 1] = np.nan
    with pytest.raises(ValueError, match="coords must be finite"):
        qd.count_pairs_1d(da.from_array(xyz, chunks=1000), np.zeros(3000, int), R, BOX,
                          client=client, n_slabs=3)


def count_tasks(client):
    """Keys of slab counts that the scheduler still holds, in any state."""
    def keys(dask_scheduler):
        return [str(k) for k in dask_scheduler.tasks if "_count_slab" in str(k)]
    return client.run_on_scheduler(keys)


def test_interrupt_cancels_and_leaves_the_client_usable(client, catalogue):
    xyz, ids = catalogue
    assert count_tasks(client) == []

    def interrupt(done, total):
        if done >= 1:  # once a slab is done and others still run or wait
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as stopped:
        # Groups of four: slabs that take long enough to be still running when stopped.
        qd.count_npoint(xyz, ids, R, BOX, 4, client=client, n_slabs=7, progress=interrupt)
    # The traceback held by `stopped` keeps the count's futures alive: their tasks go
    # only when the count cancels them, which the scheduler does shortly after.
    deadline = time.monotonic() + 60
    while count_tasks(client) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert count_tasks(client) == [], "the interrupted count left its tasks on the cluster"
    assert stopped.traceback  # held to the end of the check
    seen = []
    got = qd.count_npoint(xyz, ids, R, BOX, 4, client=client, n_slabs=7,
                          progress=lambda done, total: seen.append((done, total)))
    assert_same(got, quor.count_npoint(xyz, ids, R, BOX, 4))
    assert seen[0] == (0, 7) and seen[-1] == (7, 7)
    assert [d for d, _ in seen] == sorted(d for d, _ in seen)


def test_embedded_cluster(catalogue):
    xyz, ids = catalogue
    got = qd.count_pairs_2d(xyz, ids, R, R, BOX, n_slabs=3)
    assert_same(got, quor.count_pairs_2d(xyz, ids, R, R, BOX))


def test_own_cluster_sets_the_workers_allocator_and_leaves_ours(monkeypatch):
    # As an earlier cluster leaves it in this process: the workers still get their own.
    monkeypatch.setenv("MALLOC_TRIM_THRESHOLD_", "4096")
    monkeypatch.delenv("MALLOC_MMAP_THRESHOLD_", raising=False)
    cluster, client = qd._own_cluster()
    with cluster, client:
        seen = client.run(lambda: [os.environ.get(k) for k in qd._WORKER_MALLOC])
    assert all(v == list(qd._WORKER_MALLOC.values()) for v in seen.values())
    assert os.environ["MALLOC_TRIM_THRESHOLD_"] == "4096"
    assert "MALLOC_MMAP_THRESHOLD_" not in os.environ


def test_progress_bar(client, catalogue, capsys, monkeypatch):
    # quor's bar, on stderr as a single-box count's, from 0 slabs done (Dask's own bar
    # went to stdout and started at the share of the scatter already done).
    pytest.importorskip("tqdm")
    monkeypatch.setattr("quor._progress.BAR_DELAY_SECONDS", 0.0)
    xyz, ids = catalogue
    got = qd.count_pairs_1d(xyz, ids, R, BOX, client=client, n_slabs=4, progress=True)
    assert_same(got, quor.count_pairs_1d(xyz, ids, R, BOX))
    out, err = capsys.readouterr()
    assert out == ""
    assert "pairs:   0%" in err and "0/4 [" in err and "4/4 [" in err and "slab/s" in err


# ---------------------------------------------------------------------------------------------
# Stopping, the embedded cluster, addresses, threads, unknown chunk sizes


def long_triplets():
    """A catalogue whose triplet count out to 120 Mpc/h takes many minutes per slab."""
    xyz = np.random.default_rng(5).uniform(0, 500, (100_000, 3))
    return xyz, np.zeros(len(xyz), int), [0.0, 60.0, 120.0], 500.0


def executing(client):
    return sum(client.run(qd._tasks_running).values())


def wait_until_executing(client):
    deadline = time.monotonic() + 60
    while not executing(client):
        assert time.monotonic() < deadline, "the slab tasks never started"
        time.sleep(0.05)


def test_interrupt_stops_the_running_slab_kernels(client):
    # The tasks must be gone from the workers when the KeyboardInterrupt arrives: not
    # only released by the scheduler, but their kernels stopped, which a count of many
    # minutes shows.
    xyz, ids, r, box = long_triplets()

    def interrupt(done, total):
        wait_until_executing(client)
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        qd.count_npoint(xyz, ids, r, box, 3, client=client, n_slabs=4, progress=interrupt)
    assert executing(client) == 0


@pytest.fixture(scope="module")
def threaded_client():
    """Workers as threads of this process, where a test can stand in for the kernels."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


class KernelsStandIn:
    """quor._kernels, with the slab counters' calls recorded, and the one of slab 0
    failing once the other slabs are counting."""

    def __init__(self, client, fail):
        self.client, self.fail, self.calls = client, fail, []

    def __getattr__(self, name):
        real = getattr(quor._kernels, name)
        if not name.endswith("_slab"):
            return real

        def count(*args):
            if not len(args[0]):  # the empty count that checks the arguments first
                return real(*args)
            self.calls.append(args[-3:])  # (progress, threads, stop)
            if self.fail and args[-5] == 0.0:  # x_lo of slab 0
                # The workers are in this process: their task states are read directly.
                workers = self.client.cluster.workers.values()
                deadline = time.monotonic() + 60
                while (sum(len(w.state.executing) for w in workers) < 2
                       and time.monotonic() < deadline):
                    time.sleep(0.01)
                raise ValueError("slab 0 failed")
            return real(*args)
        return count


def test_an_error_in_one_slab_stops_the_others(threaded_client, monkeypatch):
    stand_in = KernelsStandIn(threaded_client, fail=True)
    monkeypatch.setattr(qd, "_kernels", stand_in)
    xyz, ids, r, box = long_triplets()
    with pytest.raises(ValueError, match="slab 0 failed"):
        qd.count_npoint(xyz, ids, r, box, 3, client=threaded_client, n_slabs=3)
    assert executing(threaded_client) == 0
    assert all(callable(stop) for _, _, stop in stand_in.calls)


@pytest.mark.parametrize("threads", [None, 1, 2])
def test_threads_reach_the_slab_kernels(threaded_client, catalogue, monkeypatch, threads):
    stand_in = KernelsStandIn(threaded_client, fail=False)
    monkeypatch.setattr(qd, "_kernels", stand_in)
    xyz, ids = catalogue
    got = qd.count_pairs_smu(xyz, ids, R, 4, 1.0, BOX, client=threaded_client, n_slabs=3,
                             threads=threads)
    assert_same(got, quor.count_pairs_smu(xyz, ids, R, 4, 1.0, BOX))
    assert [t for _, t, _ in stand_in.calls] == [threads] * 3


@pytest.mark.parametrize("threads, error, message", [
    (0, ValueError, "threads must be at least 1"),
    (-2, ValueError, "threads must be at least 1"),
    (2.0, TypeError, "threads must be an integer"),
    ("4", TypeError, "threads must be an integer"),
])
def test_bad_threads(threads, error, message, monkeypatch):
    # Refused before any cluster is started or reached.
    monkeypatch.setattr(qd, "_client_for", lambda client: pytest.fail("a cluster was reached"))
    with pytest.raises(error, match=message):
        qd.count_npoint(np.zeros((5, 3)), np.zeros(5, int), R, BOX, 3, threads=threads)


def test_embedded_cluster_is_started_once_and_closed_by_close(catalogue):
    xyz, ids = catalogue
    qd.close()
    try:
        first = qd.count_pairs_1d(xyz, ids, R, BOX, n_slabs=3)
        cluster, client, _ = qd._embedded
        second = qd.count_npoint(xyz, ids, R, BOX, 3, n_slabs=3)
        assert qd._embedded[:2] == (cluster, client)
        assert_same(first, quor.count_pairs_1d(xyz, ids, R, BOX))
        assert_same(second, quor.count_npoint(xyz, ids, R, BOX, 3))
    finally:
        qd.close()
    assert qd._embedded is None
    assert client.status == "closed" and cluster.status.name == "closed"


def test_client_given_as_a_scheduler_address(client, catalogue):
    xyz, ids = catalogue
    address = client.scheduler.address
    try:
        got = qd.count_pairs_2d(xyz, ids, R, R, BOX, client=address, n_slabs=3)
        again = qd.count_pairs_2d(xyz, ids, R, R, BOX, client=address, n_slabs=4)
        connected = qd._connected[address]
        assert connected is not client
    finally:
        qd.close()
    assert_same(got, quor.count_pairs_2d(xyz, ids, R, R, BOX))
    assert_same(again, got)
    assert connected.status == "closed" and client.status == "running"  # ours is left open


@pytest.mark.parametrize("unknown", ["coords", "ids", "both"])
def test_dask_arrays_of_unknown_chunk_sizes(client, catalogue, unknown):
    # A mask selects rows: the chunks' sizes are unknown until computed.
    xyz, ids = catalogue
    keep = np.arange(len(xyz)) % 5 != 0
    coords = da.from_array(xyz, chunks=(700, 3))
    halo = da.from_array(ids, chunks=700)
    mask = da.from_array(keep, chunks=700)
    coords = coords[mask] if unknown != "ids" else da.from_array(xyz[keep], chunks=(900, 3))
    halo = halo[mask] if unknown != "coords" else ids[keep]
    assert unknown == "ids" or np.isnan(coords.shape[0])
    got = qd.count_npoint(coords, halo, R, BOX, 3, client=client, n_slabs=3)
    assert_same(got, quor.count_npoint(xyz[keep], ids[keep], R, BOX, 3))


@pytest.mark.parametrize("counter", ["count_npoint", "count_npoint3_shape"])
def test_unfillable_group_bins_warn_as_in_quor(client, counter):
    # An equilateral triplet of side 0.08: with edges [0.05, 0.1, 8] the first bin lies
    # between two levels of the group table and can never hold it.
    triplet = np.array([[1.0, 1.0, 1.0], [1.08, 1.0, 1.0], [1.04, 1.0 + 0.04 * 3**0.5, 1.0]])
    extra = (4,) if counter == "count_npoint" else (5,)
    args = (triplet, [0, 0, 0], [0.05, 0.1, 8.0])
    with pytest.warns(quor.BinningWarning, match=r"r_bins bin 0 \[0.05, 0.1\)") as record:
        if counter == "count_npoint":
            getattr(quor.distributed, counter)(*args, 100.0, *extra, client=client, n_slabs=1)
        else:
            getattr(quor.distributed, counter)(*args, *extra, 100.0, client=client, n_slabs=1)
    assert [w.filename for w in record] == [__file__]


# ---------------------------------------------------------------------------------------------
# Two catalogues, weights and separations

PAIR_COUNTERS = {name: COUNTERS[name] for name in ("pairs_1d", "pairs_2d", "pairs_smu")}
RESULT_FIELDS = ("auto", "cross", "auto_pairs", "cross_pairs", "auto_mean_r", "cross_mean_r",
                 "auto_mean_log_r", "cross_mean_log_r")


def hostile_weights(n, seed):
    """Signs mixed, zeros, and magnitudes over 60 decades: a sum added in another order
    or rounded more than once comes out with other bits."""
    rng = np.random.default_rng(seed)
    w = rng.normal(size=n) * 10.0 ** rng.integers(-30, 30, size=n)
    w[::17] = 0.0
    return w


@pytest.fixture(scope="module")
def second():
    xyz, _ = faces_catalogue(R_MAX, n=1000, seed=11)
    ids = np.random.default_rng(12).integers(0, 30, size=xyz.shape[0])
    return xyz, ids


def pair_keywords(case, catalogue, second):
    xyz, ids = catalogue
    xyz2, ids2 = second
    return {
        "weighted auto": dict(weights=hostile_weights(len(xyz), 1), separations=True),
        "cross": dict(coords2=xyz2, partition_ids2=ids2),
        "weighted cross": dict(coords2=xyz2, partition_ids2=ids2, weights=hostile_weights(len(xyz), 1),
                               weights2=hostile_weights(len(xyz2), 2), separations=True),
        "weights2 alone": dict(coords2=xyz2, partition_ids2=ids2,
                               weights2=-hostile_weights(len(xyz2), 3)),
        "same array twice": dict(coords2=xyz, partition_ids2=ids, weights=hostile_weights(len(xyz), 4),
                                 separations=True),
    }[case]


def assert_bits(got, expected):
    """Every array of two PairCounts the same bits (NaN means included), and the unweighted
    pair counts the very arrays `auto` and `cross` in both or in neither."""
    assert type(got) is type(expected)
    assert np.any(expected.auto_pairs > 0) or np.any(expected.cross_pairs > 0)
    for field in RESULT_FIELDS:
        g, e = getattr(got, field), getattr(expected, field)
        if e is None:
            assert g is None, field
            continue
        assert g.dtype == e.dtype == np.float64 and g.shape == e.shape, field
        assert np.array_equal(g.view(np.uint64), e.view(np.uint64)), (field, g, e)
    assert (got.auto_pairs is got.auto) == (expected.auto_pairs is expected.auto)


@pytest.mark.parametrize("n_slabs", [None, 1, 3, 4, 7])
@pytest.mark.parametrize("case", ["weighted auto", "cross", "weighted cross", "weights2 alone",
                                  "same array twice"])
@pytest.mark.parametrize("name", list(PAIR_COUNTERS))
def test_pair_sums_equal_quor_bit_for_bit(client, catalogue, second, name, case, n_slabs):
    whole, spread, args = PAIR_COUNTERS[name]
    xyz, ids = catalogue
    keywords = pair_keywords(case, catalogue, second)
    assert_bits(spread(xyz, ids, *args, client=client, n_slabs=n_slabs, **keywords),
                whole(xyz, ids, *args, **keywords))


def as_kind(kind, arr, rows, tmp_path, name):
    """`arr` as the input kind: NumPy, a Dask array of uneven chunks `rows`, a Dask array
    over an HDF5 dataset, or the HDF5 dataset itself (read by the client)."""
    if kind == "numpy":
        return arr
    if kind == "dask":
        return da.from_array(arr, chunks=(rows,) + arr.shape[1:])
    h5py = pytest.importorskip("h5py")
    with h5py.File(tmp_path / f"{name}.h5", "w") as f:
        f.create_dataset(name, data=arr, chunks=(min(len(arr), 256),) + arr.shape[1:])
    dataset = h5py.File(tmp_path / f"{name}.h5", "r")[name]  # open until collected
    return da.from_array(dataset, chunks=(rows,) + arr.shape[1:]) if kind == "hdf5 dask" else dataset


@pytest.mark.parametrize("kinds", [("dask", "dask"), ("numpy", "dask"), ("dask", "numpy"),
                                   ("hdf5 dask", "hdf5 dask"), ("hdf5", "dask")])
def test_pair_sums_from_every_input_kind(client, catalogue, second, tmp_path, kinds):
    xyz, ids = catalogue
    xyz2, ids2 = second
    n, n2 = len(xyz), len(xyz2)
    w, w2 = hostile_weights(n, 5), hostile_weights(n2, 6)
    # Ids beyond int32 in the second catalogue only, a third of them shared with the
    # first: relabelled together, equal ids stay equal across the catalogues.
    ids = ids * 3 - 40
    big_ids2 = ids2.astype(np.int64) * 2**40
    big_ids2[::3] = ids2[::3] * 3 - 40
    # Positions, ids and weights each chunked their own way (weights follow positions).
    first = [as_kind(kinds[0], a, rows, tmp_path, name) for a, rows, name in
             [(xyz, (700, 13, n - 713), "xyz"), (ids, (n,), "ids"), (w, (500, n - 500), "w")]]
    other = [as_kind(kinds[1], a, rows, tmp_path, name) for a, rows, name in
             [(xyz2, (300, n2 - 300), "xyz2"), (big_ids2, (n2 - 1, 1), "ids2"), (w2, (n2,), "w2")]]
    keywords = dict(weights=w, coords2=xyz2, partition_ids2=big_ids2, weights2=w2, separations=True)
    expected = quor.count_pairs_1d(xyz, ids, R, BOX, **keywords)
    got = qd.count_pairs_1d(first[0], first[1], R, BOX, client=client, n_slabs=4, weights=first[2],
                            coords2=other[0], partition_ids2=other[1], weights2=other[2],
                            separations=True)
    assert_bits(got, expected)


@pytest.mark.parametrize("dask_input", [False, True])
@pytest.mark.parametrize("rows", [(0, 5), (5, 0), (40, 1), (1, 40)])
def test_empty_or_single_galaxy_catalogues(client, rows, dask_input):
    rng = np.random.default_rng(7)
    xyz, xyz2 = rng.uniform(0, BOX, (rows[0], 3)), rng.uniform(0, BOX, (rows[1], 3))
    if min(rows):
        xyz2[:1] = xyz[:1] + 0.5  # the lone galaxy has a partner
    keywords = dict(coords2=xyz2, partition_ids2=np.zeros(rows[1], int), weights=-rng.uniform(size=rows[0]),
                    weights2=rng.uniform(size=rows[1]), separations=True)
    expected = quor.count_pairs_1d(xyz, np.zeros(rows[0], int), R, BOX, **keywords)
    if dask_input:
        keywords = {k: da.from_array(v) if isinstance(v, np.ndarray) else v for k, v in keywords.items()}
    got = qd.count_pairs_1d(da.from_array(xyz) if dask_input else xyz, np.zeros(rows[0], int), R, BOX,
                            client=client, n_slabs=3, **keywords)
    for field in RESULT_FIELDS:
        np.testing.assert_array_equal(getattr(got, field), getattr(expected, field), err_msg=field)
    assert expected.auto_pairs.sum() == min(rows)


BAD_KEYWORDS = {
    "ids2 alone": (ValueError, dict(partition_ids2=np.zeros(5, int))),
    "weights2 alone": (ValueError, dict(weights2=np.ones(5))),
    "coords2 alone": (ValueError, dict(coords2=np.zeros((5, 3)))),
    "separations not bool": (TypeError, dict(separations="yes")),
    "short weights": (ValueError, dict(weights=np.ones(9))),
    "bool weights": (TypeError, dict(weights=np.ones(10, bool))),
    "2-D weights": (ValueError, dict(weights=np.ones((10, 1)))),
    "short weights2": (ValueError, dict(coords2=np.zeros((5, 3)), partition_ids2=np.zeros(5, int),
                                        weights2=np.ones(4))),
    "NaN weights2": (ValueError, dict(coords2=np.zeros((5, 3)), partition_ids2=np.zeros(5, int),
                                      weights2=np.array([1.0, 2.0, np.nan, 0.0, 1.0]))),
    "short ids2": (ValueError, dict(coords2=np.zeros((5, 3)), partition_ids2=np.zeros(4, int))),
    "float ids2": (TypeError, dict(coords2=np.zeros((5, 3)), partition_ids2=np.zeros(5))),
    "coords2 as rows": (ValueError, dict(coords2=np.zeros((3, 5)), partition_ids2=np.zeros(5, int))),
    "infinite coords2": (ValueError, dict(coords2=np.full((5, 3), np.inf),
                                          partition_ids2=np.zeros(5, int))),
}


@pytest.mark.parametrize("dask_input", [False, True])
@pytest.mark.parametrize("case", list(BAD_KEYWORDS))
def test_bad_keywords_raise_as_in_quor(client, case, dask_input):
    error, keywords = BAD_KEYWORDS[case]
    xyz, ids = np.random.default_rng(0).uniform(0, BOX, (10, 3)), np.zeros(10, int)
    with pytest.raises(error) as in_quor:
        quor.count_pairs_1d(xyz, ids, R, BOX, **keywords)
    if dask_input:
        keywords = {k: da.from_array(v, chunks=3) if isinstance(v, np.ndarray) else v
                    for k, v in keywords.items()}
    with pytest.raises(error) as spread:
        qd.count_pairs_1d(xyz, ids, R, BOX, client=client, n_slabs=3, **keywords)
    assert str(spread.value) == str(in_quor.value)


@pytest.mark.parametrize("name", list(PAIR_COUNTERS))
def test_new_keywords_are_keyword_only(name):
    whole, spread, args = PAIR_COUNTERS[name]
    with pytest.raises(TypeError, match="positional"):
        spread(np.zeros((3, 3)), np.zeros(3, int), *args, np.zeros((3, 3)))


def test_held_weighted_cross_sent_in_several_runs(client, catalogue, second, monkeypatch):
    # Each run of rows sent takes the weights of its own rows.
    xyz, ids = catalogue
    keywords = pair_keywords("weighted cross", catalogue, second)
    monkeypatch.setattr(qd, "_SCATTER_ROWS", 700)
    assert_bits(qd.count_pairs_2d(xyz, ids, R, 2 * R[:4], BOX, client=client, n_slabs=4, **keywords),
                quor.count_pairs_2d(xyz, ids, R, 2 * R[:4], BOX, **keywords))


# ---------------------------------------------------------------------------------------------
# Jackknife regions

REGION_FIELDS = ("region_labels", "region_sizes", "region_sizes2", "region_weights",
                 "region_weights2", "auto_by_region", "cross_by_region", "auto_pairs_by_region",
                 "cross_pairs_by_region", "by_partitions_by_region", "total_by_region")


def assert_region_bits(got, expected):
    """The counts as quor's, and every region attribute quor's result has, the same bits."""
    assert tuple(got._fields) == tuple(expected._fields)
    for g, e in zip(got, expected):
        np.testing.assert_array_equal(g, e)
    present = [f for f in REGION_FIELDS if hasattr(expected, f)]
    assert present and [f for f in REGION_FIELDS if hasattr(got, f)] == present
    for field in present:
        g, e = getattr(got, field), getattr(expected, field)
        assert g.dtype == e.dtype and g.shape == e.shape, field
        assert np.array_equal(g.view(np.uint8), e.view(np.uint8)), (field, g, e)


def region_labels(n, seed):
    """Labels of a few hundred values, negative ones and gaps among them."""
    return (np.random.default_rng(seed).integers(-3, 40, n) * 7).astype(np.int16)


@pytest.mark.parametrize("n_slabs", [1, 3, 4])
@pytest.mark.parametrize("regions", ["cubes", "labels"])
@pytest.mark.parametrize("name", ["pairs_1d", "pairs_2d", "pairs_smu", "npoint2", "npoint3", "shape"])
def test_regions_equal_quor(client, catalogue, name, regions, n_slabs):
    whole, spread, args = COUNTERS[name]
    xyz, ids = catalogue
    labels = 5 if regions == "cubes" else region_labels(len(xyz), 1)
    assert_region_bits(spread(xyz, ids, *args, client=client, n_slabs=n_slabs, regions=labels),
                       whole(xyz, ids, *args, regions=labels))


@pytest.mark.parametrize("regions", ["cubes", "labels"])
@pytest.mark.parametrize("case", ["weighted auto", "weighted cross", "weights2 alone"])
@pytest.mark.parametrize("name", list(PAIR_COUNTERS))
def test_weighted_regions_bit_for_bit(client, catalogue, second, name, case, regions):
    whole, spread, args = PAIR_COUNTERS[name]
    xyz, ids = catalogue
    keywords = pair_keywords(case, catalogue, second)
    if regions == "cubes":
        keywords["regions"] = 3
    else:
        keywords["regions"] = region_labels(len(xyz), 2)
        if "coords2" in keywords:  # labels of the second catalogue, partly the first's
            keywords["regions2"] = region_labels(len(second[0]), 3).astype(np.int64) + 1
    assert_region_bits(spread(xyz, ids, *args, client=client, n_slabs=4, **keywords),
                       whole(xyz, ids, *args, **keywords))


@pytest.mark.parametrize("kinds", [("dask", "dask"), ("numpy", "hdf5 dask"), ("hdf5 dask", "numpy")])
def test_regions_from_every_input_kind(client, catalogue, second, tmp_path, kinds):
    xyz, ids = catalogue
    xyz2, ids2 = second
    n, n2 = len(xyz), len(xyz2)
    w, w2 = hostile_weights(n, 5), hostile_weights(n2, 6)
    labels = region_labels(n, 4).astype(np.int64) * 2**40  # beyond int32: relabelled
    labels2 = region_labels(n2, 5).astype(np.int64) * 2**40
    labels2[::5] = 12345  # a label of the second catalogue alone
    first = [as_kind(kinds[0], a, rows, tmp_path, name) for a, rows, name in
             [(xyz, (700, 13, n - 713), "xyz"), (w, (500, n - 500), "w"),
              (labels, (300, n - 300), "labels")]]
    other = [as_kind(kinds[1], a, rows, tmp_path, name) for a, rows, name in
             [(xyz2, (300, n2 - 300), "xyz2"), (w2, (n2,), "w2"), (labels2, (n2 - 1, 1), "labels2")]]
    expected = quor.count_pairs_1d(xyz, ids, R, BOX, weights=w, coords2=xyz2, partition_ids2=ids2,
                                   weights2=w2, regions=labels, regions2=labels2)
    got = qd.count_pairs_1d(first[0], ids, R, BOX, client=client, n_slabs=3, weights=first[1],
                            coords2=other[0], partition_ids2=ids2, weights2=other[1],
                            regions=first[2], regions2=other[2])
    assert list(got.region_labels) == sorted(set(labels) | set(labels2))
    # Region weights of Dask inputs are summed chunk by chunk on the workers: not the
    # bits of quor's (held inputs give them; see test_weighted_regions_bit_for_bit).
    for field in ("region_weights", "region_weights2"):
        np.testing.assert_allclose(getattr(got, field), getattr(expected, field), rtol=1e-12)
        setattr(got, field, getattr(expected, field))
    assert_region_bits(got, expected)


@pytest.mark.parametrize("name", ["pairs_1d", "npoint3"])
def test_cube_regions_of_dask_positions(client, catalogue, name):
    """The workers make the cubes from the positions they read (wrapped ones too)."""
    whole, spread, args = COUNTERS[name]
    xyz, ids = catalogue
    shifted = xyz + np.array([-BOX, 0.0, 2 * BOX])  # outside the box, wrapped by both
    expected = whole(shifted, ids, *args, regions=4)
    assert_region_bits(spread(da.from_array(shifted, chunks=(500, 3)), ids, *args, client=client,
                              n_slabs=3, regions=4), expected)


@pytest.mark.parametrize("dask_input", [False, True])
@pytest.mark.parametrize("keywords", [
    dict(regions=0), dict(regions=True), dict(regions=np.zeros(9, int)),
    dict(regions=np.zeros(10)), dict(regions=np.zeros(10, int), regions2=np.zeros(5, int)),
    dict(regions=np.zeros(10, int), coords2=np.zeros((5, 3)), partition_ids2=np.zeros(5, int)),
    dict(regions=2, regions2=np.zeros(5, int), coords2=np.zeros((5, 3)),
         partition_ids2=np.zeros(5, int)),
    dict(regions=np.zeros(10, int), regions2=np.zeros(4, int), coords2=np.zeros((5, 3)),
         partition_ids2=np.zeros(5, int)),
], ids=["zero", "bool", "short", "float", "regions2 alone", "regions2 missing", "cubes and regions2",
        "short regions2"])
def test_bad_regions_raise_as_in_quor(client, keywords, dask_input):
    xyz, ids = np.random.default_rng(0).uniform(0, BOX, (10, 3)), np.zeros(10, int)
    with pytest.raises((TypeError, ValueError)) as in_quor:
        quor.count_pairs_1d(xyz, ids, R, BOX, **keywords)
    if dask_input:
        keywords = {k: da.from_array(v, chunks=3) if isinstance(v, np.ndarray) else v
                    for k, v in keywords.items()}
    with pytest.raises(in_quor.type) as spread:
        qd.count_pairs_1d(xyz, ids, R, BOX, client=client, n_slabs=3, **keywords)
    assert str(spread.value) == str(in_quor.value)
