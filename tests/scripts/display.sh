#!/bin/bash
# display.sh start|stop <build-dir>: a private Xvfb for the tests' windows.
set -u
action=$1 dir=$2
pidfile="$dir/xvfb.pid" dispfile="$dir/xvfb.display"
case "$action" in
  start)
    if [ -s "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
      echo "display running: $(cat "$dispfile")"; exit 0
    fi
    for n in $(seq 91 140); do
      [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
      setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 < /dev/null &
      pid=$!
      for _ in $(seq 1 50); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
      done
      if kill -0 "$pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
        echo "$pid" > "$pidfile"; echo ":$n" > "$dispfile"
        echo "display :$n"; exit 0
      fi
    done
    echo "no display could be started"; exit 1
    ;;
  stop)
    [ -s "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null
    rm -f "$pidfile" "$dispfile"
    echo "display stopped"
    ;;
esac
exit 0
