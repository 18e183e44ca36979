"""Identifiers in URL paths travel as exactly one encoded segment."""

from urllib.parse import quote

import pytest

import corvid.pool as pool

HOSTILE = ["a/b", "../datasets", "..", ".", "x?org_id=other", "frag#ment", "100%", "%41",
           "sp ace", "caf\u00e9", "a/../../environments"]


def encoded(ident):
    seg = quote(ident, safe="")
    return seg.replace(".", "%2E") if ident in (".", "..") else seg


CALLS = [
    ("remove", "DELETE", "/v1/corporate/data-pool/blobs/", "Blob {!r} not found in the team pool"),
    ("get_dataset", "GET", "/v1/corporate/data-pool/datasets/", "Dataset {!r} not found"),
    ("get_environment", "GET", "/v1/corporate/environments/", "Environment {!r} not found"),
    ("delete_environment", "DELETE", "/v1/corporate/environments/", "Environment {!r} not found"),
]


@pytest.mark.parametrize("name, method, prefix, detail", CALLS, ids=[c[0] for c in CALLS])
@pytest.mark.parametrize("ident", HOSTILE)
def test_hostile_identifier_reaches_its_own_handler(creds, ref_service, name, method, prefix,
                                                    detail, ident):
    pool.save_environment("victim", **creds)  # something another path could reach
    with pytest.raises(RuntimeError) as info:
        getattr(pool, name)(ident, **creds)
    assert str(info.value) == "Pool request failed (404): " + detail.format(ident)
    req = ref_service.requests[-1]
    assert (req.method, req.path, req.query) == (method, prefix + encoded(ident), {})
    assert [e["name"] for e in pool.list_environments(**creds)["environments"]] == ["victim"]


@pytest.mark.parametrize("name", ["team/a?b#c%d", "..", "caf\u00e9 au lait", "%41"])
def test_environment_named_with_reserved_characters_round_trips(creds, name):
    pool.save_environment("A", **creds)
    saved = pool.save_environment(name, pip_packages=["x"], **creds)
    assert pool.get_environment(name, **creds)["id"] == saved["id"]
    assert pool.delete_environment(name, **creds)["deleted"] == saved["id"]
    assert [e["name"] for e in pool.list_environments(**creds)["environments"]] == ["A"]


def test_integer_identifier_is_formatted(creds, ref_service):
    with pytest.raises(RuntimeError, match=r"\(404\): Dataset '42' not found"):
        pool.get_dataset(42, **creds)


@pytest.mark.parametrize("name", ["remove", "get_dataset", "get_environment", "delete_environment"])
def test_unusable_identifier_refused_before_any_request(creds, ref_service, name):
    func = getattr(pool, name)
    with pytest.raises(TypeError):
        func(None, **creds)
    with pytest.raises(TypeError):
        func(b"bytes", **creds)
    # an empty segment would address the collection itself
    with pytest.raises(ValueError, match="must not be empty"):
        func("", **creds)
    assert ref_service.requests == []
