"""Fixtures shared by the cargo tests."""

import pytest

import corvid.cargo as cargo


@pytest.fixture
def offloader(ref_service):
    return cargo.DataOffloader(ref_service.url, ref_service.api_key, size_threshold=1024)
