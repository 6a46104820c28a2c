#!/usr/bin/env bash
# End-to-end cases, one per ctest test: run.sh CASE.
#
# Environment (set by CMakeLists.txt): E2E_PREFIX, the Wine prefix these tests own;
# E2E_PROBE, E2E_FAKE, E2E_DRIVER, E2E_SIM, the Windows binaries under test.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export VLASIO_WINEPREFIX=$E2E_PREFIX WINEPREFIX=$E2E_PREFIX
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# A Windows program in the prefix, with a time limit so that a hang fails the case.
win() { timeout 120 "$root/scripts/wine-run" "$@"; }

# The probe: its report in $report, its messages in $errors, its exit status in $status.
probe() {
  status=0
  win "$E2E_PROBE" "$@" >"$work/report" 2>"$work/errors" || status=$?
  report=$(cat "$work/report")
  errors=$(cat "$work/errors")
  printf '%s\n' "$report"
  [ -z "$errors" ] || printf '%s\n' "$errors" | grep -v '^  streaming' >&2 || true
}

# The first number after a label of the report ("  missed switches      0").
figure() {
  local value
  value=$(sed -nE "s/^  $1 +(-?[0-9]+).*/\1/p" <<<"$report" | head -n1)
  [ -n "$value" ] || fail "the report has no \"$1\" figure"
  echo "$value"
}

expect_figure() {
  local got
  got=$(figure "$1")
  [ "$got" = "$2" ] || fail "$1: expected $2, the report says $got"
}

expect_status() {
  [ "$status" = "$1" ] || fail "the probe exited with $status, expected $1"
}

expect_text() {
  grep -qF -- "$2" <<<"$1" || fail "expected \"$2\" in the probe's output"
}

# Copies a DLL into the prefix's C: drive, as an installer would; prints its Windows path.
install_dll() {
  local dir="$WINEPREFIX/drive_c/e2e"
  mkdir -p "$dir"
  cp "$1" "$dir/"
  echo "C:\\e2e\\$(basename "$1")"
}

# A well-behaved stream: every switch arrived in order, positions continuous.
expect_clean_stream() {
  expect_status 0
  expect_figure "missed switches" 0
  expect_figure "half-index errors" 0
  expect_figure "position errors" 0
  [ "$(figure "buffer switches")" -gt 10 ] || fail "too few buffer switches"
}

# The recording: a RIFF/WAVE file of the announced size (header plus 2 channels x 3 bytes).
expect_wav() {
  local file=$1 channels=$2 bytes=$3
  [ -f "$file" ] || fail "no recording at $file"
  [ "$(head -c 4 "$file")" = RIFF ] || fail "$file is not a RIFF file"
  local size frames
  size=$(stat -c %s "$file")
  frames=$(( ($(figure "buffer switches") * $(sed -nE 's/^  buffer +([0-9]+) frames.*/\1/p' <<<"$report")) ))
  [ $((size - 68)) -eq $((frames * channels * bytes)) ] ||
    fail "$file holds $size bytes, expected $((68 + frames * channels * bytes))"
}

fake_clsid='{7C0FFEE1-5EED-4B1D-9A7E-0DDBA11F0001}'

case_probe_host() {
  local dll
  dll=$(install_dll "$E2E_FAKE")
  unregister_fake() {
    win reg delete "HKLM\\SOFTWARE\\ASIO\\Probe Test Driver" /f >/dev/null 2>&1 || true
    win reg delete "HKCR\\CLSID\\$fake_clsid" /f >/dev/null 2>&1 || true
  }
  trap 'unregister_fake; rm -rf "$work"' EXIT
  win reg add "HKCR\\CLSID\\$fake_clsid\\InprocServer32" /ve /d "$dll" /f >/dev/null
  win reg add "HKCR\\CLSID\\$fake_clsid\\InprocServer32" /v ThreadingModel /d Apartment /f >/dev/null
  win reg add "HKLM\\SOFTWARE\\ASIO\\Probe Test Driver" /v CLSID /d "$fake_clsid" /f >/dev/null
  win reg add "HKLM\\SOFTWARE\\ASIO\\Probe Test Driver" /v Description /d "Fake" /f >/dev/null

  probe --list
  expect_text "$report" "Probe Test Driver"
  expect_text "$report" "Server        $dll"

  # The stand-in hands back each output half in the pass that plays it, two buffers after
  # the host filled it: the round trip is exactly two buffers, 960 frames.
  echo "== a driver that works"
  VLASIO_FAKE_MODE=good probe "probe test driver" --seconds 1.5 --wav 'C:\e2e\fake.wav'
  expect_clean_stream
  expect_figure "round trip" 960
  expect_figure "reported latency" 960
  expect_wav "$WINEPREFIX/drive_c/e2e/fake.wav" 2 3

  echo "== a driver that answers errors and fills nothing"
  VLASIO_FAKE_MODE=errors probe "Probe Test Driver"
  expect_status 1
  expect_text "$report" "(empty)"
  expect_text "$report" "getChannels answered ASE_HWMalfunction (-999)"
  expect_text "$report" "Verdict: FAILED"

  echo "== a driver that never switches"
  VLASIO_FAKE_MODE=silent probe "Probe Test Driver" --seconds 30
  expect_status 1
  expect_text "$report" "no buffer switch arrived"

  echo "== a driver whose init fails"
  VLASIO_FAKE_MODE=noinit probe "Probe Test Driver"
  expect_status 1
  expect_text "$errors" "init failed: no hardware"

  echo "== drivers that are not there"
  probe "No Such Driver"
  expect_status 1
  expect_text "$errors" "no ASIO driver named \"No Such Driver\" is registered"
  probe "{7C0FFEE1-5EED-4B1D-9A7E-0DDBA11F0002}"
  expect_status 1
  expect_text "$errors" "REGDB_E_CLASSNOTREG"
}

name=${1:?usage: run.sh CASE}
"case_$name"
echo "PASS: $name"
