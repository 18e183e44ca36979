"""The package as installed: its version, and the README's example."""

import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys

import corvid


def test_version_matches_installed_distribution():
    assert corvid.__version__ == importlib.metadata.version("corvid")


def test_readme_example_runs_as_written(tmp_path):
    readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
    (tmp_path / "example.py").write_text(re.search(r"```python\n(.*?)```", readme, re.S).group(1))
    env = {**{k: v for k, v in os.environ.items() if not k.startswith(("CORVID_", "GATEWAY_"))},
           "PYTHONPATH": os.path.dirname(os.path.dirname(os.path.abspath(corvid.__file__)))}  # this run's corvid
    done = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.stdout.splitlines()[-2:] == ["largest singular values [250.12  12.83  12.59]",
                                             "<_OverflowMonitor policy='auto' running wrapped=1 classes=0>"], done.stderr
