#!/usr/bin/env bash
# Runs a command (the Wine runner and its arguments) against a private Xvfb display, started
# here and stopped afterwards, with the Wine prefix of VLASIO_WINEPREFIX stopped before the
# display goes away. A screenshot
# the command left as VLASIO_SCREENSHOT (a .bmp) is converted to .png beside it.
set -uo pipefail

if ! command -v Xvfb >/dev/null; then
  echo "SKIPPED: Xvfb is not installed, and the dialog tests need an X display" >&2
  exit 77
fi

stopWine() { [ -n "${VLASIO_WINEPREFIX:-}" ] && WINEPREFIX=$VLASIO_WINEPREFIX wineserver -k 2>/dev/null; }
# A server left from an earlier run would keep using that run's display.
stopWine

fdfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" 2>/dev/null &
xvfb=$!
cleanup() { stopWine; kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -f "$fdfile"; }
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$fdfile" ] && break; sleep 0.1; done
display=$(head -n1 "$fdfile")
if [ -z "$display" ]; then
  echo "Xvfb did not start" >&2
  exit 1
fi
export DISPLAY=:$display

# The display has no window manager: have Wine draw window frames and captions itself.
if [ -n "${VLASIO_WINEPREFIX:-}" ]; then
  "$1" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
fi

"$@"
status=$?
shot=${VLASIO_SCREENSHOT:-}
if [ -n "$shot" ] && [ -f "$shot" ] && command -v convert >/dev/null; then
  convert "$shot" "${shot%.bmp}.png" && echo "screenshot: ${shot%.bmp}.png"
fi
exit $status
