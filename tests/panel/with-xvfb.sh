#!/usr/bin/env bash
# Runs a command (the Wine runner and its arguments) on a private Xvfb display, and stops the
# Wine prefix of VLASIO_WINEPREFIX before the display goes away.
set -uo pipefail
if ! command -v Xvfb >/dev/null; then
  echo "SKIPPED: Xvfb is not installed, and the dialog tests need an X display" >&2
  exit 77
fi
stopWine() { WINEPREFIX=$VLASIO_WINEPREFIX wineserver -k 2>/dev/null; }
stopWine # a server left from an earlier run would keep using that run's display

fdfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" 2>/dev/null &
xvfb=$!
trap 'stopWine; kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -f "$fdfile"' EXIT
for _ in $(seq 100); do [ -s "$fdfile" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$fdfile")
# No window manager on the display: Wine draws window frames and captions itself.
"$1" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
"$@"
