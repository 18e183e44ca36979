import json, os, sys
# A tracer installed before the watch starts, also tracing this frame's lines.
EVENTS = []


def tracer(frame, event, arg):
    if frame.f_code.co_filename == __file__:
        EVENTS.append([frame.f_code.co_name, event, frame.f_lineno])
    return tracer


sys.settrace(tracer); sys._getframe().f_trace = tracer
MON = __import__("corvid.overflow").overflow.overflow() if os.environ.get("OVD_WATCH") == "1" else None
STATE = {"hook_active": MON is not None and MON._hook_installed and sys.gettrace() is MON._hook_fn}


def helper(x):
    y = x + 1
    return y


helper(1)
STATE["still_active_after_call"] = MON is not None and MON._hook_installed


def train_pending(n):
    total = 0  # numpy-style loop
    for i in range(n):
        total += i
    return total


STATE["tracer_back"] = sys.gettrace() is tracer
STATE["hook_gone"] = MON is None or not MON._hook_installed
helper(2)
train_pending(3)
sys.settrace(None)
print(json.dumps({"state": STATE, "events": EVENTS}))
