#!/usr/bin/env bash
# Two scripts that include each other end with the nesting error on the
# include line (not a crash), and nothing after it runs.
grep -q "^Error in a.pto, line 2: Include nested too deeply$" actual || exit 1
! grep -q "never printed" actual
