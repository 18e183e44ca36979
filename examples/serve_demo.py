"""Drive corvid.serve.serve_loop the way a session driver does.

A worker process runs ``serve_loop`` with a small word-by-word handler. This
script appends JSON requests to the worker's input file, reads the marker
lines from its standard output, decodes the Base64 tokens and prints each
turn. A final "__STOP__" line ends the worker, which prints its history.

    python examples/serve_demo.py
"""

import base64
import json
import os
import subprocess
import sys
import tempfile
import textwrap

WORKER = textwrap.dedent(
    """
    import json, sys
    from corvid.serve import serve_loop

    def handler(prompt, history):
        if not prompt.strip("?! "):
            raise ValueError("nothing to answer")
        turn = len(history) // 2 + 1
        for word in f"answer {turn}: you said {prompt!r}".split(" "):
            yield word + " "

    history = serve_loop(handler, input_path=sys.argv[1], poll_interval=0.02, idle_timeout=10)
    print("HISTORY " + json.dumps(history), flush=True)
    """
)

REQUESTS = [
    {"text": "hello there", "turn": 1},
    {"text": "?!", "turn": 2},
    {"text": "how are you", "turn": "three"},
    {"text": "how are you", "turn": 3},
]


def decode(b64):
    return base64.b64decode(b64).decode("utf-8")


def read_marker(stream):
    line = stream.readline()
    if not line:
        raise SystemExit("worker ended unexpectedly")
    return line.rstrip("\n")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        input_path = os.path.join(tmp, "session.jsonl")
        worker = subprocess.Popen([sys.executable, "-c", WORKER, input_path],
                                  stdout=subprocess.PIPE, text=True, encoding="utf-8")
        try:
            while (line := read_marker(worker.stdout)) != "GATEWAY_SESSION_READY":
                if line.startswith("GATEWAY_SESSION_INFO "):
                    print("session:", line.split(" ", 1)[1])
            with open(input_path, "a", encoding="utf-8") as fh:
                for request in REQUESTS:
                    fh.write(json.dumps(request) + "\n")
                fh.write("__STOP__\n")

            pieces = {}
            for line in worker.stdout:
                marker, *fields = line.rstrip("\n").split(" ")
                if marker == "GATEWAY_TURN_START":
                    pieces[fields[0]] = []
                elif marker == "GATEWAY_TOKEN":
                    pieces[fields[0]].append(decode(fields[1]))
                elif marker == "GATEWAY_TURN_END":
                    print(f"turn {fields[0]}: {''.join(pieces[fields[0]]).strip()}")
                elif marker == "GATEWAY_TURN_ERROR":
                    print(f"turn {fields[0]} failed: {decode(fields[1])}")
                elif marker == "HISTORY":
                    history = json.loads(line.split(" ", 1)[1])
                    print(f"history: {len(history)} messages")
            code = worker.wait(timeout=10)
        finally:
            if worker.poll() is None:
                worker.kill()
                worker.wait()
    return code


if __name__ == "__main__":
    sys.exit(main())
