"""User scripts that call overflow() on their first line, run in fresh interpreters.

Each script checks from inside what it sees (wrappers appearing line by line,
what is left alone, what the undo restores) and prints it as JSON.
"""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import corvid

SCRIPTS = Path(__file__).parent / "scripts"
PACKAGE_ROOT = str(Path(corvid.__file__).parent.parent)


def _env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("CORVID_", "COVERAGE_", "OVD_"))}
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
    # these scripts watch discovery and wrapping; their calls stay local
    env["CORVID_OVERFLOW_POLICY"] = "off"
    env.update({k: str(v) for k, v in extra.items()})
    return env


def run(args, cwd=SCRIPTS, input=None, **env):
    proc = subprocess.run(
        [sys.executable, *args], cwd=cwd, env=_env(**env), input=input,
        capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
    assert lines, f"no report\nstdout: {proc.stdout}\nstderr: {proc.stderr}"
    return json.loads(lines[-1]), proc


# --- the main script -------------------------------------------------------


@pytest.fixture(scope="module", params=["auto", "off"])
def late_defs(request):
    """late_defs.py run twice: undone by stop(), and undone at process exit."""
    return {
        mode: run(["late_defs.py"], OVD_MODE=mode, CORVID_OVERFLOW_POLICY=request.param)[0]
        for mode in ("stop", "exit")
    }


def test_every_public_top_level_function_is_announced(late_defs):
    r = late_defs["stop"]
    assert r["announced"] == ["fit_rebound", "in_try", "light", "outer", "train_last",
                              "train_model", "under_main"]
    assert r["nested_announced"] is False
    assert r["hook_active_at_start"] is True


def test_late_definitions_are_wrapped_before_the_next_line(late_defs):
    r = late_defs["stop"]
    for key in ("train_model_wrapped_next_line", "under_main_wrapped", "in_try_wrapped",
                "rebound_was_wrapped", "last_wrapped_next_line", "module_function_wrapped"):
        assert r[key] is True, key
    # Calls through the wrappers give the user's results.
    assert (r["train_model_call"], r["model_fit_call"], r["module_call"]) == (45, 6, 14)


def test_what_is_left_alone(late_defs):
    r = late_defs["stop"]
    assert r["light_left"] and r["private_left"] and r["nested_left"]
    assert r["model_kinds"] == {
        "__init__": "function", "fit": "_OverflowMethod", "_hidden": "function",
        "helper": "staticmethod", "build": "classmethod", "size": "property",
    }
    assert r["model_size"] == 3
    assert r["exception_enum_kinds"] == ["function", "function"]
    # json.dump would count as heavy were it user code; it is library code.
    assert r["library_predicted_heavy"] is True and r["library_left"] is True
    assert r["module_alias_plain"] is True


def test_user_module_walked_once(late_defs):
    r = late_defs["stop"]
    assert r["module_walked"] is True
    assert r["module_not_walked_again"] is True


def test_hook_leaves_once_the_last_announced_function_exists(late_defs):
    r = late_defs["stop"]
    assert r["hook_active_before_last"] is True
    assert r["hook_gone_after_last"] is True


@pytest.mark.parametrize("mode", ["stop", "exit"])
def test_everything_restored(late_defs, mode):
    r = late_defs[mode]
    assert r["wrapped_before_stop"] == ["in_try", "outer", "train_last", "train_model", "under_main"]
    after = r["after"]
    assert all(after["same_objects"].values()), after["same_objects"]
    assert after["wrappers_left"] == []
    assert after["rebound_kept"] is True
    assert after["trace_none"] is True
    assert after["wrapped_maps_empty"] is True


# --- cooperation with a tracer installed before the watch ---------------------


def test_previous_tracer_sees_the_same_events_with_and_without_the_watch():
    plain, _ = run(["traced.py"], OVD_WATCH=0, CORVID_OVERFLOW_POLICY="off")
    watched, _ = run(["traced.py"], OVD_WATCH=1, CORVID_OVERFLOW_POLICY="off")
    assert watched["state"] == {"hook_active": True, "still_active_after_call": True,
                                "tracer_back": True, "hook_gone": True}
    assert plain["state"]["tracer_back"] is True
    # The tracer got every call, line and return of every frame while the
    # hook was in place, and after it left.
    assert watched["events"] == plain["events"]
    source = (SCRIPTS / "traced.py").read_text().splitlines()
    helper_line = source.index("def helper(x):") + 1
    assert watched["events"].count(["helper", "call", helper_line]) == 2
    assert ["<module>", "line", source.index("helper(1)") + 1] in watched["events"]


@pytest.mark.parametrize("core", ["ctrace", "pytrace", "sysmon"])
def test_coverage_measures_the_same_lines(tmp_path, core):
    script = str(SCRIPTS / "covered.py")
    measured = {}
    for watch in (0, 1):
        data = tmp_path / f"cov{watch}"
        state, _ = run(["-m", "coverage", "run", f"--data-file={data}", script],
                       OVD_WATCH=watch, COVERAGE_CORE=core, CORVID_OVERFLOW_POLICY="off")
        if watch:
            assert state == {"hook_active": True, "active_after_loop": True, "hook_gone": True}
        import coverage

        cov = coverage.CoverageData(str(data))
        cov.read()
        measured[watch] = sorted(cov.lines(script) or [])
    assert measured[1] == measured[0]
    source = Path(script).read_text().splitlines()
    # Lines of the caller run while the hook was active and after it left.
    assert source.index("for i in range(50):") + 1 in measured[1]
    assert source.index('STATE["hook_gone"] = MON is None or not MON._hook_installed') + 1 in measured[1]
    assert source.index("    y = x + 1") + 1 in measured[1]


@pytest.mark.parametrize(
    "env,args,installed",
    [
        ({"CORVID_OVERFLOW_HOOK_DEADLINE": "0.2"}, ["0.4", "3"], False),
        ({"CORVID_OVERFLOW_HOOK_CALL_CAP": "50"}, ["0", "100"], False),
        ({}, ["0", "100"], True),
    ],
    ids=["deadline", "event-cap", "within-limits"],
)
def test_hook_limits_put_the_previous_tracer_back(env, args, installed):
    state, _ = run(["limits.py", *args, "pending"], CORVID_OVERFLOW_POLICY="off", **env)
    assert state["active_at_start"] is True
    assert state["installed"] is installed
    assert state["tracer_back"] is (not installed)
    assert state["tracer_saw_calls"] >= int(args[1])


# --- no file: source given as text or typed in --------------------------------

TEXT_PROGRAM = """\
import json, sys
def fit_early(n):
    total = 0  # numpy-style loop
    for i in range(n):
        total += i
    return total

import corvid.overflow as ov
MON = ov.overflow(policy="off")
def fit_late(n):
    total = 0  # numpy-style loop
    for i in range(n):
        total += i
    return total

print(json.dumps({"names": sorted(MON._forward_names), "hook": MON._hook_installed, "trace": sys.gettrace() is None, "early": getattr(fit_early, "_overflow_wrapped", False), "late": getattr(fit_late, "_overflow_wrapped", False), "wrapped": len(MON._wrapped), "open": MON._forward_open, "running": MON._running}))
"""


@pytest.mark.parametrize("how", ["-c", "stdin"])
def test_source_without_a_file_gets_no_scan_and_no_hook(how, tmp_path):
    if how == "-c":
        report, _ = run(["-c", TEXT_PROGRAM], cwd=tmp_path)
    else:
        report, proc = run(["-i", "-q"], cwd=tmp_path, input=TEXT_PROGRAM)
    assert report == {"names": [], "hook": False, "trace": True, "early": False, "late": False,
                      "wrapped": 0, "open": False, "running": True}


def test_script_importing_user_module_from_text_still_walks_it(tmp_path):
    (tmp_path / "mylib.py").write_text(textwrap.dedent("""\
        def fit_lib(n):
            total = 0  # numpy-style loop
            for i in range(n):
                total += i
            return total
    """))
    program = ("import json, mylib, corvid.overflow as ov\nMON = ov.overflow(policy='off')\n"
               "print(json.dumps({'wrapped': getattr(mylib.fit_lib, '_overflow_wrapped', False),"
               " 'hook': MON._hook_installed}))\nMON.stop()\n"
               "assert not hasattr(mylib.fit_lib, '_overflow_wrapped')\n")
    report, _ = run(["-c", program], cwd=tmp_path)
    assert report == {"wrapped": True, "hook": False}


def test_watch_survives_user_code_reinstalling_the_trace_function():
    state, _ = run(["rehooked.py"])
    assert state == {"hook_at_start": True, "python_level_hook": True, "wrapped_next_line": True,
                     "installed_while_pending": True, "hook_gone": True,
                     "frame_trace_cleared": True}


def test_stop_from_another_thread_hands_the_trace_back_on_the_watched_thread():
    state, _ = run(["stop_elsewhere.py"])
    assert state == {"hook_at_start": True, "stopped": True, "tracer_back": True,
                     "tracer_still_called": True, "late_function_plain": True}
