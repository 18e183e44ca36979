"""Status mapping of failed requests, and transport errors left to the caller."""

import pickle
import socket

import httpx
import pytest

import corvid.pool as pool


@pytest.mark.parametrize(
    "status, body, message",
    [
        (404, {"detail": "no such thing"}, "Pool request failed (404): no such thing"),
        (500, "plain failure text", "Pool request failed (500): plain failure text"),
        (400, {"error": "x"}, 'Pool request failed (400): {"error": "x"}'),
        (422, [1, 2], "Pool request failed (422): [1, 2]"),
        (409, {"detail": [{"loc": "name"}]}, "Pool request failed (409): [{'loc': 'name'}]"),
        (403, {"detail": None}, "Pool request failed (403): None"),
    ],
)
def test_http_errors_carry_the_service_detail(creds, ref_service, status, body, message):
    ref_service.add_fault(path="/v1/corporate/environments$", status=status, body=body)
    with pytest.raises(pool.PoolError) as info:
        pool.list_environments(**creds)
    err = pickle.loads(pickle.dumps(info.value))  # status and detail survive pickling too
    assert (str(err), err.status, str(err.detail)) == (message, status, message.split(": ", 1)[1])
    # the fault was used up by exactly this request
    assert pool.list_environments(**creds) == {"environments": []}


def test_status_just_below_400_is_a_success(creds, ref_service):
    ref_service.add_fault(status=399, body={"detail": "odd but fine"})
    assert pool.list_datasets(**creds) == {"detail": "odd but fine"}


def test_service_errors_from_real_handlers(creds, ref_service):
    with pytest.raises(RuntimeError, match=r"^Pool request failed \(401\): Invalid API key$"):
        pool.list_items(api_key="wrong", api_url=creds["api_url"])
    with pytest.raises(RuntimeError, match=r"^Pool request failed \(422\): Unknown sort 'sideways'"):
        pool.list_items(sort="sideways", **creds)


@pytest.mark.parametrize(
    "response, expected",
    [
        (httpx.Response(200, json={"a": [1]}), {"a": [1]}),
        (httpx.Response(201, json=[1, 2]), [1, 2]),
        (httpx.Response(204), None),
        (httpx.Response(200, content=b""), None),
    ],
)
def test_raise_for_status_returns_the_decoded_body(response, expected):
    assert pool._raise_for_status(response) == expected


def test_raise_for_status_on_a_non_json_success_propagates_the_decode_error():
    with pytest.raises(ValueError):
        pool._raise_for_status(httpx.Response(200, content=b"<html>"))


def test_raise_for_status_falls_back_to_text():
    resp = httpx.Response(502, content=b"<h1>Bad gateway</h1>")
    with pytest.raises(RuntimeError, match=r"^Pool request failed \(502\): <h1>Bad gateway</h1>$"):
        pool._raise_for_status(resp)


def _closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_connection_refused_propagates_unchanged(monkeypatch):
    monkeypatch.delenv("CORVID_API_URL", raising=False)
    with pytest.raises(httpx.ConnectError):
        pool.list_datasets(api_key="k", api_url=f"http://127.0.0.1:{_closed_port()}")


def test_dropped_connection_propagates_unchanged(creds, ref_service):
    ref_service.add_fault(drop=True)
    with pytest.raises(httpx.TransportError):
        pool.get_environment("x", **creds)


def test_timeout_is_applied_and_propagates(creds, ref_service):
    ref_service.add_fault(delay=1.0, status=200, body={"late": True})
    with pytest.raises(httpx.ReadTimeout):
        pool.list_datasets(timeout=0.05, **creds)


class BareResponse:
    """The least a response must offer: status, json() and text."""

    def __init__(self, status_code, body=None, text=""):
        self.status_code, self._body, self.text = status_code, body, text

    def json(self):
        if self._body is None:
            raise ValueError("not JSON")
        return self._body


@pytest.mark.parametrize(
    "resp, outcome",
    [
        (BareResponse(200, {"ok": 1}), {"ok": 1}),
        (BareResponse(404, {"detail": "gone"}), "Pool request failed (404): gone"),
        (BareResponse(500, None, "down"), "Pool request failed (500): down"),
    ],
)
def test_raise_for_status_needs_only_status_json_and_text(resp, outcome):
    if isinstance(outcome, str):
        with pytest.raises(RuntimeError) as info:
            pool._raise_for_status(resp)
        assert str(info.value) == outcome
    else:
        assert pool._raise_for_status(resp) == outcome
