#!/bin/sh
# Runs a program with an X display: the current one, or a private Xvfb server started here.
# Xvfb picks a free display number itself (-displayfd), so that several of these run at once.
if [ -n "$DISPLAY" ]; then exec "$@"; fi
tmp=$(mktemp -d) || exit 1
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$tmp/display" >/dev/null 2>&1 &
xpid=$!
i=0
while [ ! -s "$tmp/display" ] && [ $i -lt 200 ] && kill -0 $xpid 2>/dev/null; do
  sleep 0.05
  i=$((i+1))
done
n=$(cat "$tmp/display" 2>/dev/null)
rm -rf "$tmp"
if [ -z "$n" ]; then
  kill $xpid 2>/dev/null
  echo "no X display could be started" >&2
  exit 1
fi
DISPLAY=:$n "$@"
status=$?
kill $xpid 2>/dev/null
wait $xpid 2>/dev/null
exit $status
