import json, sys, time
SEEN = []


def tracer(frame, event, arg):
    SEEN.append(event)
    return tracer


sys.settrace(tracer); import corvid.overflow as ov; MON = ov.overflow()
S = {"active_at_start": MON._hook_installed and sys.gettrace() is MON._hook_fn}
time.sleep(float(sys.argv[1]))
for i in range(int(sys.argv[2])):
    (lambda: None)()
S["installed"] = MON._hook_installed
S["tracer_back"] = sys.gettrace() is tracer
S["tracer_saw_calls"] = SEEN.count("call")
if len(sys.argv) > 3:
    def never_defined(n):
        total = 0  # numpy-style loop
        for i in range(n):
            total += i
        return total
sys.settrace(None)
print(json.dumps(S))
