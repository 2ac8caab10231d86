#!/usr/bin/env python3
"""net_stamp.py <command...>: runs Tobrend (or any program) and prints each
line of its output as "<monotonic seconds> <line>" when it arrives; once
"End of batch file reached" is seen the program is interrupted. Benchmarks
time a transfer from the line before it to its first line of results."""
import os, signal, subprocess, sys, time
child = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT)
deadline, data = time.monotonic() + 900, b""  # a bound on any run
while time.monotonic() < deadline:
    chunk = os.read(child.stdout.fileno(), 65536)
    if not chunk:
        break
    data += chunk
    while b"\n" in data:
        line, data = data.split(b"\n", 1)
        text = line.decode("latin-1").rstrip("\r")
        print("%.6f %s" % (time.monotonic(), text), flush=True)
        if "End of batch file reached" in text:
            deadline = 0
            break
child.send_signal(signal.SIGINT)
try:
    child.wait(2)
except subprocess.TimeoutExpired:
    child.kill()
    child.wait()
