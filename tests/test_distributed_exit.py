"""quor.distributed stopped by Ctrl-C, or left running at interpreter exit, in scripts run
as subprocesses: what they print, how they end, and that no count runs on afterwards.

Each script runs in a session of its own, killed whole (with its worker processes) if it
outlives its bound, so a fault shows as a failure, never as a hung or busy machine. The
bounds are generous: a count that was not stopped would run for many minutes."""
import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytest.importorskip("distributed")

# How quor.distributed's Python ends its work on Ctrl-C and at exit; the counters' own
# stop, which the kernel variants share, is checked per variant by test_exit.py and
# test_package_threads.py.
pytestmark = pytest.mark.python_layer

BOUND_SECONDS = 150

# The start of every script: a catalogue whose counts below take many minutes on any
# machine, and a wait for the slab tasks to be running on the workers.
PRELUDE = """
import os, signal, sys, threading, time
import numpy as np
import distributed
import quor.distributed as qd

rng = np.random.default_rng(0)
XYZ = rng.uniform(0, 500, (100_000, 3))
IDS = rng.integers(0, 1000, 100_000)
R = [0.0, 50.0, 120.0]
# Each counter on XYZ, with triplets or pairs out to 120 Mpc/h: minutes per slab.
COUNTS = {
    "pairs_1d": lambda **kw: qd.count_pairs_1d(np.tile(XYZ, (10, 1)), np.tile(IDS, 10), R, 500.0, **kw),
    "pairs_2d": lambda **kw: qd.count_pairs_2d(np.tile(XYZ, (10, 1)), np.tile(IDS, 10), R, R, 500.0, **kw),
    "pairs_smu": lambda **kw: qd.count_pairs_smu(np.tile(XYZ, (10, 1)), np.tile(IDS, 10), R, 5, 1.0, 500.0, **kw),
    "npoint": lambda **kw: qd.count_npoint(XYZ, IDS, R, 500.0, 3, **kw),
    "shape": lambda **kw: qd.count_npoint3_shape(XYZ, IDS, R, 4, 500.0, **kw),
}

def running(client):
    return sum(client.run(qd._tasks_running).values())

def when_running(client_of, then):
    # Calls then() once slab tasks run on the workers of client_of() (None until it exists).
    def watch():
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            client = client_of()
            if client is not None and running(client):
                return then(client)
            time.sleep(0.05)
    threading.Thread(target=watch, daemon=True).start()

def embedded():
    return qd._embedded[1] if qd._embedded else None

def ctrl_c(client):
    print("pids", *client.run(os.getpid).values(), flush=True)
    os.kill(os.getpid(), signal.SIGINT)
"""


def run_script(body):
    """Runs PRELUDE + body under `if __name__ == "__main__"` (the workers import the
    script); returns (return code, stdout, stderr)."""
    code = PRELUDE + 'if __name__ == "__main__":\n' + textwrap.indent(textwrap.dedent(body), "    ")
    return run_python(["-c", code])


def run_python(args, cwd=None):
    """Runs Python with `args` in a session of its own within BOUND_SECONDS; returns
    (return code, stdout, stderr)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, *args], stdout=subprocess.PIPE, cwd=cwd,
                            stderr=subprocess.PIPE, text=True, env=env, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=BOUND_SECONDS)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        pytest.fail(f"the script ran past {BOUND_SECONDS} s\nstdout:\n{out}\nstderr:\n{err}")
    finally:
        with_group_gone(proc.pid)
    return proc.returncode, out, err


def with_group_gone(pgid):
    # Whatever the script left (a worker that outlived it) goes with its session.
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def assert_gone(pids):
    """The worker processes have ended (their session is killed afterwards anyway)."""
    deadline = time.monotonic() + 30
    alive = list(pids)
    while alive and time.monotonic() < deadline:
        alive = [p for p in alive if os.path.exists(f"/proc/{p}") and not zombie(p)]
        time.sleep(0.1)
    assert not alive, f"worker processes {alive} outlived the script"


def zombie(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return False


def pids_of(out):
    return [int(p) for line in out.splitlines() if line.startswith("pids ")
            for p in line.split()[1:]]


def without_heartbeat_races(err):
    """stderr less Dask's own race as a cluster closes (a worker's heartbeat meeting the
    closed scheduler), which any Dask cluster closed under load may log."""
    records, keep = re.split(r"(?m)^(?=\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d+ - )", err), []
    for record in records:
        if "Failed to communicate with scheduler during heartbeat" not in record:
            keep.append(record)
    return "".join(keep)


def assert_one_keyboard_interrupt(err):
    ours = without_heartbeat_races(err)
    lines = ours.strip().splitlines()
    assert ours.count("Traceback") == 1 and lines[-1] == "KeyboardInterrupt", err
    # Nothing but that traceback: its frames are the indented lines.
    assert all(line.startswith("  ") or line in (lines[0], lines[-1]) for line in lines), err


def test_ctrl_c_with_a_client_stops_the_workers_and_the_next_count_starts_at_once():
    rc, out, err = run_script("""
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                                      env={"QUOR_NUM_THREADS": "1"}) as cluster, \\
                distributed.Client(cluster) as client:
            when_running(lambda: client, ctrl_c)
            try:
                COUNTS["npoint"](client=client, n_slabs=4)
            except KeyboardInterrupt:
                print("interrupted; still running:", running(client), flush=True)
            t = time.perf_counter()
            small = qd.count_pairs_1d(XYZ[:20_000], IDS[:20_000], [0.0, 5.0], 500.0, client=client)
            print(f"next count {time.perf_counter() - t:.2f} s", flush=True)
    """)
    assert rc == 0, err
    assert "interrupted; still running: 0" in out
    assert "next count" in out
    # No "Task exception was never retrieved", AllExit, or worker warnings.
    assert without_heartbeat_races(err) == "", err


def test_ctrl_c_without_a_client_ends_the_script_with_one_traceback():
    rc, out, err = run_script("""
        when_running(embedded, ctrl_c)
        COUNTS["pairs_1d"](n_slabs=4)
    """)
    assert rc == -signal.SIGINT, err
    assert_one_keyboard_interrupt(err)
    assert_gone(pids_of(out))


@pytest.mark.parametrize("then", ["exit", "count again"])
def test_ctrl_c_while_the_rows_are_sent(then):
    # Ctrl-C inside a scatter (the count sends the slabs' rows run by run); then the
    # script ends, closing the cluster, or counts again on it.
    rc, out, err = run_script(f"""
        scatter = distributed.Client.scatter
        def interrupted_scatter(self, *args, **kwargs):
            if not getattr(distributed.Client, "interrupted", False):
                distributed.Client.interrupted = True
                # The signal lands in the wait for the scatter: 2e6 rows take longer.
                threading.Timer(0.02, os.kill, (os.getpid(), signal.SIGINT)).start()
            return scatter(self, *args, **kwargs)
        distributed.Client.scatter = interrupted_scatter
        many = np.tile(XYZ, (20, 1))
        try:
            qd.count_pairs_1d(many, np.tile(IDS, 20), [0.0, 1.0], 500.0, n_slabs=4)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
            if "{then}" == "exit":
                raise
        qd.count_pairs_1d(XYZ, IDS, [0.0, 5.0], 500.0, n_slabs=4)
        print("counted", flush=True)
    """)
    if then == "exit":
        assert rc == -signal.SIGINT and out.split() == ["interrupted"], err
        assert_one_keyboard_interrupt(err)
    else:
        assert rc == 0 and out.split() == ["interrupted", "counted"], err
        assert without_heartbeat_races(err) == "", err


def test_ctrl_c_during_the_start_up_leaves_nothing_behind():
    # Ctrl-C once the cluster has begun to start its workers: the start-up ends in its
    # own thread and the cluster closes at exit, with no error from Dask's exit hook.
    rc, out, err = run_script("""
        nanny_init = distributed.Nanny.__init__
        def interrupting_init(self, *args, **kwargs):
            if not getattr(distributed.Nanny, "interrupted", False):  # one Ctrl-C
                distributed.Nanny.interrupted = True
                os.kill(os.getpid(), signal.SIGINT)
            nanny_init(self, *args, **kwargs)
        distributed.Nanny.__init__ = interrupting_init
        COUNTS["pairs_1d"](n_slabs=4)
    """)
    assert rc == -signal.SIGINT, err
    assert_one_keyboard_interrupt(err)
    assert "Exception ignored" not in err


@pytest.mark.parametrize("progress", [False, True], ids=["quiet", "progress callable"])
@pytest.mark.parametrize("own_client", [False, True], ids=["embedded", "client"])
def test_script_ending_while_daemon_threads_count_exits_cleanly(own_client, progress):
    # Every counter in a daemon thread of its own; the script ends while they count.
    rc, out, err = run_script(f"""
        client = None
        if {own_client}:
            cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                               dashboard_address=":0")
            client = distributed.Client(cluster)
        report = (lambda done, total: None) if {progress} else False
        for count in COUNTS.values():
            threading.Thread(target=count, kwargs=dict(client=client, progress=report, n_slabs=3),
                             daemon=True).start()
        ended = threading.Event()
        when_running(lambda: client or embedded(),
                     lambda c: print("pids", *c.run(os.getpid).values(), flush=True) or ended.set())
        ended.wait(120)
    """)
    assert rc == 0, err
    assert "FATAL" not in err
    assert without_heartbeat_races(err) == "", err
    pids = pids_of(out)
    assert len(pids) == 2, out
    assert_gone(pids)


def test_embedded_cluster_closed_by_someone_else_is_replaced():
    rc, out, err = run_script("""
        qd.count_pairs_1d(XYZ, IDS, [0.0, 5.0], 500.0, n_slabs=3)
        cluster, client, _ = qd._embedded
        cluster.close()
        again = qd.count_pairs_1d(XYZ, IDS, [0.0, 5.0], 500.0, n_slabs=3)
        print(qd._embedded[0] is not cluster, client.status, flush=True)
    """)
    assert rc == 0 and out.split() == ["True", "closed"], err


UNGUARDED_SCRIPT = """
import numpy as np
import quor.distributed as qd
xyz = np.random.default_rng(0).uniform(0, 100, (5_000, 3))
for _ in range(2):
    auto, cross = qd.count_pairs_1d(xyz, np.arange(5_000) % 7, [0.0, 5.0], 100.0, n_slabs=4)
    print("counted", int(auto[0] + cross[0]), flush=True)
"""


@pytest.mark.parametrize("run_as", ["file", "module"])
def test_script_without_a_main_guard(tmp_path, run_as):
    # The workers start without importing the script again: it runs once, and counts.
    (tmp_path / "unguarded.py").write_text(UNGUARDED_SCRIPT)
    args = ["unguarded.py"] if run_as == "file" else ["-m", "unguarded"]
    rc, out, err = run_python(args, cwd=tmp_path)
    assert rc == 0, err
    assert out.splitlines() == [out.splitlines()[0]] * 2 and out.startswith("counted"), out
    assert without_heartbeat_races(err) == "", err
