"""The offloader's API key: read without surrounding white space, never shown in messages."""

import logging
import traceback

import httpx
import pytest

import corvid.cargo as cargo

BIG = b"\x02" * 4096


def test_key_pasted_with_white_space_still_authenticates(ref_service):
    off = cargo.DataOffloader(ref_service.url, f" {ref_service.api_key}\n", size_threshold=1024)
    assert off.api_key == ref_service.api_key
    assert len(off.offload_large_args(len, (BIG,), {})[3]) == 1
    off.flush_all()


def test_a_refused_key_appears_in_no_log_record_or_exception(ref_service, caplog, monkeypatch):
    # An inner newline: the HTTP client refuses the header and quotes it in its error.
    off = cargo.DataOffloader(ref_service.url, "s3cr3t\nk3y", size_threshold=1024)
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_THRESHOLD", 0)  # every route is tried
    with caplog.at_level(logging.DEBUG, logger="corvid.cargo"):
        assert off.offload_large_args(len, (BIG,), {})[1] == (BIG,)
    with pytest.raises(httpx.LocalProtocolError) as info:
        off._upload_legacy(b"payload", 7, 30.0, None)
    messages = [r.getMessage() for r in caplog.records]
    # the failure is still reported by the multipart, single-PUT and legacy routes, and raised
    assert sum("Illegal header value b'Bearer ***'" in m for m in messages) == 3
    assert str(info.value) == "Illegal header value b'Bearer ***'"
    texts = messages + traceback.format_exception(info.value) + [repr(info.value)]
    assert not any("s3cr3t" in t or "k3y" in t for t in texts)
