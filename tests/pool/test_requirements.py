"""Requirements parsing and package merging (no network)."""

import pytest

import corvid.pool as pool


@pytest.mark.parametrize(
    "text, packages, ignored",
    [
        ("numpy==1.26  # pinned\n-r base.txt\n\n# c\ntorch", ["numpy==1.26", "torch"], ["-r base.txt"]),
        ("", [], []),
        ("  pandas>=2 \r\n\tscipy\t# tab comment\r\n", ["pandas>=2", "scipy"], []),
        ("pkg#egg-frag\nurl @ https://h/x.whl#sha256=ab", ["pkg#egg-frag", "url @ https://h/x.whl#sha256=ab"], []),
        ("a # one # two\n--index-url https://x  # mirror\n-e .", ["a"], ["--index-url https://x", "-e ."]),
        ("   # indented comment\n\u2028b\x0cc", ["b", "c"], []),
        ("x\t#t #s", ["x"], []),
    ],
)
def test_parse_requirements_text(text, packages, ignored):
    assert pool.parse_requirements_text(text) == (packages, ignored)


@pytest.mark.parametrize(
    "env, new, version, expected",
    [
        ({"pip_packages": ["a"]}, "b", None, (["a", "b"], None)),
        ({"pip_packages": ["a"]}, ["a", "c", "c"], None, (["a", "c", "c"], None)),
        ({"pip_packages": ["a"], "python_version": "3.11"}, None, None, (["a"], "3.11")),
        ({"pip_packages": None, "python_version": ""}, ("x",), "", (["x"], None)),
        ({}, [], "3.13", ([], "3.13")),
        ({"pip_packages": [1, "b"], "python_version": "3.10"}, iter(["b", "1", "d"]), "3.12",
         (["1", "b", "d"], "3.12")),
        ({"pip_packages": ["a"]}, "", None, (["a"], None)),
    ],
)
def test_merge_environment(env, new, version, expected):
    assert pool.merge_environment(env, new, version) == expected


def test_merge_environment_leaves_its_input_alone():
    env = {"pip_packages": ["a"], "python_version": "3.12"}
    merged, _ = pool.merge_environment(env, pip_packages=["b"])
    merged.append("z")
    assert env == {"pip_packages": ["a"], "python_version": "3.12"}
