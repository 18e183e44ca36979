"""DataOffloader against an S3-protocol store: moto's server, behind a shim
that answers the data endpoints with URLs presigned for the store."""

import os
import uuid

import cloudpickle
import httpx
import pytest

import corvid.cargo as cargo
from refservice import RefService, Response
from refservice import multipart as mp
from ._interp import run_python

MIB = 2**20
BUCKET = "corvid-data"


class S3Shim(RefService):
    def __init__(self, s3):
        self.s3 = s3
        super().__init__()

    def _install_route_modules(self):
        s3 = self.s3
        sign = lambda op, key, **kw: s3.generate_presigned_url(op, Params=dict(Bucket=BUCKET, Key=key, **kw))
        new_key = lambda: "dk_" + uuid.uuid4().hex
        ids = lambda b: dict(Bucket=BUCKET, Key=b["data_key"], UploadId=b["upload_id"])

        @self.route("POST", "/v1/data/upload-init")
        def init(req):
            return {"data_key": (key := new_key()), "put_url": sign("put_object", key)}

        @self.route("POST", "/v1/data/upload-init-multipart")
        def init_multipart(req):
            key = new_key()
            return {"data_key": key, "upload_id": s3.create_multipart_upload(Bucket=BUCKET, Key=key)["UploadId"]}

        @self.route("POST", "/v1/data/upload-presign-parts")
        def presign(req):
            b = req.json()
            return {"urls": {str(n): sign("upload_part", b["data_key"], UploadId=b["upload_id"], PartNumber=n)
                             for n in b["part_numbers"]}}

        @self.route("POST", "/v1/data/upload-complete-multipart")
        def complete(req):  # the store's refusal raises: answered 500
            b = req.json()
            return s3.complete_multipart_upload(**ids(b), MultipartUpload={"Parts": b["parts"]})["Key"]

        self.route("POST", "/v1/data/upload-complete")(lambda req: {})
        self.route("POST", "/v1/data/upload-abort-multipart")(
            lambda req: s3.abort_multipart_upload(**ids(req.json())) and {})
        self.route("GET", "/v1/data/(?P<key>.+)")(
            lambda req: Response(307, None, {"Location": sign("get_object", req.match["key"])}))
        self.route("DELETE", "/v1/data/(?P<key>.+)")(lambda req: Response(
            s3.delete_object(Bucket=BUCKET, Key=req.match["key"])["ResponseMetadata"]["HTTPStatusCode"]))


@pytest.fixture(scope="module")
def s3():
    moto_server = pytest.importorskip("moto.server")
    boto3 = pytest.importorskip("boto3")
    server = moto_server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    client = boto3.client("s3", endpoint_url=f"http://{host}:{port}", region_name="us-east-1",
                          aws_access_key_id="test", aws_secret_access_key="test")
    client.create_bucket(Bucket=BUCKET)
    yield client
    server.stop()


@pytest.fixture(scope="module")
def shim(s3):
    svc = S3Shim(s3).start()
    yield svc
    svc.stop()


@pytest.mark.parametrize("part_size,posted", [
    (None, {"upload-init", "upload-complete"}),
    (5 * MIB, {"upload-init-multipart", "upload-presign-parts", "upload-complete-multipart"}),
    # the store refuses the small parts at completion: abort, then one PUT
    (2 * MIB, {"upload-init-multipart", "upload-presign-parts", "upload-complete-multipart",
               "upload-abort-multipart", "upload-init", "upload-complete"}),
])
def test_offloaded_argument_round_trips_through_the_store(s3, shim, monkeypatch, part_size, posted):
    shim.reset()
    if part_size:
        monkeypatch.setattr(cargo, "_DATA_MULTIPART_THRESHOLD", MIB)
        monkeypatch.setattr(cargo, "_DATA_MULTIPART_PART_SIZE", part_size)
    value = os.urandom(10 * MIB + 123)
    off = cargo.DataOffloader(shim.url, shim.api_key, size_threshold=MIB)
    fn, args, kwargs, (key,) = off.offload_large_args(lambda v, tag: (v, tag), (value,), {"tag": 1})
    assert args == (None,) and fn(*args, **kwargs) == (value, 1)
    assert s3.get_object(Bucket=BUCKET, Key=key)["Body"].read() == cloudpickle.dumps(value)
    assert {r.path.rsplit("/", 1)[1] for r in shim.requests_to("^/v1/data/", "POST")} == posted
    off.flush_all()
    assert s3.list_objects_v2(Bucket=BUCKET)["KeyCount"] == 0
    assert "Uploads" not in s3.list_multipart_uploads(Bucket=BUCKET)


@pytest.mark.parametrize("misses", [1, 5])
def test_part_answered_without_etag_is_a_failed_attempt(ref_service, monkeypatch, misses):
    waits = []
    for name, value in [("_retry_sleep", waits.append), ("_DATA_MULTIPART_THRESHOLD", 4096),
                        ("_DATA_MULTIPART_PART_SIZE", 4096), ("_DATA_UPLOAD_MAX_RETRIES", 5)]:
        monkeypatch.setattr(cargo, name, value)
    mp.fail_part(ref_service, 2, status=200, body=b"", times=misses)  # 200 without an ETag
    value = os.urandom(3 * 4096)
    key = cargo.DataOffloader(ref_service.url, ref_service.api_key)._upload(value)
    assert cloudpickle.loads(httpx.get(f"{ref_service.url}/v1/data/{key}", follow_redirects=True).content) == value
    assert waits == [0.25, 1.0, 1.0, 4.0][:misses]
    (up,) = ref_service.multipart_uploads.values()
    assert up["state"] == ("complete" if misses < 5 else "aborted")
    assert len(ref_service.requests_to("^/_store/", "PUT")) == (misses == 5)


@pytest.mark.parametrize("part_size,warned", [(5 * MIB - 1, True), (5 * MIB, False)])
def test_part_size_below_the_store_minimum_warns_once_at_import(part_size, warned):
    code = "import logging; logging.basicConfig(format='%(name)s:%(levelname)s:%(message)s')\nimport corvid.cargo"
    proc = run_python(code, env={"GATEWAY_DATA_MULTIPART_PART_SIZE_BYTES": str(part_size)}, check=False)
    assert proc.returncode == 0, proc.stderr
    line = f"corvid.cargo:WARNING:GATEWAY_DATA_MULTIPART_PART_SIZE_BYTES={part_size} is below 5 MiB"
    assert proc.stderr.decode().count(line) == warned
