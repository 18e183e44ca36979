"""The package's own version is the one its installed distribution carries."""

import importlib.metadata

import corvid


def test_version_matches_installed_distribution():
    assert corvid.__version__ == importlib.metadata.version("corvid")
