#!/usr/bin/env bash
# Typed at the prompt, a file that includes itself twice fails at the depth
# bound until the line's budget of such failures is spent, then the line is
# abandoned and the prompt comes back; an exit handler that includes a file
# runs once; negative durations are refused instead of waiting for years.
[ "$(grep -c 'line 1: Include nested too deeply$' actual)" = 255 ] || exit 1
grep -qx 'Error in twice.pto, line 1: Nested too deeply too often, line abandoned' actual || exit 1
grep -qx 'prompt back' actual || exit 1
[ "$(grep -cx 'bye runs once' actual)" = 1 ] || exit 1
[ "$(grep -c 'line 1: Negative duration$' actual)" = 2 ] || exit 1
! grep -qx never actual && grep -qx done actual
