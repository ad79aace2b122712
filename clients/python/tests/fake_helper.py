#!/usr/bin/python3
"""Stands in for the helper where the real one cannot misbehave on demand. FAKE_HELPER (JSON): argv (a file
for the arguments); stdout (objects written as JSON lines); chunks (hex written `delay` s apart); then flood
(that many 64 KiB blocks of frames, frame n = (n + 1, -(n + 1)), until a byte or the end of stdin; the bytes
the pipe took so far go to the file `report` before each block, with "finished" at the end) or hang (ignores
stdin, never exits); then stderr (text) and exit (code) or signal (a name: it ends itself so)."""
import json, os, select, signal, struct, sys, time

plan = json.loads(os.environ["FAKE_HELPER"])
_ = "argv" in plan and json.dump(sys.argv[1:], open(plan["argv"], "w"))
for line in plan.get("stdout", []): os.write(1, (json.dumps(line) + "\n").encode())
for chunk in plan.get("chunks", []): os.write(1, bytes.fromhex(chunk)), time.sleep(plan.get("delay", 0))


def tell(state, written): json.dump({"state": state, "accepted": written}, open(plan["report"] + ".new", "w")), os.replace(plan["report"] + ".new", plan["report"])


for block in range(plan.get("flood", 0)):
    if select.select([0], [], [], 0)[0]: break
    tell("running", block * 65536)
    os.write(1, struct.pack("<16384f", *[v for i in range(block * 8192 + 1, block * 8192 + 8193) for v in (i, -i)]))
else:
    _ = plan.get("flood") and tell("finished", plan["flood"] * 65536)
while plan.get("hang"): time.sleep(60)
os.write(2, plan.get("stderr", "").encode())
_ = plan.get("signal") and os.kill(os.getpid(), getattr(signal, plan["signal"]))
sys.exit(plan.get("exit", 0))
