#!/bin/sh
# incrunzip and symbolic links on host trees: an archive applied twice gives
# the same tree (links made anew, short and long targets, their owners and
# times on the links themselves); links that stand in the target are
# replaced by the archive's links, never written through, and a file or
# directory the archive carries is never written through one.
# Usage: irestore_links.sh BIN_DIR
set -eu
BIN=$(cd "$1" && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
fail=0
check() { # what condition...
    what=$1
    shift
    if "$@"; then echo "ok   $what"; else
        echo "FAIL $what"
        fail=1
    fi
}
pelto() { # script line -> out.txt
    printf '%s\n' "$1" >s.pto
    timeout -s KILL 60 "$BIN/pelto" -d s </dev/null | tr -d '\r' >out.txt || true
}
long=$(printf 't%.0s' $(seq 1 100))
mkdir -p src/sub outside
echo data >src/file
echo inner >src/sub/inner
ln -s file src/short
ln -s "$long" src/long
chmod 640 src/file
touch -d '2012-03-04 05:06:07' src/file
touch -h -d '2010-01-02 03:04:05' src/short src/long
chown -h 4321:4321 src/short src/long 2>/dev/null || true # as root only
echo keep >outside/victim
victim=$(stat -c '%u %a %Y' outside/victim)
pelto 'incrzip "src" "a.000"'
links_right() { # dir
    [ "$(readlink "$1/short")" = file ] && [ "$(readlink "$1/long")" = "$long" ] &&
        [ "$(cat "$1/file")" = data ] && [ "$(cat outside/victim)" = keep ]
}

# Applied twice: the second run meets the links it made and makes them anew.
mkdir twice
pelto 'incrunzip "a.000" "twice"'
pelto 'incrunzip "a.000" "twice"'
check "applied twice" links_right twice
check "applied twice: no error" sh -c '! grep -q "Error in" out.txt'
check "owner and times on the links, not their target" sh -c \
    '[ "$(stat -c "%u %Y" twice/short twice/long)" = "$(stat -c "%u %Y" src/short src/long)" ] &&
     [ "$(stat -L -c "%u %a %Y" twice/short)" = "$(stat -c "%u %a %Y" src/file)" ]'

# Links in the target that point outside it: replaced, the victim untouched.
mkdir over
ln -s ../outside/victim over/short
ln -s "../outside/victim$(printf '/.%.0s' $(seq 1 40))" over/long
pelto 'incrunzip "a.000" "over"'
check "links replaced" links_right over

# A file the archive carries, where the target holds a link to outside: the
# restore fails rather than write through it.
mkdir through
ln -s ../outside/victim through/file
pelto 'incrunzip "a.000" "through"'
check "no write through a link" sh -c \
    '[ "$(cat outside/victim)" = keep ] && [ -L through/file ] && grep -q "Could not write to file" out.txt'

# A directory of the archive that stands in the target as a link to one
# outside: refused, nothing is made through it.
mkdir intodir
ln -s ../outside intodir/sub
pelto 'incrunzip "a.000" "intodir"'
check "no directory entered through a link" sh -c \
    '[ "$(ls outside)" = victim ] && grep -q "Could not create subdir entry" out.txt'
check "the victim's attributes kept" [ "$(stat -c '%u %a %Y' outside/victim)" = "$victim" ]
exit $fail
