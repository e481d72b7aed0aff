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
        f.create_dataset("halo", data=ids, chunks=(500,))
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


def test_progress_bar(client, catalogue, capsys):
    xyz, ids = catalogue
    got = qd.count_pairs_1d(xyz, ids, R, BOX, client=client, n_slabs=4, progress=True)
    assert_same(got, quor.count_pairs_1d(xyz, ids, R, BOX))
    assert "100% Completed" in capsys.readouterr().out
