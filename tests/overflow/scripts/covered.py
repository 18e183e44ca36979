import json, os, sys
MON = __import__("corvid.overflow").overflow.overflow() if os.environ.get("OVD_WATCH") == "1" else None
STATE = {"hook_active": MON is not None and MON._hook_installed}


def helper(x):
    if x > 100:
        return -1
    y = x + 1
    return y


total = 0
for i in range(50):
    total += helper(i)
STATE["active_after_loop"] = MON is not None and MON._hook_installed


def train_pending(n):
    total = 0  # numpy-style loop
    for i in range(n):
        total += i
    return total


STATE["hook_gone"] = MON is None or not MON._hook_installed
for i in range(3):
    total += helper(i) + train_pending(i)
if total < 0:
    print("never")
print(json.dumps(STATE))
