"""Credential and base-URL resolution, team selection, and the request shape."""

import traceback

import httpx
import pytest

import corvid.pool as pool

NO_KEY = (
    "No API key found. Pass api_key= or set CORVID_API_KEY. Team pool actions require a "
    "team-provisioned key (or membership in exactly one organization)."
)


@pytest.fixture
def clean_env(monkeypatch):
    for name in ("CORVID_API_KEY", "GATEWAY_API_KEY", "CORVID_API_URL"):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


def test_default_url_points_at_a_local_reference_service():
    assert pool.DEFAULT_API_URL == "http://127.0.0.1:8765"
    assert "http://127.0.0.1:8765" in pool.__doc__ and "reference service" in pool.__doc__
    assert (pool.CORVID_API_KEY, pool.GATEWAY_API_KEY, pool.CORVID_API_URL) == (
        "CORVID_API_KEY", "GATEWAY_API_KEY", "CORVID_API_URL")


@pytest.mark.parametrize(
    "arg, corvid_env, gateway_env, expected",
    [
        ("arg-key", "env-key", "gw-key", "arg-key"),
        (None, "env-key", "gw-key", "env-key"),
        ("", "env-key", "gw-key", "env-key"),
        (None, "", "gw-key", "gw-key"),
        (None, None, "gw-key", "gw-key"),
    ],
)
def test_key_resolution_order(clean_env, arg, corvid_env, gateway_env, expected):
    if corvid_env is not None:
        clean_env.setenv("CORVID_API_KEY", corvid_env)
    if gateway_env is not None:
        clean_env.setenv("GATEWAY_API_KEY", gateway_env)
    assert pool._resolve_auth(arg, "http://h")[0] == expected


@pytest.mark.parametrize(
    "arg, env, expected",
    [
        ("http://arg//", "http://env", "http://arg"),
        (None, "http://env/api///", "http://env/api"),
        ("", "", "http://127.0.0.1:8765"),
        (None, None, "http://127.0.0.1:8765"),
    ],
)
def test_url_resolution_order_strips_trailing_slashes(clean_env, arg, env, expected):
    if env is not None:
        clean_env.setenv("CORVID_API_URL", env)
    assert pool._resolve_auth("k", arg) == ("k", expected)


@pytest.mark.parametrize("key", [None, ""])
def test_missing_key_raises_before_any_request(clean_env, ref_service, key):
    clean_env.setenv("GATEWAY_API_KEY", "")
    calls = [
        lambda: pool.list_items(api_key=key, api_url=ref_service.url),
        lambda: pool.share(shas=["x"], api_key=key, api_url=ref_service.url),
        lambda: pool.remove("x", api_key=key, api_url=ref_service.url),
        lambda: pool.save_environment("e", api_key=key, api_url=ref_service.url),
        lambda: pool.fetch_dataset_entries("d", api_key=key, api_url=ref_service.url),
    ]
    for call in calls:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == NO_KEY
    assert ref_service.requests == []


@pytest.mark.parametrize("org, expected", [(None, {}), ("", {}), ("org-9", {"org_id": "org-9"})])
def test_params(org, expected):
    assert pool._params(org) == expected


def test_environment_credentials_reach_the_service(service_env):
    pool.save_environment("from-env")
    req = service_env.requests[-1]
    assert req.headers["Authorization"] == "Bearer " + service_env.api_key
    assert req.query == {}


def test_gateway_key_used_when_corvid_key_unset(service_env, monkeypatch):
    monkeypatch.delenv("CORVID_API_KEY")
    monkeypatch.setenv("GATEWAY_API_KEY", service_env.api_key)
    assert pool.list_environments() == {"environments": []}
    monkeypatch.setenv("GATEWAY_API_KEY", "not-a-key")
    with pytest.raises(RuntimeError, match=r"^Pool request failed \(401\): Invalid API key$"):
        pool.list_environments()


def test_default_url_is_read_at_call_time(clean_env, ref_service, monkeypatch):
    monkeypatch.setattr(pool, "DEFAULT_API_URL", ref_service.url + "/")
    assert pool.list_datasets(api_key=ref_service.api_key) == {"datasets": []}
    assert ref_service.requests[-1].path == "/v1/corporate/data-pool/datasets"


def test_org_id_selects_the_team(creds, ref_service):
    pool.save_environment("mine", org_id="org-a", **creds)
    assert ref_service.requests[-1].query == {"org_id": "org-a"}
    assert [e["name"] for e in pool.list_environments(org_id="org-a", **creds)["environments"]] == ["mine"]
    assert pool.list_environments(org_id="org-b", **creds) == {"environments": []}
    # an empty org_id is the key's own team, not a team named ""
    assert pool.list_environments(org_id="", **creds) == {"environments": []}
    assert ref_service.requests[-1].query == {}


def test_request_keywords(creds, http_calls, ref_service):
    pool.list_datasets(org_id="o", timeout=5.5, **creds)
    pool.share(dataset="d", **creds)
    verb, url, kw = http_calls[0]
    assert (verb, url) == ("get", ref_service.url + "/v1/corporate/data-pool/datasets")
    assert kw == {"headers": {"Authorization": "Bearer test-key"}, "params": {"org_id": "o"}, "timeout": 5.5}
    verb, url, kw = http_calls[1]
    assert verb == "post" and kw["json"] == {"dataset": "d"} and kw["timeout"] == 120.0


@pytest.mark.parametrize(
    "call, verb",
    [
        (lambda c: pool.list_items(**c), "get"),
        (lambda c: pool.list_datasets(**c), "get"),
        (lambda c: pool.list_environments(**c), "get"),
        (lambda c: pool.get_environment("e", **c), "get"),
        (lambda c: pool.get_dataset("d", **c), "get"),
        (lambda c: pool.delete_environment("e", **c), "delete"),
        (lambda c: pool.remove("s", **c), "delete"),
        (lambda c: pool.save_environment("e", **c), "post"),
    ],
)
def test_default_timeout_is_thirty_seconds(creds, http_calls, call, verb):
    try:
        call(creds)
    except RuntimeError:
        pass  # a 404 is fine: only the request matters here
    assert [(v, kw["timeout"]) for v, _, kw in http_calls] == [(verb, 30.0)]


def test_request_functions_take_keywords_only():
    with pytest.raises(TypeError):
        pool.list_items(10)
    with pytest.raises(TypeError):
        pool.remove("a", "org")
    with pytest.raises(TypeError):
        pool.save_environment("n", ["numpy"])



@pytest.mark.parametrize("name", ["CORVID_API_KEY", "GATEWAY_API_KEY", "CORVID_API_URL"])
def test_undecodable_environment_bytes_are_refused_naming_the_variable(clean_env, ref_service, name):
    clean_env.setenv(name, b"k\xff\xfe".decode(errors="surrogateescape"))  # os.environb holds b"k\xff\xfe"
    with pytest.raises(RuntimeError, match=f"^Environment variable {name} holds bytes that are not valid UTF-8$"):
        pool.list_datasets(api_key=None if name.endswith("KEY") else "k")
    assert ref_service.requests == []


@pytest.mark.parametrize("via_env", [False, True])
def test_key_loses_white_space_and_a_refused_key_is_never_shown(clean_env, ref_service, via_env):
    def call(key):
        clean_env.setenv("CORVID_API_KEY", key)
        return pool.list_datasets(api_key=None if via_env else key, api_url=ref_service.url)
    assert call(f"\t{ref_service.api_key}\n") == {"datasets": []}
    secret = "s3cr3t\nk3y"  # an inner newline: the client refuses the header
    with pytest.raises(httpx.LocalProtocolError) as info:
        call(secret)
    assert str(info.value) == "Illegal header value b'Bearer ***'"
    assert not any("s3cr3t" in t or "k3y" in t for t in traceback.format_exception(info.value))
