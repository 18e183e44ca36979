import json, sys, threading; import corvid.overflow as ov; MON = ov.overflow(policy="off")
# User code re-installs the current trace function through sys.settrace (as
# some tools do); the watch goes on through the Python-level hook.
S = {"hook_at_start": sys.gettrace() is MON._hook_fn}
sys.settrace(sys.gettrace())
S["python_level_hook"] = sys.gettrace() is MON._hook_fn


def fit_first(n):
    total = 0  # numpy-style loop
    for i in range(n):
        total += i
    return total
S["wrapped_next_line"] = bool(getattr(fit_first, "_overflow_wrapped", False))
S["installed_while_pending"] = MON._hook_installed


def fit_second(n):
    total = 0  # numpy-style loop
    for i in range(n):
        total += i
    return total
S["hook_gone"] = not MON._hook_installed and sys.gettrace() is None
S["frame_trace_cleared"] = sys._getframe().f_trace is None
print(json.dumps(S))
