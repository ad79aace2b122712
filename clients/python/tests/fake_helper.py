#!/usr/bin/python3
"""Stands in for the helper where the real one cannot misbehave on demand.
FAKE_HELPER (JSON): argv (a file that gets the arguments); stdout (objects
written as JSON lines); chunks (hex strings written delay s apart); then flood (that many bytes of frames, frame
n = (n + 1, -(n + 1)), as fast as the reader takes them, until a byte or the
end of stdin; each time the reader holds it back, and at the end, {state,
accepted} goes to the file named by report) or hang (ignores stdin, never
exits); then stderr (text) and exit (code) or signal (ends itself with it)."""
import json, os, select, signal, struct, sys, time

plan = json.loads(os.environ["FAKE_HELPER"])
if "argv" in plan:
    with open(plan["argv"], "w") as f:
        json.dump(sys.argv[1:], f)
for line in plan.get("stdout", []):
    os.write(1, (json.dumps(line) + "\n").encode())
for chunk in plan.get("chunks", []):
    os.write(1, bytes.fromhex(chunk))
    time.sleep(plan.get("delay", 0))


def tell(state, accepted):
    with open(plan["report"] + ".new", "w") as f:
        json.dump({"state": state, "accepted": accepted}, f)
    os.replace(plan["report"] + ".new", plan["report"])


if plan.get("flood"):
    os.set_blocking(1, False)
    written, pending = 0, b""
    while written < plan["flood"] or pending:
        if not pending:
            n = written // 8
            pending = struct.pack("<%df" % 16384, *[v for i in range(n + 1, n + 8193) for v in (i, -i)])
            pending = pending[:plan["flood"] - written]
        try:
            taken = os.write(1, pending)
        except BlockingIOError:
            tell("blocked", written)
            readable, _, _ = select.select([0], [1], [])
            if readable:
                break
            tell("running", written)
            continue
        written, pending = written + taken, pending[taken:]
    os.set_blocking(1, True)
    tell("finished", written)
while plan.get("hang"):
    time.sleep(60)
os.write(2, plan.get("stderr", "").encode())
if plan.get("signal"):
    os.kill(os.getpid(), getattr(signal, plan["signal"]))
sys.exit(plan.get("exit", 0))
