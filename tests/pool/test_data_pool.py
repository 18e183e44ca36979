"""Contributing to, listing and removing from the team pool; datasets."""

import pytest

import corvid.pool as pool
from refservice import team


def contribute_bodies(svc):
    return [r.json() for r in svc.requests_to(r"/data-pool/contribute$", "POST")]


@pytest.mark.parametrize(
    "kwargs, payload",
    [
        ({"dataset": "d"}, {"dataset": "d"}),
        ({"shas": ("s1",), "relpaths": iter(["r1"])}, {"shas": ["s1"], "relpaths": ["r1"]}),
        ({"job_id": "job-1", "shas": [], "cargo": "", "dataset": None}, {"job_id": "job-1"}),
        ({"cargo": "dk_1", "dataset": "d"}, {"data_key": "dk_1", "dataset": "d"}),
        ({"relpaths": ["only"]}, {"relpaths": ["only"]}),
    ],
)
def test_share_sends_only_truthy_fields(creds, ref_service, kwargs, payload):
    try:
        pool.share(**kwargs, **creds)
    except RuntimeError:
        pass  # unknown blobs, keys or jobs: the payload is what matters here
    assert contribute_bodies(ref_service) == [payload]


@pytest.mark.parametrize("kwargs", [{}, {"shas": [], "job_id": "", "cargo": None, "relpaths": []}])
def test_share_with_nothing_raises_before_any_request(creds, ref_service, kwargs):
    with pytest.raises(ValueError) as info:
        pool.share(**kwargs, **creds)
    assert str(info.value) == "share() needs at least one of: shas, job_id, cargo"
    assert ref_service.requests == []


def test_share_job_outputs_then_list_and_remove(creds, ref_service, seeded):
    out = pool.share(job_id="job-1", dataset="results", **creds)
    assert sorted(c["relpath"] for c in out["contributed"]) == ["out/a.csv", "out/b.bin"]
    pool.share(shas=[seeded["loose"]], relpaths=["notes.txt"], **creds)

    items = pool.list_items(**creds)
    assert items["total"] == 3
    assert [i["relpath"] for i in items["items"]][0] == "notes.txt"  # newest first
    assert [i["size_bytes"] for i in pool.list_items(sort="largest", **creds)["items"]] == [11, 10, 8]
    page = pool.list_items(limit=1, offset=1, sort="oldest", **creds)["items"]
    assert len(page) == 1 and page[0]["sha256"] in seeded["outputs"].values()
    assert [i["relpath"] for i in pool.list_items(kind="blob", **creds)["items"]] == ["notes.txt"]

    sha_a = seeded["outputs"]["out/a.csv"]
    assert pool.remove(sha_a, **creds) == {"deleted": sha_a}
    assert sha_a not in [i["sha256"] for i in pool.list_items(**creds)["items"]]
    assert [e["relpath"] for e in pool.fetch_dataset_entries("results", **creds)] == ["out/b.bin"]
    with pytest.raises(RuntimeError, match=r"^Pool request failed \(404\): Blob .* not found"):
        pool.remove(sha_a, **creds)


def test_list_items_query(creds, ref_service):
    pool.list_items(kind="", org_id="t", **creds)
    pool.list_items(limit=5, offset=10, sort="oldest", kind="upload", **creds)
    first, second = ref_service.requests_to(r"/data-pool$")
    assert first.query == {"org_id": "t", "limit": "200", "offset": "0", "sort": "newest"}
    assert second.query == {"limit": "5", "offset": "10", "sort": "oldest", "kind": "upload"}


def test_share_an_uploaded_data_key(creds, ref_service):
    data = pytest.importorskip("refservice.data")
    key = data.new_key()
    data.store_object(ref_service, key, b"uploaded payload", ref_service.org_id)
    out = pool.share(cargo=key, relpaths=["up.txt"], dataset="ups", **creds)
    assert out["contributed"][0]["size_bytes"] == len(b"uploaded payload")
    assert pool.fetch_dataset_entries("ups", **creds)[0]["relpath"] == "up.txt"
    # another team cannot contribute this team's upload
    with pytest.raises(RuntimeError, match=r"\(404\): Unknown data key"):
        pool.share(cargo=key, org_id="org-other", **creds)


def test_teams_do_not_see_each_other(creds, seeded):
    pool.share(job_id="job-1", dataset="ours", **creds)
    assert pool.list_items(org_id="org-other", **creds)["total"] == 0
    assert pool.list_datasets(org_id="org-other", **creds) == {"datasets": []}
    ds_id = pool.list_datasets(**creds)["datasets"][0]["id"]
    with pytest.raises(RuntimeError, match=r"\(404\): Dataset"):
        pool.get_dataset(ds_id, org_id="org-other", **creds)
    with pytest.raises(RuntimeError, match=r"\(404\): Job 'job-1' not found"):
        pool.share(job_id="job-1", org_id="org-other", **creds)


# -- fetch_dataset_entries ---------------------------------------------------


def test_fetch_by_id_and_by_name_ignoring_case(creds, ref_service, seeded):
    pool.share(job_id="job-1", dataset="Results", **creds)
    ds = pool.list_datasets(**creds)["datasets"][0]
    expected = [
        {"relpath": "out/a.csv", "sha256": seeded["outputs"]["out/a.csv"], "size": 8},
        {"relpath": "out/b.bin", "sha256": seeded["outputs"]["out/b.bin"], "size": 10},
    ]
    assert pool.fetch_dataset_entries(ds["id"], **creds) == expected
    assert pool.fetch_dataset_entries("rESULTS", org_id=None, **creds) == expected
    # two requests: the listing, then the matched dataset by its id
    paths = [r.path for r in ref_service.requests[-2:]]
    assert paths == ["/v1/corporate/data-pool/datasets", "/v1/corporate/data-pool/datasets/" + ds["id"]]


def test_fetch_passes_team_and_timeout_to_both_requests(creds, seeded, http_calls):
    pool.share(shas=[seeded["loose"]], dataset="r", org_id="org-x", **creds)
    http_calls.clear()
    pool.fetch_dataset_entries("r", org_id="org-x", timeout=7.0, **creds)
    assert [(kw["params"], kw["timeout"]) for _, _, kw in http_calls] == [({"org_id": "org-x"}, 7.0)] * 2


def fake_listing(svc, datasets, blobs=None):
    svc.add_fault(method="GET", path=r"/datasets$", status=200, body={"datasets": datasets})
    if blobs is not None:
        svc.add_fault(method="GET", path=r"/datasets/.+", status=200, body={"blobs": blobs})


def test_first_match_wins(creds, ref_service):
    fake_listing(ref_service, [{"id": "d1", "name": "other"}, {"id": "d2", "name": "D1"},
                               {"id": "D1", "name": "x"}], blobs=[{"sha256": "s"}])
    pool.fetch_dataset_entries("D1", **creds)
    assert ref_service.requests[-1].path.endswith("/datasets/d2")


def test_blob_fields_are_normalised(creds, ref_service):
    fake_listing(ref_service, [{"id": "d", "name": "n"}], blobs=[
        {"sha256": "", "relpath": "skipped"},
        {"relpath": "no-sha"},
        {"sha256": "s1"},
        {"sha256": "s2", "relpath": "", "size_bytes": None},
        {"sha256": "s3", "relpath": "r3", "size_bytes": "12"},
    ])
    assert pool.fetch_dataset_entries("n", **creds) == [
        {"relpath": "s1", "sha256": "s1", "size": 0},
        {"relpath": "s2", "sha256": "s2", "size": 0},
        {"relpath": "r3", "sha256": "s3", "size": 12},
    ]


@pytest.mark.parametrize(
    "datasets, available",
    [
        ([], "(none)"),
        ([{"id": "1", "name": "zeta"}, {"id": "2"}, {"id": "3", "name": "Alpha"}], "?, Alpha, zeta"),
    ],
)
def test_not_found_names_what_exists(creds, ref_service, datasets, available):
    fake_listing(ref_service, datasets)
    with pytest.raises(RuntimeError) as info:
        pool.fetch_dataset_entries("missing", **creds)
    assert str(info.value) == "Team pool dataset 'missing' not found. Available: " + available
    assert len(ref_service.requests) == 1


def test_empty_dataset(creds, ref_service):
    pool.share(dataset="empty", **creds)
    with pytest.raises(RuntimeError) as info:
        pool.fetch_dataset_entries("empty", **creds)
    assert str(info.value) == "Team pool dataset 'empty' contains no files; contribute data to it first."


def test_fetch_surfaces_http_errors(creds, ref_service):
    ref_service.add_fault(path=r"/datasets$", status=503, body={"detail": "maintenance"})
    with pytest.raises(RuntimeError, match=r"^Pool request failed \(503\): maintenance$"):
        pool.fetch_dataset_entries("x", **creds)
