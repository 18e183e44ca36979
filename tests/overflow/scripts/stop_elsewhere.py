import json, sys, threading; import corvid.overflow as ov
SEEN = []


def tracer(frame, event, arg):
    SEEN.append(event)
    return None


sys.settrace(tracer); MON = ov.overflow(policy="off")
S = {"hook_at_start": sys.gettrace() is MON._hook_fn}
# stop() from another thread: trace functions can only be swapped on their
# own thread, so the hook hands back to the tracer on this thread's next event.
worker = threading.Thread(target=MON.stop)
worker.start(); worker.join()
S["stopped"] = not MON._running and not MON._hook_installed
S["tracer_back"] = sys.gettrace() is tracer
calls_before = SEEN.count("call")
(lambda: None)()
S["tracer_still_called"] = SEEN.count("call") == calls_before + 1
sys.settrace(None)


def fit_never_watched(n):
    total = 0  # numpy-style loop
    for i in range(n):
        total += i
    return total
S["late_function_plain"] = not hasattr(fit_never_watched, "_overflow_wrapped")
print(json.dumps(S))
