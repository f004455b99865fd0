#!/bin/sh
# Runs a program with an X display: the current one, or a private Xvfb server started here.
if [ -n "$DISPLAY" ]; then exec "$@"; fi
for n in $(seq 90 140); do
  [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
  Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xpid=$!
  i=0
  while [ ! -e /tmp/.X11-unix/X$n ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i+1)); done
  if kill -0 $xpid 2>/dev/null; then
    DISPLAY=:$n "$@"
    status=$?
    kill $xpid 2>/dev/null
    wait $xpid 2>/dev/null
    exit $status
  fi
done
echo "no X display could be started" >&2
exit 1
