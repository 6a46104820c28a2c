#!/usr/bin/env bash
# End-to-end cases, one per ctest test: run.sh CASE.
#
# Environment (set by CMakeLists.txt): E2E_PREFIX, the Wine prefix these tests own;
# E2E_PROBE, E2E_FAKE, E2E_DRIVER, E2E_SIM, the Windows binaries under test.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export VLASIO_WINEPREFIX=$E2E_PREFIX WINEPREFIX=$E2E_PREFIX
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
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
  VLASIO_FAKE_MODE=silent probe "Probe Test Driver" --seconds 30 --wav 'C:\e2e\silent.wav'
  expect_status 1
  expect_text "$report" "no buffer switch arrived"

  echo "== a driver whose init fails"
  VLASIO_FAKE_MODE=noinit probe "Probe Test Driver"
  expect_status 1
  expect_text "$errors" "init failed: no hardware"

  echo "== a driver that crashes, and one whose stop never returns"
  VLASIO_FAKE_MODE=crash probe "Probe Test Driver"
  expect_status 3
  expect_text "$errors" "crashed (exception 0xC0000005"
  expect_text "$errors" "during getChannels"
  VLASIO_FAKE_MODE=hang probe "Probe Test Driver" --seconds 0.5
  expect_status 4
  expect_text "$errors" "did not return from stop in 10 s"

  echo "== drivers that are not there"
  probe "No Such Driver"
  expect_status 1
  expect_text "$errors" "no ASIO driver named \"No Such Driver\" is registered"
  probe "{7C0FFEE1-5EED-4B1D-9A7E-0DDBA11F0002}"
  expect_status 1
  expect_text "$errors" "REGDB_E_CLASSNOTREG"
}

# The driver and the simulated endpoint service, installed and registered as the demo does.
driver_name="Vantrel ASIO device (HDAudio)"
install_driver() {
  local sim driver
  sim=$(install_dll "$E2E_SIM")
  driver=$(install_dll "$E2E_DRIVER")
  win regsvr32 /s "$sim" || fail "regsvr32 $sim failed"
  win regsvr32 /s "$driver" || fail "regsvr32 $driver failed"
}

# The simulated endpoints: the defaults (stereo 48 kHz, 24 bits in 32) with the capture
# endpoint fed by the render endpoint through a line of $1 frames, and a capture minimum
# period of $2 (100-ns units).
sim_config() {
  printf '[render]\n[capture]\nsignal = loopback\nloopback_delay = %s\nminimum_period = %s\n' \
    "$1" "$2" >"$work/endpoints.ini"
  export VLASIM_CONFIG=$work/endpoints.ini
}

timer_driven() {
  if [ "$1" = 1 ]; then
    win reg add 'HKCU\Software\Vantrel\ASIO' /v TimerDrivenMode /t REG_DWORD /d 1 /f >/dev/null
  else
    win reg delete 'HKCU\Software\Vantrel\ASIO' /v TimerDrivenMode /f >/dev/null 2>&1 || true
  fi
}

# Runs a streaming check (a function whose body runs in a subshell, so that a failure only
# ends the attempt), once more when it fails: on a busy machine the simulated clock can slip
# a period, which a host cannot tell from a lost one. A real fault fails both attempts.
twice() {
  "$@" && return 0
  echo "-- $1 failed once; trying again" >&2
  "$@" || fail "$1 failed twice"
}

# Round trip, event-driven. Before the stream runs the driver asks the host for both
# halves, so the half filled in switch n goes to the render endpoint in the pass of switch
# n+2. The endpoint plays what it was given at its next period, when the capture endpoint
# (on the same clock, render first) takes its packet; the simulated line delays it by D
# frames; each capture packet reaches the host in the pass it arrives. Switch n holds stream
# frames n*B.., so output frame f returns as input frame f + 2B + B + D. The driver reports
# all of it but the line: the endpoints' stream latencies (a period each) and the one extra
# output buffer.
event_time_info() (
  sim_config 600 30000
  probe "$driver_name" --buffer 480 --seconds 2 --wav 'C:\e2e\event.wav'
  expect_clean_stream
  expect_text "$report" "bufferSwitchTimeInfo"
  expect_figure "round trip" $((3 * 480 + 600))
  expect_figure "reported latency" $((3 * 480))
  expect_wav "$WINEPREFIX/drive_c/e2e/event.wav" 2 3
)

# A host that declines time information gets bufferSwitch, and positions from
# getSamplePosition that are as continuous.
event_plain() (
  sim_config 100 30000
  probe "$driver_name" --buffer 960 --seconds 2 --no-timeinfo --wav 'C:\e2e\event.wav'
  expect_clean_stream
  expect_text "$report" "callbacks            bufferSwitch"
  expect_figure "round trip" $((3 * 960 + 100))
)

case_event_driven() {
  install_driver
  timer_driven 0
  twice event_time_info
  twice event_plain
}

# Round trip, timer-driven. Before the clients start the thread also moves one half into
# the render endpoint (and asks the host to refill it), so frame f is played in the
# endpoint's period f/B + 1 and enters the line at once: f + D on the capture clock.
# Capture reaches the host through a ring that starts with one buffer of silence; the k-th
# render transfer moves B ring frames into the half of the switch that follows it, k + 1.
# So captured frame c reaches the host as input frame c + B + 3B: f returns as f + 4B + D,
# and the driver reports 4B. The capture endpoint's minimum period is short: the driver
# polls it in packets of the render period all the same, so the echo stays put.
timer_stream() (
  sim_config 1500 30000
  probe "$driver_name" --buffer 960 --seconds 3 --wav 'C:\e2e\timer.wav'
  expect_clean_stream
  expect_figure "round trip" $((4 * 960 + 1500))
  expect_figure "reported latency" $((4 * 960))
  expect_wav "$WINEPREFIX/drive_c/e2e/timer.wav" 2 3
)

case_timer_driven() {
  install_driver
  timer_driven 1
  trap 'timer_driven 0; rm -rf "$work"' EXIT
  twice timer_stream
}

# --find-minimum on endpoints whose shortest period (100 ms, 4800 frames, from the capture
# side) is far above anything the host, the driver or a busy machine takes in a period: the
# driver's minimum is the answer. The preferred size is 200 ms, so larger sizes were on
# offer (8192 and 9600 frames) and the search stopped at the first.
find_minimum_run() (
  sim_config 48 1000000
  probe "$driver_name" --find-minimum --seconds 2
  expect_status 0
  expect_text "$report" "smallest safe buffer 4800 frames (100.00 ms at 48000 Hz)"
  grep -qE '^ +4800 +100\.00 +0 .* safe$' <<<"$report" || fail "no safe row for 4800 frames"
  ! grep -qE '^ +(8192|9600) ' <<<"$report" || fail "the search went on past the first safe size"
)

case_find_minimum() {
  install_driver
  win reg add 'HKCU\Software\Vantrel\ASIO' /v DefaultSizeInMS /t REG_DWORD /d 200 /f >/dev/null
  trap 'timer_driven 0; win reg delete "HKCU\\Software\\Vantrel\\ASIO" /v DefaultSizeInMS /f >/dev/null 2>&1; rm -rf "$work"' EXIT
  for mode in 0 1; do
    timer_driven $mode
    twice find_minimum_run
  done
}

# Two pairs of endpoints (sim/profiles/two-devices.ini) whose lines echo after 48 frames
# (the built-in pair, the defaults) and 240 (the headset): the round trip, 3B + D, tells
# which pair streams. A choice that is not an active endpoint of its direction (an ID no
# endpoint has, a render endpoint chosen for capture) leaves the default.
headset_out='{0.0.0.00000000}.{c41e7a90-2d35-4b68-9f1c-6e0a8d2b5f31}'
headset_in='{0.0.1.00000000}.{7b93d0e4-5a1f-4c27-8e60-2f4d9c1a6b85}'
choose() {
  win reg add 'HKCU\Software\Vantrel\ASIO' /v RenderEndpoint /t REG_SZ /d "$1" /f >/dev/null
  win reg add 'HKCU\Software\Vantrel\ASIO' /v CaptureEndpoint /t REG_SZ /d "$2" /f >/dev/null
}
chosen_stream() (
  choose "$1" "$2"
  probe "$driver_name" --buffer 480 --seconds 1.5
  expect_clean_stream
  expect_figure "round trip" $((3 * 480 + $3))
)

# The chosen headset unplugged mid-stream: the driver asks the host for a reset once and
# switches no more; the probe's stop, disposeBuffers and Release still work.
unplugged_stream() {
  choose "$headset_out" "$headset_in"
  sed "/^\[render.2\]/a unplug_file = $work/pulled" "$root/sim/profiles/two-devices.ini" \
    >"$work/unplug.ini"
  rm -f "$work/pulled"
  (sleep 2 && touch "$work/pulled") &
  VLASIM_CONFIG=$work/unplug.ini probe "$driver_name" --buffer 480 --seconds 4
  wait
  expect_status 1
  expect_figure "reset requests" 1
  expect_text "$report" "the driver asked for a reset after"
  [ "$(figure "buffer switches")" -gt 10 ] || fail "the headset never streamed"
}

case_choose() {
  install_driver
  timer_driven 0
  trap 'win reg delete "HKCU\\Software\\Vantrel\\ASIO" /v RenderEndpoint /f >/dev/null 2>&1; win reg delete "HKCU\\Software\\Vantrel\\ASIO" /v CaptureEndpoint /f >/dev/null 2>&1; rm -rf "$work"' EXIT
  export VLASIM_CONFIG=$root/sim/profiles/two-devices.ini
  twice chosen_stream "$headset_out" "$headset_in" 240
  twice chosen_stream '{0.0.0.00000000}.{00000000-0000-0000-0000-000000000000}' "$headset_out" 48
  unplugged_stream
}

# regsvr32 /u takes the driver out of the ASIO list; a host then cannot find it.
case_unregister() {
  install_driver
  probe --list
  expect_text "$report" "$driver_name"
  win regsvr32 /s /u "C:\\e2e\\$(basename "$E2E_DRIVER")" || fail "regsvr32 /u failed"
  probe --list
  expect_status 0
  expect_text "$report" "No ASIO drivers are registered"
  probe "$driver_name"
  expect_status 1
  expect_text "$errors" "no ASIO driver named \"$driver_name\" is registered"
}

# The compatibility matrix in short streams: every profile, mode and channel choice reaches
# the verdict its profile expects.
case_zoo() {
  "$root/scripts/zoo" --check --seconds 0.5
}

name=${1:?usage: run.sh CASE}
"case_$name"
echo "PASS: $name"
