"""Fixtures shared by the cargo tests."""

import pickle

import cloudpickle
import pytest

import corvid.cargo as cargo


@pytest.fixture
def offloader(ref_service):
    return cargo.DataOffloader(ref_service.url, ref_service.api_key, size_threshold=1024)


@pytest.fixture(params=[(m, p) for m in (pickle, cloudpickle) for p in range(pickle.HIGHEST_PROTOCOL + 1)])
def round_trip(request):
    module, protocol = request.param
    return lambda obj: module.loads(module.dumps(obj, protocol=protocol))
