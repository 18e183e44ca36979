"""Multipart upload route of DataOffloader, against the reference service."""

import hashlib
import logging
import os
import tempfile
import threading

import cloudpickle
import httpx
import pytest

import corvid.cargo as cargo
from refservice import multipart as mp

PART = 4096


class Progress:
    def __init__(self, fail=False):
        self.seen, self.fail = [], fail

    def update(self, n):
        self.seen.append(n)
        if self.fail:
            raise ValueError("progress bar broke")

    def close(self):
        pass


@pytest.fixture
def svc(ref_service, monkeypatch):
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_PART_SIZE", PART)
    monkeypatch.setattr(cargo, "_DATA_UPLOAD_CONCURRENCY", 4)
    monkeypatch.setattr(cargo, "_DATA_UPLOAD_MAX_RETRIES", 5)
    return ref_service


@pytest.fixture
def sleeps(monkeypatch):
    waits = []
    monkeypatch.setattr(cargo, "_retry_sleep", waits.append)
    return waits


@pytest.fixture
def clients(monkeypatch):
    """Every httpx.Client the route opens (a real client, only recorded)."""
    made = []

    class Recorded(httpx.Client):
        def __init__(self, *a, **kw):
            super().__init__(*a, **kw)
            made.append(self)

    monkeypatch.setattr(httpx, "Client", Recorded)
    return made


def make_offloader(svc):
    return cargo.DataOffloader(svc.url, svc.api_key)


def upload(svc, data, progress=None, size=None):
    size = len(data) if size is None else size
    return make_offloader(svc)._upload_multipart_to_r2(data, size, 300.0, progress)


def download(svc, key):
    r = httpx.get(f"{svc.url}/v1/data/{key}", follow_redirects=True)
    r.raise_for_status()
    return r.content


def only_upload(svc):
    (up,) = svc.multipart_uploads.values()
    return up


def calls(svc, route):
    return svc.requests_to("/v1/data/" + route + "$", "POST")


def part_requests(svc, pn):
    """PUTs of part `pn` that reached the service, faulted ones included."""
    return [r for r in svc.requests_to("^/_parts/", "PUT") if r.query.get("part") == str(pn)]


def assert_aborted(svc):
    up = only_upload(svc)
    assert up["state"] == "aborted"
    assert len(calls(svc, "upload-abort-multipart")) == 1
    assert httpx.get(f"{svc.url}/v1/data/{up['key']}").status_code == 404


@pytest.mark.parametrize("size", [PART * 3 + 1, PART * 4, 1])
def test_parts_reassemble_byte_exact(svc, size):
    data = os.urandom(size)
    progress = Progress()
    key = upload(svc, data, progress)
    assert download(svc, key) == data
    up = only_upload(svc)
    nparts = -(-size // PART)
    assert sorted(up["parts"]) == list(range(1, nparts + 1))
    assert up["parts"][nparts][0] == size - (nparts - 1) * PART
    assert all(n == 1 for n in up["puts"].values())
    # cumulative, ending at the whole size
    assert len(progress.seen) == nparts and sorted(progress.seen) == progress.seen
    assert progress.seen[-1] == size
    sent = calls(svc, "upload-complete-multipart")[0].json()
    assert [p["PartNumber"] for p in sent["parts"]] == list(range(1, nparts + 1))
    assert sent["size"] == size
    assert all(r.headers.get("authorization") is None for r in svc.requests_to("^/_parts/"))


def test_presign_in_batches_of_100_overlapping_uploads(svc, monkeypatch):
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_PART_SIZE", 16)
    data = os.urandom(16 * 250 - 3)
    # Part 100 is answered only once part 101 has been presigned, so the route
    # must ask for the next batch while the previous one is still uploading.
    svc.multipart_faults[100] = {"after_presign": 101}
    key = upload(svc, data)
    assert download(svc, key) == data
    batches = [r.json()["part_numbers"] for r in calls(svc, "upload-presign-parts")]
    assert batches == [list(range(1, 101)), list(range(101, 201)), list(range(201, 251))]


def test_in_flight_parts_bounded_by_concurrency(svc, monkeypatch):
    monkeypatch.setattr(cargo, "_DATA_UPLOAD_CONCURRENCY", 3)
    svc.multipart_gate = 3  # each part waits until three are being handled
    data = os.urandom(PART * 9)
    assert download(svc, upload(svc, data)) == data
    assert svc.multipart_stats["max_active"] == 3


@pytest.mark.parametrize("fault", [dict(status=503), dict(status=500), dict(status=429),
                                   dict(status=408), dict(drop=True)])
def test_transient_failures_retried_on_the_schedule(svc, sleeps, fault):
    mp.fail_part(svc, 2, times=4, **fault)
    data = os.urandom(PART * 3)
    assert download(svc, upload(svc, data)) == data
    assert sleeps == [0.25, 1.0, 1.0, 4.0]
    assert len(part_requests(svc, 2)) == 5


def test_transient_failure_past_the_attempt_limit_aborts(svc, sleeps, monkeypatch):
    monkeypatch.setattr(cargo, "_DATA_UPLOAD_MAX_RETRIES", 7)
    mp.fail_part(svc, 1, status=503, times=7)
    assert upload(svc, os.urandom(PART * 2)) is None
    assert sleeps == [0.25, 1.0, 1.0, 4.0, 4.0, 16.0]
    assert len(part_requests(svc, 1)) == 7
    assert_aborted(svc)


@pytest.mark.parametrize("status", [403, 400, 404])
def test_permanent_part_failure_is_not_retried_and_aborts(svc, sleeps, status):
    mp.fail_part(svc, 2, status=status, times=10)
    assert upload(svc, os.urandom(PART * 3)) is None
    assert sleeps == []
    assert len(part_requests(svc, 2)) == 1
    assert_aborted(svc)


def test_service_refuses_tampered_part_urls(svc):
    auth = {"Authorization": f"Bearer {svc.api_key}"}
    init = httpx.post(f"{svc.url}/v1/data/upload-init-multipart", headers=auth).json()
    urls = httpx.post(f"{svc.url}/v1/data/upload-presign-parts", headers=auth,
                      json=dict(init, part_numbers=[1, 2])).json()["urls"]
    assert httpx.put(urls["1"].replace("part=1", "part=2"), content=b"x").status_code == 403
    assert httpx.put(urls["1"].split("&sig=")[0], content=b"x").status_code == 403
    ok = httpx.put(urls["1"], content=b"x")
    assert ok.headers["ETag"] == '"%s"' % hashlib.md5(b"x").hexdigest()


def test_dropped_connections_exhaust_retries_then_abort(svc, sleeps):
    mp.fail_part(svc, 3, drop=True, times=100)
    assert upload(svc, os.urandom(PART * 4)) is None
    assert len(sleeps) == 4
    assert_aborted(svc)


def test_etag_mismatch_aborts_at_once(svc, sleeps):
    svc.multipart_faults[2] = {"etag": "0" * 32}
    assert upload(svc, os.urandom(PART * 3)) is None
    assert sleeps == [] and len(part_requests(svc, 2)) == 1
    assert not calls(svc, "upload-complete-multipart")
    assert_aborted(svc)


def test_upper_case_etag_accepted(svc):
    data = os.urandom(PART * 2)
    svc.multipart_faults[1] = {"etag": hashlib.md5(data[:PART]).hexdigest().upper()}
    # the service checks the ETag it handed out at completion
    assert download(svc, upload(svc, data)) == data


def test_unverifiable_etags_warn_once_per_upload_and_are_accepted(svc, caplog):
    data = os.urandom(PART * 3)
    md5s = [hashlib.md5(data[i:i + PART]).hexdigest() for i in range(0, len(data), PART)]
    svc.multipart_faults[1] = {"etag": md5s[0] + "-2"}
    svc.multipart_faults[3] = {"etag": "xyz"}
    with caplog.at_level(logging.WARNING, logger="corvid.cargo"):
        assert download(svc, upload(svc, data)) == data
        assert download(svc, upload(svc, data)) == data
    warnings = [r for r in caplog.records if "not a verifiable 32-hex MD5" in r.getMessage()]
    assert len(warnings) == 2
    sent = {p["PartNumber"]: p["ETag"] for p in calls(svc, "upload-complete-multipart")[0].json()["parts"]}
    assert sent == {1: md5s[0] + "-2", 2: md5s[1], 3: "xyz"}


@pytest.mark.parametrize("retries", [0, -3])
def test_no_retries_still_sends_every_part_once(svc, sleeps, monkeypatch, retries):
    monkeypatch.setattr(cargo, "_DATA_UPLOAD_MAX_RETRIES", retries)
    data = os.urandom(PART * 2 + 5)
    assert download(svc, upload(svc, data)) == data
    sent = calls(svc, "upload-complete-multipart")[0].json()["parts"]
    assert [p["ETag"] for p in sent] == [hashlib.md5(data[i:i + PART]).hexdigest()
                                         for i in range(0, len(data), PART)]
    mp.fail_part(svc, 1, status=503)
    assert upload(svc, data) is None and sleeps == []


@pytest.mark.parametrize("route,fault", [
    ("upload-presign-parts", dict(status=500)),
    ("upload-presign-parts", dict(drop=True)),
    ("upload-complete-multipart", dict(status=500)),
])
def test_service_failures_after_init_abort(svc, route, fault):
    svc.add_fault(method="POST", path=route + "$", **fault)
    assert upload(svc, os.urandom(PART * 2)) is None
    assert_aborted(svc)


def test_missing_presigned_url_aborts(svc):
    svc.multipart_presign_omit = {2}
    assert upload(svc, os.urandom(PART * 3)) is None
    assert 2 not in only_upload(svc)["puts"]
    assert_aborted(svc)


@pytest.mark.parametrize("fault,logged", [
    (dict(status=404), False),
    (dict(status=500), True),
    (dict(status=200, body={"data_key": "dk_1"}), False),
    (dict(drop=True), True),
])
def test_init_failures_give_way_without_abort(svc, caplog, fault, logged):
    svc.add_fault(path="upload-init-multipart$", **fault)
    with caplog.at_level(logging.DEBUG, logger="corvid.cargo"):
        assert upload(svc, os.urandom(PART * 2)) is None
    assert svc.multipart_uploads == {} and not calls(svc, "upload-abort-multipart")
    assert bool([r for r in caplog.records if r.name == "corvid.cargo"]) == logged


def test_too_many_parts_aborts_before_any_presign(svc, monkeypatch):
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_MAX_PARTS", 1001)
    # the declared size needs more than 1001 parts even at the 5 GiB cap
    assert upload(svc, b"tiny", size=5120 * 2**20 * 1002) is None
    assert not calls(svc, "upload-presign-parts")
    assert_aborted(svc)


def test_part_size_grows_in_whole_mib_to_fit_the_part_budget(svc, monkeypatch):
    # 10 parts allowed after the headroom of 1000: 3 MiB + 1 needs 1 MiB parts
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_MAX_PARTS", 1010)
    data = os.urandom(3 * 2**20 + 1)
    assert download(svc, upload(svc, data)) == data
    sizes = [p[0] for _, p in sorted(only_upload(svc)["parts"].items())]
    assert sizes == [2**20, 2**20, 2**20, 1]


def test_abort_failure_is_swallowed(svc):
    mp.fail_part(svc, 1, status=403)
    svc.add_fault(path="upload-abort-multipart$", drop=True)
    assert upload(svc, os.urandom(PART)) is None
    assert len(calls(svc, "upload-abort-multipart")) == 1


def test_failing_progress_object_does_not_fail_the_upload(svc):
    data = os.urandom(PART * 2)
    progress = Progress(fail=True)
    assert download(svc, upload(svc, data, progress)) == data
    assert sorted(progress.seen) == [PART, PART * 2]


@pytest.mark.parametrize("fail", [None, dict(status=403), dict(drop=True, times=100)])
def test_no_thread_client_or_temp_file_outlives_the_call(svc, sleeps, clients, tmp_path,
                                                         monkeypatch, fail):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    if fail:
        mp.fail_part(svc, 2, **fail)
    before = set(threading.enumerate())
    key = upload(svc, os.urandom(PART * 6))
    assert (key is None) == bool(fail)
    left = [t for t in threading.enumerate()
            if t not in before and "process_request" not in t.name]  # the service's own
    assert left == []
    assert len(clients) == 1 and clients[0].is_closed
    assert os.listdir(tmp_path) == []


def test_upload_falls_back_to_single_put_after_abort(svc, monkeypatch):
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_THRESHOLD", PART)
    mp.fail_part(svc, 1, status=403)
    value = os.urandom(PART * 3)
    key = make_offloader(svc)._upload(value)
    assert cloudpickle.loads(download(svc, key)) == value
    assert_aborted(svc)
    assert len(svc.requests_to("^/_store/", "PUT")) == 1


def test_upload_takes_multipart_only_above_the_threshold(svc, monkeypatch):
    value = os.urandom(PART * 3)
    size = len(cloudpickle.dumps(value))
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_THRESHOLD", size)
    off = make_offloader(svc)
    key = off._upload(value)
    assert svc.multipart_uploads == {} and key is not None
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_THRESHOLD", size - 1)
    key = off._upload(value + b"!")
    assert only_upload(svc)["state"] == "complete"
    assert cloudpickle.loads(download(svc, key)) == value + b"!"


def test_late_first_part_still_reassembles(svc, sleeps):
    mp.fail_part(svc, 1, status=503, times=1)
    data = os.urandom(PART * 5 + 7)
    assert download(svc, upload(svc, data)) == data
    assert sleeps == [0.25]


def test_service_joins_parts_of_unequal_sizes(svc):
    auth = {"Authorization": f"Bearer {svc.api_key}"}
    init = httpx.post(f"{svc.url}/v1/data/upload-init-multipart", headers=auth).json()
    urls = httpx.post(f"{svc.url}/v1/data/upload-presign-parts", headers=auth,
                      json=dict(init, part_numbers=[1, 2, 3])).json()["urls"]
    pieces = {3: b"c" * 3, 1: b"a" * 5, 2: b"b" * 7}
    etags = {pn: httpx.put(urls[str(pn)], content=body).headers["ETag"] for pn, body in pieces.items()}
    done = httpx.post(f"{svc.url}/v1/data/upload-complete-multipart", headers=auth, json=dict(
        init, size=15, parts=[{"PartNumber": n, "ETag": etags[n]} for n in (1, 2, 3)]))
    assert done.status_code == 200
    assert download(svc, init["data_key"]) == b"a" * 5 + b"b" * 7 + b"c" * 3


@pytest.mark.parametrize("answer", ["not json", ["dk_1", "up_1"]])
def test_unreadable_init_answer_ships_the_argument_in_place(svc, caplog, monkeypatch, answer):
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_THRESHOLD", 10)
    svc.add_fault(path="upload-init-multipart$", status=200, body=answer)
    off = make_offloader(svc)
    with caplog.at_level(logging.DEBUG, logger="corvid.cargo"):
        assert off._upload(os.urandom(PART * 2)) is None
    # not a refusal of the route: neither the single PUT nor the legacy upload is tried
    assert not calls(svc, "upload-init") and not calls(svc, "upload")
    assert svc.multipart_uploads == {} and not calls(svc, "upload-abort-multipart")
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == 1 and warnings[0].startswith("Data upload error: "), warnings
    assert off._pending_keys == [] and off._upload_cache == {}
