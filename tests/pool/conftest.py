import httpx
import pytest

from refservice import team


@pytest.fixture
def creds(ref_service, monkeypatch):
    """Explicit credentials for the service, with the environment cleared so
    that nothing but the arguments can supply them."""
    for name in ("CORVID_API_KEY", "GATEWAY_API_KEY", "CORVID_API_URL"):
        monkeypatch.delenv(name, raising=False)
    return {"api_key": ref_service.api_key, "api_url": ref_service.url}


@pytest.fixture
def seeded(ref_service):
    """A job with two outputs and one loose blob in the content store."""
    svc = ref_service
    outputs = team.add_job_outputs(svc, "job-1", {"out/a.csv": b"a,b\n1,2\n", "out/b.bin": b"\x00" * 10})
    loose = team.put_blob(svc, b"loose bytes")
    return {"outputs": outputs, "loose": loose}


@pytest.fixture
def http_calls(monkeypatch):
    """Records the keywords of every httpx.get/post/delete call, then lets the
    real call go through to the service."""
    calls = []
    for verb in ("get", "post", "delete"):
        real = getattr(httpx, verb)

        def spy(url, *args, _verb=verb, _real=real, **kwargs):
            calls.append((_verb, url, kwargs))
            return _real(url, *args, **kwargs)

        monkeypatch.setattr(httpx, verb, spy)
    return calls
