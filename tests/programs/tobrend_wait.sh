#!/usr/bin/env bash
# The batch program keeps waiting after its script, so that key handlers
# stay active. The wait must sleep (near 0 % CPU) and the break signal must
# end the program in order with status 255.
set -uo pipefail
bindir=$(cd "$1" && pwd)
work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"
echo 'echo "script done"' > idle.tbr
"$bindir/tobrend" -d -b idle </dev/null >out 2>&1 &
pid=$!
for _ in $(seq 50); do
  grep -q "End of batch file reached, now waiting..." out && break
  sleep 0.1
done
grep -q "End of batch file reached, now waiting..." out || { echo "no waiting message"; cat out; exit 1; }
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before=$(ticks)
sleep 2
after=$(ticks)
used=$((after - before))
# Two seconds of waiting may cost at most 0.2 s of CPU (20 clock ticks).
if [ "$used" -gt 20 ]; then echo "waiting used $used ticks of CPU in 2 s"; exit 1; fi
kill -INT "$pid"
for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then echo "break signal did not end the program"; exit 1; fi
wait "$pid"
status=$?
pid=""
[ "$status" -eq 255 ] || { echo "exit status $status"; exit 1; }
grep -q "script done" out || { echo "script output missing"; exit 1; }
exit 0
