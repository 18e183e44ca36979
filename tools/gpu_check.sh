#!/usr/bin/env bash
# The overflow checks that need a CUDA GPU, run by hand on a machine with one
# (never by make test or CI, whose machines have none):
#   1. a live CUDA tensor argument (or a CUDA module, or a closure over one)
#      keeps the call local with Reason.LIVE_CUDA: through the monitor's
#      _offload_safety, and through a full wrapped call whose gateway is never
#      asked to run it, while the same call with a CPU tensor is sent;
#   2. a function that returns a CUDA tensor goes through the sanitize shim
#      and the caller receives a CPU tensor: the shim alone, the monitor's
#      remote run with an in-process gateway, and the real local gateway
#      (worker processes that see the same GPU);
#   3. a CUDA tensor refuses write-back (when the write-back layer is built).
#
#   tools/gpu_check.sh            prints PASS/FAIL per check; exit 0 all passed,
#                                 1 a check failed, 2 no CUDA device (nothing checked)
#
# Assumptions:
#   - Linux x86-64 with an NVIDIA driver and one or more CUDA GPUs.
#   - GPU_PYTHON (default python3, CPython 3.11 or newer) is used as it is
#     when it imports a CUDA build of torch (a machine image that ships one,
#     in a venv of its own or not). Otherwise a venv GPU_VENV (default
#     .venv-gpu) is made from it and TORCH_SPEC installed there (default
#     "torch": PyPI's Linux build, a CUDA build of several GB; needs the
#     network).
#   - cmake, ninja and a C++20 compiler are on PATH. scikit-build-core,
#     nanobind (>= 2.13), httpx, cloudpickle and psutil are used where that
#     interpreter has them and otherwise installed beside corvid.
#   - corvid is built from this tree on every run (incremental after the
#     first, in build/gpu-<wheel tag>) and installed into build/gpu-site,
#     which goes first on PYTHONPATH: the interpreter's own packages are left
#     as they are, and the gateway's worker processes find the same corvid.
#   - GPU_PY=/path/to/python skips all of the set-up and runs the checks with
#     that interpreter, which must import torch and corvid already.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${GPU_PY:-}" ]; then
  py=$GPU_PY
else
  py=${GPU_PYTHON:-python3}
  if ! "$py" -c 'import sys, torch; sys.exit(torch.version.cuda is None)' 2>/dev/null; then
    venv=${GPU_VENV:-.venv-gpu}
    if [ ! -x "$venv/bin/python" ]; then
      echo "creating $venv with $py: it has no CUDA build of torch"
      "$py" -m venv "$venv"
    fi
    py=$venv/bin/python
    "$py" -c 'import torch' 2>/dev/null || "$py" -m pip install -q "${TORCH_SPEC:-torch}" numpy
  fi
  site=$(pwd)/build/gpu-site
  export PYTHONPATH=$site${PYTHONPATH:+:$PYTHONPATH}
  missing=$("$py" - <<'PY'
import importlib.util
wanted = {"scikit_build_core": "scikit-build-core", "nanobind": "nanobind>=2.13,<4",
          "httpx": "httpx", "cloudpickle": "cloudpickle", "psutil": "psutil"}
print(" ".join(pip for mod, pip in wanted.items() if importlib.util.find_spec(mod) is None))
PY
)
  # shellcheck disable=SC2086  # one requirement a word
  [ -z "$missing" ] || "$py" -m pip install -q --upgrade --target "$site" $missing
  "$py" -m pip install -q --no-build-isolation --no-deps --upgrade --target "$site" \
    -C build-dir='build/gpu-{wheel_tag}' .
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# From a file, not stdin: the monitor reads the checked functions' source.
cat >"$tmp/gpu_check.py" <<'PY'
import os
import sys

import torch
from corvid import overflow as ov

if not torch.cuda.is_available():
    print(f"no CUDA device: torch {torch.__version__} (CUDA build: {torch.version.cuda}) "
          "sees none; nothing was checked")
    sys.exit(2)

os.environ.pop("CORVID_OVERFLOW_GPU", None)    # the default pin, so GPU code takes the sanitize shims
R = ov.Reason
failed = []


def check(name, fn):
    try:
        ok, detail = fn()
    except Exception as e:  # a check that raises has failed
        ok, detail = False, f"{type(e).__name__}: {e}"
    word = "SKIP" if ok is None else "PASS" if ok else "FAIL"
    print(f"{word}  {name}{'' if ok else '  -- ' + str(detail)}", flush=True)
    if ok is False:
        failed.append(name)


class Gateway:
    """A gateway session that runs what it is given in this process and
    records it (the shims' first argument is the user's function)."""

    def __init__(self):
        self.runs = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        pass

    def _detect_local_packages(self, func, src):
        return ()

    def run(self, first, *args, **options):
        self.runs.append(getattr(first, "__qualname__", ""))
        if len(args) == 3 and callable(args[0]):
            return first(*args)
        return first(*args, **{k: v for k, v in options.items() if k not in ov._RESERVED})


def scale(x):
    return x * 2


def ones_on_gpu(n):
    return torch.ones(n, device="cuda") * 3


def closure_over(net):
    def run(x):
        return net(x)
    return run


def live_cuda_stays_local():
    mon = ov._OverflowMonitor(policy="always", verbose=False)
    try:
        t, cpu = torch.ones(4, device="cuda"), torch.ones(4)
        net = torch.nn.Linear(4, 4).cuda()
        got = [mon._offload_safety(scale, (t,), {}).reason,
               mon._offload_safety(scale, (), {"x": [t]}).reason,
               mon._offload_safety(scale, (net,), {}).reason,
               mon._offload_safety(closure_over(net), (cpu,), {}).reason]
        cpu_ok = mon._offload_safety(scale, (cpu,), {}) is ov._OFFLOAD
        return got == [R.LIVE_CUDA] * 4 and cpu_ok, f"reasons {got}, CPU tensor offloaded: {cpu_ok}"
    finally:
        mon.stop()


def wrapped_call_stays_local():
    gw = Gateway()
    mon = ov._OverflowMonitor(policy="always", verbose=False, gateway_factory=lambda: gw,
                              sample_source=lambda: (1.0, 1.0))
    mon.start(None)
    try:
        w = ov._OverflowCallable(scale, mon)
        out = w(torch.ones(3, device="cuda"))
        local = gw.runs == [] and out.is_cuda and out.tolist() == [2.0] * 3
        sent = w(torch.ones(3)).tolist() == [2.0] * 3 and len(gw.runs) == 1
        return local and sent, f"gateway runs {gw.runs}, CUDA result device {out.device}"
    finally:
        mon.stop()


def sanitize_shims():
    out = ov._sanitize_call_shim()(ones_on_gpu, (3,), {})
    value, post_args, _ = ov._sanitize_capture_shim()(scale, (torch.ones(2, device="cuda"),), {})
    ok = (out.device.type == "cpu" and out.tolist() == [3.0] * 3
          and value.device.type == "cpu" and post_args[0].device.type == "cpu")
    return ok, f"call shim gave {out.device}, capture shim gave {value.device}/{post_args[0].device}"


def remote_run_sanitizes():
    gw = Gateway()
    mon = ov._OverflowMonitor(policy="always", verbose=False, gateway_factory=lambda: gw)
    try:
        out = mon._cloud_execute(ones_on_gpu, (3,), {})
        ok = gw.runs[-1].startswith("_sanitize_call") and out.device.type == "cpu"
        return ok and out.tolist() == [3.0] * 3, f"ran {gw.runs}, result on {out.device}"
    finally:
        mon.stop()


def real_gateway_sanitizes():
    mon = ov._OverflowMonitor(policy="always", verbose=False)
    try:
        out = mon._cloud_execute(ones_on_gpu, (3,), {})
        return out.device.type == "cpu" and out.tolist() == [3.0] * 3, f"result on {out.device}"
    finally:
        mon.stop()


def cuda_writeback_refused():
    if not hasattr(ov, "_sync_tensor"):
        return None, "no write-back layer in this build"
    try:
        ov._sync_tensor(torch.zeros(2, device="cuda"), torch.ones(2))
    except ov._StateSyncError as e:
        return str(e) == "tensor write-back on cuda unsupported", e
    return False, "a CUDA target was written"


print(f"torch {torch.__version__}, CUDA {torch.version.cuda}, {torch.cuda.get_device_name(0)}")
check("live CUDA arguments and closures stay local (LIVE_CUDA)", live_cuda_stays_local)
check("a wrapped call with a CUDA tensor never reaches the gateway", wrapped_call_stays_local)
check("sanitize shims bring CUDA results back as CPU tensors", sanitize_shims)
check("a GPU-pinned remote run returns a CPU tensor", remote_run_sanitizes)
check("the local gateway's workers return a CPU tensor", real_gateway_sanitizes)
check("a CUDA tensor refuses write-back", cuda_writeback_refused)
print(f"{len(failed)} failed" if failed else "all GPU checks passed")
sys.exit(1 if failed else 0)
PY
"$py" "$tmp/gpu_check.py"
