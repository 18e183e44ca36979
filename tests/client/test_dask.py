"""GateWay's Dask backend on a real local cluster of worker processes."""

import io
import os
import pickle
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")
np = pytest.importorskip("numpy")

import corvid.overflow as ov  # noqa: E402
from corvid import _worker  # noqa: E402
from corvid.client import GateWay, MissingPackages, NoWorkers, SerializationError, WorkerLost  # noqa: E402

from overflow.test_remote_scripts import SCRIPT, check_offloading_report, run_script  # noqa: E402

from .test_run import add, chatty, fail, make_lock  # noqa: E402


@pytest.fixture(scope="module")
def client():
    # allowed_failures=0: a worker that dies in a task fails that task at once.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, scheduler_kwargs={"allowed_failures": 0}) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        yield client


@pytest.fixture(scope="module")
def gw(client):
    with GateWay(client=client) as gw:
        yield gw


def pids(client):
    client.wait_for_workers(2, timeout=30)
    return set(client.run(os.getpid).values())


@pytest.mark.parametrize("how", ["address", "env", "client", "none"])
def test_backend_selection(client, monkeypatch, how):
    address = client.scheduler.address
    monkeypatch.setenv("CORVID_GATEWAY_ADDRESS", address if how == "env" else "")
    kwargs = {"address": {"address": address}, "client": {"client": client}}.get(how, {})
    # The monitor's own constructor call.
    with GateWay(_internal=True, api_key=None, fast=False, api_url=None, progress=False, **kwargs) as gw:
        assert (gw.run(os.getpid) in pids(client)) is (how != "none")
    assert client.submit(add, 1).result() == 2  # a caller's client stays open
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r"corvid\[dask\]"):
        GateWay(address=address)


def test_same_contract_as_local_workers(gw, client, monkeypatch):
    assert gw.run(ov._sanitize_call_shim(), add, [2], {"y": 3}) == 5
    both = io.StringIO()
    monkeypatch.setattr(sys, "stdout", both)
    monkeypatch.setattr(sys, "stderr", both)
    assert gw.run(chatty, 4) == 4 and both.getvalue() == "out 4\nerr 4\nout again\n"
    with pytest.raises(ValueError, match="bad value") as info:
        gw.run(fail, "builtin")
    assert f'File "{sys.modules[fail.__module__].__file__}"' in info.value.__notes__[0]  # remote traceback
    for args, what in [((add, threading.Lock()), "call"), ((make_lock,), "result")]:
        with pytest.raises(SerializationError, match=what):
            gw.run(*args)
    with ThreadPoolExecutor(8) as pool:
        results = list(pool.map(lambda i: gw.run(ov._call_shim(), divmod, (i, 7), {}), range(24)))
    assert results == [divmod(i, 7) for i in range(24)]
    with pytest.raises(TimeoutError):
        gw.run(ov._call_shim(), time.sleep, (2,), {}, timeout=0.3)
    with pytest.raises(WorkerLost, match="died"):
        gw.run(os._exit, 3)
    assert gw.run(os.getpid) in pids(client)
    assert gw.run(ov._call_shim(), add, (1,), {}, pip_packages=["numpy", "cloudpickle"]) == 2
    with pytest.raises(MissingPackages, match=r"not installed .*: corvid-no-such-dist==1\.0 on 2 of 2 worker"):
        gw.run(ov._call_shim(), add, (1,), {}, pip_packages=["numpy", "corvid-no-such-dist==1.0"])


BARRIER = threading.Barrier(2)


def print_between_meetings(i):
    BARRIER.wait(5)
    print("call", i)
    BARRIER.wait(5)


def test_two_calls_at_once_in_one_worker_keep_their_prints_apart():
    request = [[pickle.dumps({}), *_worker.dumps((print_between_meetings, (i,), {}))] for i in range(2)]
    with ThreadPoolExecutor(2) as pool:
        replies = [pickle.loads(reply[0]) for reply in pool.map(_worker.execute, request)]
    assert [r["output"] for r in replies] == [[(1, "call 0\n")], [(1, "call 1\n")]]
    assert not isinstance(sys.stdout, _worker._Router)


def test_gpu_calls_need_a_worker_with_gpu_resources(gw, client, monkeypatch):
    monkeypatch.setenv("CORVID_GATEWAY_RESOURCE_WAIT", "0.5")
    with pytest.raises(NoWorkers, match="GPU=1"):
        gw.run(ov._call_shim(), add, (1,), {}, gpu="A100", gpu_count=1)
    worker = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", client.scheduler.address, "--host",
                               "127.0.0.1", "--no-nanny", "--resources", "GPU=1"], stderr=subprocess.DEVNULL)
    try:
        client.wait_for_workers(3, timeout=60)
        assert {gw.run(ov._call_shim(), os.getpid, (), {}, gpu="A100", gpu_count=1) for _ in range(3)} == {worker.pid}
        with pytest.raises(NoWorkers, match="GPU=2"):
            gw.run(ov._call_shim(), add, (1,), {}, gpu="A100", gpu_count=2)
    finally:
        worker.terminate()
        worker.wait(30)


def digest(array, folder):
    found = {str(p.relative_to(folder)): p.read_text() for p in Path(folder).rglob("*") if p.is_file()}
    return float(array.sum()), float(array[-1]), found


def test_large_and_file_arguments_travel_through_the_data_store(client, ref_service, tmp_path, capsys):
    from refservice.data import stored_keys

    (tmp_path / "sub").mkdir()
    for name, text in [("a.txt", "alpha"), ("sub/b.txt", "beta")]:
        (tmp_path / name).write_text(text)
    big = np.arange(25_000_000, dtype=np.float64)  # 200 MB
    with GateWay(client=client, api_key=ref_service.api_key, api_url=ref_service.url, progress=True) as gw:
        out = gw.run(ov._call_shim(), digest, (big,), {"folder": str(tmp_path)})
        assert out == (float(big.size * (big.size - 1) // 2), big[-1], {"a.txt": "alpha", "sub/b.txt": "beta"})
        assert ref_service.requests_to(r"^/v1/data/dk_", "GET")  # the worker fetched it
        assert "Uploading arg #0" in capsys.readouterr().err
        # Just above the store's threshold. A capture shim sees the fetched
        # array itself, so its state comes back, not the placeholder shipped.
        _, (state, _), _ = gw.run(ov._capture_shim(), np.multiply, (big[:6_600_000], 2.0), {})
        assert state[-1] == big[6_599_999]
        with pytest.raises(ValueError, match="cannot reshape"):
            gw.run(np.reshape, big[:6_600_000], (7,))
    assert len(ref_service.requests_to(r"^/v1/data/dk_", "DELETE")) == 3
    assert stored_keys(ref_service) == []


def test_monitor_offloads_a_script_to_the_cluster(client, tmp_path):
    # The script the local worker processes run, here with a scheduler's address.
    workers = pids(client)  # before the script kills one
    done, report = run_script(tmp_path, SCRIPT, CORVID_GATEWAY_ADDRESS=client.scheduler.address)
    check_offloading_report(done, report)
    assert report["worker"] in workers
