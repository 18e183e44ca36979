"""The reference service answers like a real server: the other tests rely on it."""

import httpx
import pytest

from refservice import HttpError, Response


@pytest.fixture
def echo(ref_service):
    svc = ref_service
    if not any(p.pattern == r"/_t/echo/(?P<x>[^/]+)" for _, p, _ in svc._routes):
        @svc.route("POST", r"/_t/echo/(?P<x>[^/]+)")
        def _echo(req):
            org = svc.require_auth(req)
            return {"x": req.match["x"], "org": org, "n": len(req.body), "q": req.query}

        @svc.route("GET", r"/_t/teapot")
        def _teapot(req):
            raise HttpError(418, "short and stout")

        @svc.route("GET", r"/_t/raw")
        def _raw(req):
            return Response(201, b"\x00\x01", {"ETag": '"abc"'})

    return svc


def auth(svc):
    return {"Authorization": f"Bearer {svc.api_key}"}


def test_routes_auth_and_org_selection(echo):
    r = httpx.post(f"{echo.url}/_t/echo/a%2Fb", content=b"12345", headers=auth(echo),
                   params={"org_id": "org-7"})
    assert r.status_code == 200
    # a percent-encoded slash stays inside one segment as the client sent it
    assert r.json() == {"x": "a%2Fb", "org": "org-7", "n": 5, "q": {"org_id": "org-7"}}
    r = httpx.post(f"{echo.url}/_t/echo/a", headers={"Authorization": "Bearer nope"})
    assert (r.status_code, r.json()) == (401, {"detail": "Invalid API key"})
    r = httpx.post(f"{echo.url}/_t/echo/a")
    assert r.status_code == 401


def test_errors_and_raw_bodies(echo):
    r = httpx.get(f"{echo.url}/_t/teapot")
    assert (r.status_code, r.json()) == (418, {"detail": "short and stout"})
    assert httpx.get(f"{echo.url}/nowhere").status_code == 404
    assert httpx.get(f"{echo.url}/_t/echo/x").status_code == 405
    r = httpx.get(f"{echo.url}/_t/raw")
    assert (r.status_code, r.content, r.headers["etag"]) == (201, b"\x00\x01", '"abc"')


def test_faults_apply_in_order_then_expire(echo):
    echo.add_fault(path=r"/_t/echo/", status=503, times=2)
    echo.add_fault(method="POST", status=500, body={"detail": "boom"})
    codes = [httpx.post(f"{echo.url}/_t/echo/a", headers=auth(echo)).status_code
             for _ in range(4)]
    assert codes == [503, 503, 500, 200]
    assert len(echo.requests_to(r"/_t/echo/a", "POST")) == 4


def test_dropped_connection_and_chunked_upload(echo):
    echo.add_fault(path=r"/_t/echo/", drop=True)
    with pytest.raises(httpx.TransportError):
        httpx.post(f"{echo.url}/_t/echo/a", headers=auth(echo))
    r = httpx.post(f"{echo.url}/_t/echo/a", headers=auth(echo),
                   content=iter([b"ab", b"cde", b""]))
    assert r.json()["n"] == 5


def test_reset_clears_faults_and_log(echo):
    echo.add_fault(status=500, times=5)
    httpx.get(f"{echo.url}/_t/raw")
    echo.reset()
    assert echo.requests == []
    assert httpx.get(f"{echo.url}/_t/raw").status_code == 201
