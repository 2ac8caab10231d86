#!/usr/bin/env bash
# Bare line ends are completed after their run: LF gets a CR, CR gets a LF.
tail -c +1 raw.out | python3 -c '
import sys
data = sys.stdin.buffer.read()
body = data[data.index(b"of extended memory\r\n") + 20:] if b"of extended memory" in data else data.split(b"heap\r\n", 1)[1]
expected = b"one\n\rtwo\n\r" + b"a\r\nb" + b"x\r\ny\r\n"
sys.exit(0 if body == expected else print(repr(body)) or 1)
'
