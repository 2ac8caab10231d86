#!/usr/bin/env bash
set -e
[ "$(cat out/patched.txt)" = "Hello world, from Pelto." ]
cmp out/copy.txt short.txt
[ "$(cat out/brackets.txt)" = "xworldy Pelto [ unclosed" ]
printf 'captured line\r\nno line end' | cmp - out/capture.txt
[ ! -e out/a ]
