"""Saved environments over the service."""

import pytest

import corvid.pool as pool


def test_save_payload_defaults(creds, ref_service):
    pool.save_environment("bare", **creds)
    pool.save_environment("full", pip_packages=("numpy", "torch"), python_version="3.12",
                          base_image="img:1", description="for training", **creds)
    bare, full = [r.json() for r in ref_service.requests_to(r"/environments$", "POST")]
    assert bare == {"name": "bare", "pip_packages": [], "python_version": None,
                    "base_image": None, "description": None}
    assert full == {"name": "full", "pip_packages": ["numpy", "torch"], "python_version": "3.12",
                    "base_image": "img:1", "description": "for training"}


def test_save_list_get_delete(creds):
    first = pool.save_environment("train", pip_packages=["numpy"], python_version="3.11", **creds)
    pool.save_environment("serve", **creds)
    assert first["created"] is True
    assert [e["name"] for e in pool.list_environments(**creds)["environments"]] == ["serve", "train"]

    by_name = pool.get_environment("train", **creds)
    assert pool.get_environment(first["id"], **creds) == by_name
    assert (by_name["pip_packages"], by_name["python_version"]) == (["numpy"], "3.11")

    again = pool.save_environment("train", pip_packages=["numpy", "scipy"], **creds)
    assert (again["id"], again["created"]) == (first["id"], False)
    assert pool.get_environment("train", **creds)["pip_packages"] == ["numpy", "scipy"]

    assert pool.delete_environment(first["id"], **creds)["name"] == "train"
    with pytest.raises(RuntimeError, match=r"^Pool request failed \(404\): Environment 'train' not found$"):
        pool.get_environment("train", **creds)
    assert [e["name"] for e in pool.list_environments(**creds)["environments"]] == ["serve"]


def test_environments_belong_to_one_team(creds):
    pool.save_environment("shared-name", pip_packages=["a"], org_id="team-1", **creds)
    pool.save_environment("shared-name", pip_packages=["b"], org_id="team-2", **creds)
    assert pool.get_environment("shared-name", org_id="team-1", **creds)["pip_packages"] == ["a"]
    pool.delete_environment("shared-name", org_id="team-2", **creds)
    assert pool.get_environment("shared-name", org_id="team-1", **creds)["pip_packages"] == ["a"]
    with pytest.raises(RuntimeError, match=r"\(404\)"):
        pool.get_environment("shared-name", **creds)


def test_invalid_environment_is_refused_by_the_service(creds):
    with pytest.raises(RuntimeError, match=r"^Pool request failed \(422\): name must be"):
        pool.save_environment("", **creds)
    with pytest.raises(RuntimeError, match=r"\(422\): pip_packages must be a list of strings"):
        pool.save_environment("x", pip_packages=[1, 2], **creds)


def test_saved_environment_merges_with_new_requirements(creds):
    pool.save_environment("base", pip_packages=["numpy==1.26"], python_version="3.12", **creds)
    packages, ignored = pool.parse_requirements_text("pandas\n-e .\nnumpy==1.26  # dup\n")
    merged, version = pool.merge_environment(pool.get_environment("base", **creds), packages)
    assert (merged, version, ignored) == (["numpy==1.26", "pandas"], "3.12", ["-e ."])
    pool.save_environment("base", pip_packages=merged, python_version=version, **creds)
    assert pool.get_environment("base", **creds)["pip_packages"] == merged
