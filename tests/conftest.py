import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from refservice import RefService  # noqa: E402


@pytest.fixture(scope="session")
def _ref_service_process():
    svc = RefService().start()
    yield svc
    svc.stop()


@pytest.fixture
def ref_service(_ref_service_process):
    """The reference service, with fresh data and no faults for each test."""
    svc = _ref_service_process
    svc.reset()
    yield svc
    svc.reset()


@pytest.fixture
def service_env(ref_service, monkeypatch):
    """Point the library's credential and URL variables at the service."""
    monkeypatch.setenv("CORVID_API_URL", ref_service.url)
    monkeypatch.setenv("CORVID_API_KEY", ref_service.api_key)
    monkeypatch.delenv("GATEWAY_API_KEY", raising=False)
    return ref_service
