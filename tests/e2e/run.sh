#!/usr/bin/env bash
# End-to-end cases, one per ctest test: run.sh CASE. CMakeLists.txt names the Wine prefix
# these tests own, E2E_PREFIX, and the binaries, E2E_PROBE, _FAKE, _DRIVER and _SIM.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
export VLASIO_WINEPREFIX=$E2E_PREFIX WINEPREFIX=$E2E_PREFIX
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
work=$(mktemp -d)
undo=() # registry keys the case made, deleted when it ends
trap 'for k in "${undo[@]}"; do win reg delete "$k" /f >/dev/null 2>&1 || true; done; rm -rf "$work"' EXIT
settings='HKCU\Software\Vantrel\ASIO'
driver_name="Vantrel ASIO device (HDAudio)"

# Fails the case, showing what the probe said last.
fail() { printf '%s\n' "${report:-}" "${errors:-}" "FAIL: $*" >&2; exit 1; }
# A Windows program in the prefix, with a time limit so that a hang fails the case.
win() { timeout 120 "$root/scripts/wine-run" "$@"; }
setting() { win reg add "$settings" /v "$1" /t "$2" /d "$3" /f >/dev/null; }

# The probe: its report in $report, its messages in $errors, its exit status in $status.
probe() {
  status=0
  win "$E2E_PROBE" "$@" >"$work/report" 2>"$work/errors" || status=$?
  report=$(tr -d '\r' <"$work/report")
  errors=$(tr -d '\r' <"$work/errors")
}

# The probe's exit status, and texts its report or its messages hold.
expect() {
  [ "$status" = "$1" ] || fail "the probe exited with $status, expected $1"
  for text in "${@:2}"; do
    grep -qF -- "$text" <<<"$report$errors" || fail "expected \"$text\" in the probe's output"
  done
}

# The first number after a label of the report ("  missed switches      0").
figure() { sed -nE "s/^  $1 +(-?[0-9]+).*/\1/p" <<<"$report" | grep -m1 . || fail "no \"$1\" figure"; }
expect_figure() { [ "$(figure "$1")" = "$2" ] || fail "$1: expected $2, the report says $(figure "$1")"; }

# Periods the machine, not the driver, cost the stream: late wakes of its thread (render's,
# capture periods lost to them, and shared capture packets they let the next overtake) and the
# simulated clock's own late ticks, as the report puts them down.
machine_stalls() {
  local wakes lost sim overtaken putoff
  wakes=$(sed -nE 's/^  late periods +render [0-9]+:.* late wake ([0-9]+).*/\1/p' <<<"$report" | head -n1)
  lost=$(sed -nE 's/^  lost capture periods +[0-9]+ \(([0-9]+) put down to late wakes.*/\1/p' <<<"$report" | head -n1)
  sim=$(sed -nE 's/^  lost capture periods .*, ([0-9]+) to the simulator.*/\1/p' <<<"$report" | head -n1)
  overtaken=$(sed -nE 's/^  lost capture periods .*; ([0-9]+) more taken after the next.*/\1/p' <<<"$report" | head -n1)
  putoff=$(sed -nE 's/^  missed switches .*\(and ([0-9]+) the simulated clock.*/\1/p' <<<"$report" | head -n1)
  echo $((${wakes:-0} + ${lost:-0} + ${sim:-0} + ${overtaken:-0} + ${putoff:-0}))
}

# Every switch arrived, in order, with continuous positions, and every dropout the driver told
# of is one the machine caused (a busy machine may hold its thread up; a correct driver then
# tells the host, which is all it can do); the recording, when $1 names it, holds every
# switch's buffer (2 channels of 3 bytes after a 68-byte header).
expect_clean_stream() {
  expect 0
  for label in "missed switches" "half-index errors" "position errors"; do
    expect_figure "$label" 0
  done
  [ "$(figure "resync requests")" -le "$(machine_stalls)" ] ||
    fail "resync requests: $(figure "resync requests"), more than the $(machine_stalls) periods the machine cost"
  [ "$(figure "buffer switches")" -gt 10 ] || fail "too few buffer switches"
  [ -z "${1:-}" ] || [ $(($(stat -c %s "$1") - 68)) -eq \
    $(($(figure "buffer switches") * $(figure buffer) * 6)) ] || fail "$1 is not the recording"
}

# Copies a DLL into the prefix's C: drive, as an installer would; prints its Windows path.
install_dll() {
  mkdir -p "$WINEPREFIX/drive_c/e2e" && cp "$1" "$WINEPREFIX/drive_c/e2e/" && echo "C:\\e2e\\${1##*/}"
}

case_probe_host() {
  local dll clsid='{7C0FFEE1-5EED-4B1D-9A7E-0DDBA11F0001}' name="Probe Test Driver"
  dll=$(install_dll "$E2E_FAKE")
  undo+=("HKLM\\SOFTWARE\\ASIO\\$name" "HKCR\\CLSID\\$clsid")
  win reg add "HKCR\\CLSID\\$clsid\\InprocServer32" /ve /d "$dll" /f >/dev/null
  win reg add "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel /d Apartment /f >/dev/null
  win reg add "HKLM\\SOFTWARE\\ASIO\\$name" /v CLSID /d "$clsid" /f >/dev/null
  probe --list
  expect 0 "$name" "Server        $dll"

  # The stand-in plays each output half back two buffers after the host filled it.
  VLASIO_FAKE_MODE=good probe "probe test driver" --seconds 1.5 --wav 'C:\e2e\fake.wav'
  expect_clean_stream "$WINEPREFIX/drive_c/e2e/fake.wav"
  expect_figure "round trip" 960
  expect_figure "reported latency" 960
  VLASIO_FAKE_MODE=errors probe "$name"
  expect 1 "(empty)" "getChannels answered ASE_HWMalfunction (-999)" "Verdict: FAILED"
  VLASIO_FAKE_MODE=silent probe "$name" --seconds 30 --wav 'C:\e2e\silent.wav'
  expect 1 "no buffer switch arrived"
  VLASIO_FAKE_MODE=noinit probe "$name"
  expect 1 "init failed: no hardware"
  VLASIO_FAKE_MODE=crash probe "$name"
  expect 3 "crashed (exception 0xC0000005" "during getChannels"
  VLASIO_FAKE_MODE=hang probe "$name" --seconds 0.5
  expect 4 "did not return from stop in 10 s"
  probe "{7C0FFEE1-5EED-4B1D-9A7E-0DDBA11F0002}"
  expect 1 REGDB_E_CLASSNOTREG
}

# The driver and the simulated endpoint service, installed and registered as the demo does.
install_driver() {
  win regsvr32 /s "$(install_dll "$E2E_SIM")" || fail "regsvr32 of the simulator failed"
  win regsvr32 /s "$(install_dll "$E2E_DRIVER")" || fail "regsvr32 of the driver failed"
  win reg delete "$settings" /f >/dev/null 2>&1 || true # no setting left from another case
}

# The default endpoints, the capture one fed by the render one through a line of $1 frames,
# with a minimum period of $2 (100-ns units); lines $3 go into the render section, $4 into the
# capture one.
sim_config() {
  printf '[render]\n%s\n[capture]\n%s\nsignal = loopback\nloopback_delay = %s\nminimum_period = %s\n' \
    "${3:-}" "${4:-}" "$1" "$2" >"$work/endpoints.ini"
  export VLASIM_CONFIG=$work/endpoints.ini
}

# A streaming check (a subshell, so that a failure ends only the attempt) runs once more when
# it fails: the simulated clock can slip a period on a busy machine; a real fault fails twice.
twice() {
  "$@" && return 0
  echo "-- $1 failed once; trying again" >&2
  "$@" || fail "$1 failed twice"
}

# The recording holds nothing but silence and the probe's clicks at half of full scale (24-bit
# samples 0x400000), to the bit.
# exact_clicks FILE [CHANNELS CHANNEL...]: only those channels of a recording of CHANNELS.
exact_clicks() {
  local kinds
  kinds=$(od -An -v -tx1 -w$((3 * ${2:-1})) -j68 "$1" | awk -v pick="${*:3}" '
    BEGIN { n = split(pick, c, " ") }
    { if (!n) print $1 $2 $3; for (i = 1; i <= n; i++) print $(3 * c[i] + 1) $(3 * c[i] + 2) $(3 * c[i] + 3) }' |
    sort -u | tr '\n' ' ')
  [ "$kinds" = "000000 000040 " ] || fail "the recording holds other samples than the clicks: $kinds"
}

# A stream of $1-frame buffers through a line of $2 frames (the render endpoint also given
# the lines in $render_lines), where output frame f returns as input frame f + $3 buffers + the
# line, and the driver reports $3 buffers; the host sees callbacks of kind $4, and the recording
# holds the clicks to the bit. Further arguments go to the probe.
stream() (
  sim_config "$2" 30000 "${render_lines:-}"
  probe "$driver_name" --buffer "$1" --seconds 2 --wav 'C:\e2e\in.wav' "${@:5}"
  expect_clean_stream "$WINEPREFIX/drive_c/e2e/in.wav"
  exact_clicks "$WINEPREFIX/drive_c/e2e/in.wav"
  grep -qx "  callbacks  *$4" <<<"$report" || fail "callbacks other than $4"
  expect_figure "round trip" $(($3 * $1 + $2))
  expect_figure "reported latency" $(($3 * $1))
)

# Event-driven, 2 buffers for a host that calls outputReady (the input period, and the period
# the endpoint takes to play each half, which goes out as soon as it is filled), 3 for one that
# does not (each half goes out when the next switch is due); also for a host that declines time
# information.
case_event_driven() {
  install_driver
  twice stream 480 600 2 bufferSwitchTimeInfo
  twice stream 960 100 3 bufferSwitch --no-timeinfo --no-output-ready
  twice stalled
}

# A host whose switch stalls once for three periods hears of the dropout (once, or a few times
# as the driver finds the loss in the passes around it, and once more for each period a busy
# machine cost) and the stream goes on.
stalled() (
  sim_config 48 30000
  probe "$driver_name" --buffer 480 --seconds 3 --stall 3
  local told
  told=$(figure "resync requests")
  [ "$told" -ge 1 ] && [ "$told" -le $((4 + $(machine_stalls))) ] ||
    fail "$told resync requests for one stall and $(machine_stalls) periods the machine cost"
  [ "$(figure "buffer switches")" -gt 250 ] || fail "the stream did not go on after the stall"
)

# --find-minimum, over $1 s a size, where the shortest safe period is 100 ms (4800 frames): the
# search stops there, short of 8192 and 9600 frames.
smallest_safe() (
  probe "$driver_name" --find-minimum --seconds "$1"
  expect 0 "smallest safe buffer 4800 frames (100.00 ms at 48000 Hz)"
  grep -qE '^ +4800 +100\.00 +0 .* safe$' <<<"$report" || fail "no safe row for 4800 frames"
  ! grep -qE '^ +(8192|9600) ' <<<"$report" || fail "the search went on past the first safe size"
)

# Shared mode, in which the engine adds a pass per shared side: output frame f returns at
# f + 4 buffers + the line forced in both directions (the exclusive 2 and two passes), 3 with
# only the speakers shared because another program plays through them; the driver reports it
# all. The float conversion both ways loses no bit of the clicks. At 44.1 kHz the engine's
# converter serves both sides, its 10 ms period in 441 frames. --find-minimum walks the
# engine's periods, in 50 ms steps from 100 ms here so that a busy machine keeps up.
case_shared() {
  install_driver
  setting StreamMode REG_SZ Shared
  twice stream 480 48 4 bufferSwitchTimeInfo
  twice stream 441 48 4 bufferSwitchTimeInfo --rate 44100
  local engine='engine_periods = 9600, 2400, 4800, 9600'
  sim_config 48 30000 "$engine" "$engine"
  twice smallest_safe 1
  setting StreamMode REG_SZ Automatic
  render_lines="other_streams = shared" twice stream 480 100 3 bufferSwitchTimeInfo
}

# Timer-driven, 4 buffers: one half moved into the endpoint before the clients start, the
# period the endpoint takes to play it, a capture ring that starts with a buffer of silence,
# and each half going out at the transfer after its switch; the capture endpoint's short
# minimum period does not move the echo.
case_timer_driven() {
  install_driver
  setting TimerDrivenMode REG_DWORD 1
  twice stream 960 1500 4 bufferSwitchTimeInfo
  # Render's Start taking effect periods after capture's (the thread held up between the two
  # calls), on a clock whose positions are exact and on one that keeps them a period at a time
  # stamped with the time of the call; and the device clock held up 15 ms a second in, so that
  # render plays a period without the stream: the echo stays where the latency says.
  local late
  for late in 1 3; do
    render_lines=$'clock_stall = 1000, 15\nstart_late = '$late \
      twice stream 480 48 4 bufferSwitchTimeInfo
    render_lines=$'clock_position_step = period\nclock_qpc = call\nclock_stall = 1000, 15\nstart_late = '$late \
      twice stream 480 48 4 bufferSwitchTimeInfo
  done
}

# --find-minimum where the shortest period (100 ms) is far above what a busy machine takes in
# one, in both modes; 9600 frames (200 ms) preferred.
case_find_minimum() {
  install_driver
  setting DefaultSizeInMS REG_DWORD 200
  sim_config 48 1000000
  for mode in 0 1; do
    setting TimerDrivenMode REG_DWORD $mode
    twice smallest_safe 2
  done
}

# sim/profiles/two-devices.ini: the round trip, 2B + the line's 48 frames (the default pair)
# or 240 (the headset), tells which pair streams. A choice that is not an active endpoint of
# its direction (an unknown ID, a render endpoint for capture) leaves the default.
headset_out='{0.0.0.00000000}.{c41e7a90-2d35-4b68-9f1c-6e0a8d2b5f31}'
chosen_stream() (
  setting RenderEndpoint REG_SZ "$1"
  setting CaptureEndpoint REG_SZ "$2"
  probe "$driver_name" --buffer 480 --seconds 1.5
  expect_clean_stream
  expect_figure "round trip" $((2 * 480 + $3))
)
case_choose() {
  install_driver
  export VLASIM_CONFIG=$root/sim/profiles/two-devices.ini
  local headset_in='{0.0.1.00000000}.{7b93d0e4-5a1f-4c27-8e60-2f4d9c1a6b85}'
  twice chosen_stream '{0.0.0.00000000}.{00000000-0000-0000-0000-000000000000}' "$headset_out" 48
  twice chosen_stream "$headset_out" "$headset_in" 240
  # The chosen headset unplugged mid-stream: the driver asks the host for a reset once and
  # switches no more; the probe's stop, disposeBuffers and Release still work.
  sed "/^\[render.2\]/a unplug_file = $work/pulled" "$VLASIM_CONFIG" >"$work/unplug.ini"
  (sleep 2 && touch "$work/pulled") &
  VLASIM_CONFIG=$work/unplug.ini probe "$driver_name" --buffer 480 --seconds 4
  wait
  expect 1 "the driver asked for a reset after"
  expect_figure "reset requests" 1
  [ "$(figure "buffer switches")" -gt 10 ] || fail "the headset never streamed"
}

# sim/profiles/studio-pc.ini, its other program playing silence, with several devices listed:
# for playback the speakers and the USB headset (300 ppm fast); for recording the onboard
# microphone (a 48-frame line from the speakers), a device that is not there, the USB
# microphone on a clock 150 ppm slow (96 frames across the room), the headset's microphone
# (240 frames of sidetone from its earphone), what the speakers and the headset play, and what
# other programs play. Every input's click comes back at the one reported latency plus its
# line, the loopbacks as through a line of none, and stays so after the simulated clock stalls
# for 40 ms halfway through; the inputs on the speakers' own clock (the onboard microphone and
# what the speakers play) hold the clicks to the bit; what other programs play stays silent without a dropout, the
# probe's own clicks left out. A device gone while streaming asks for a reset, and the next
# stream has the rest.
speakers_out='{0.0.0.00000000}.{5b0c2d4e-8a61-4f3e-9d27-1c6a0e8b7f10}'
onboard_in='{0.0.1.00000000}.{9e4f7a12-3b5d-4c86-a0e1-7d2c5b9f3a64}'
usb_in='{0.0.1.00000000}.{2d5e9b71-c08a-4f36-b4d2-61e7a9f03c85}'
headset_in='{0.0.1.00000000}.{7b93d0e4-5a1f-4c27-8e60-2f4d9c1a6b85}'
# Input $1's round trip is $2 frames, within two.
input_trip() {
  local trip
  trip=$(sed -nE "s/^ +(round trip +)?input $1: (-?[0-9]+) frames.*/\2/p" <<<"$report")
  [ -n "$trip" ] && [ "$trip" -ge $(($2 - 2)) ] && [ "$trip" -le $(($2 + 2)) ] ||
    fail "input $1: expected a round trip of $2 frames, within two; got ${trip:-none}"
}
several_stream() (
  probe "$driver_name" --buffer 480 --seconds 3 --channels 64 --wav 'C:\e2e\several.wav'
  expect_clean_stream
  # The onboard microphone and what the speakers play are on the speakers' clock: to the bit.
  exact_clicks "$WINEPREFIX/drive_c/e2e/several.wav" 11 0 1 5 6
  expect_figure inputs 11
  expect_figure outputs 4
  expect 0 "output 2           Headset Earphone (USB Audio D 1" \
    "input 7            Headset Earphone (US loopback 1" \
    "input 9            Other programs loopback 1"
  local latency
  latency=$(figure "reported latency")
  input_trip 0 $((latency + 48))
  input_trip 2 $((latency + 96))
  input_trip 4 $((latency + 240))
  input_trip 5 "$latency"
  input_trip 7 "$latency"
  grep -qE "^ +input 9: no echo" <<<"$report" || fail "other programs' loopback heard the probe"
)
case_several() {
  install_driver
  sed -e 's/^other_signal = sine/other_signal = silence/' \
    -e '/^\[render\]/a clock_stall = 1500, 40' "$root/sim/profiles/studio-pc.ini" >"$work/studio.ini"
  export VLASIM_CONFIG=$work/studio.ini
  setting RenderEndpoints REG_MULTI_SZ "$speakers_out\\0$headset_out"
  setting CaptureEndpoints REG_MULTI_SZ \
    "$onboard_in\\0{0.0.1.00000000}.{00000000-0000-0000-0000-000000000000}\\0$usb_in\\0$headset_in\\0loopback:default\\0loopback:$headset_out\\0loopback:others"
  twice several_stream
  # Pulled 3 s into a 6 s take: a busy machine may take seconds to start Wine and the probe.
  sed "/^\[render.2\]/a unplug_file = $work/pulled" "$VLASIM_CONFIG" >"$work/unplug.ini"
  (sleep 3 && touch "$work/pulled") &
  VLASIM_CONFIG=$work/unplug.ini probe "$driver_name" --buffer 480 --seconds 6 --channels 64
  wait
  expect 1 "the driver asked for a reset after"
  expect_figure "reset requests" 1
  twice after_unplug_stream
}
# The next stream, with the headset gone, has the rest (run twice at most, as a stream may
# lose a switch to a busy machine).
after_unplug_stream() (
  VLASIM_CONFIG=$work/unplug.ini probe "$driver_name" --buffer 480 --seconds 1 --channels 64
  expect 0
  expect_figure outputs 2
  expect_figure inputs 9
)

# regsvr32 /u takes the driver out of the ASIO list, so that a host cannot find it, and the
# simulator out of the registry, giving the system's device enumerator back.
case_unregister() {
  install_driver
  probe --list
  expect 0 "$driver_name"
  win regsvr32 /s /u "C:\\e2e\\$(basename "$E2E_DRIVER")" || fail "regsvr32 /u failed"
  probe --list
  expect 0 "No ASIO drivers are registered"
  probe "$driver_name"
  expect 1 "no ASIO driver named \"$driver_name\" is registered"
  win regsvr32 /s /u "C:\\e2e\\$(basename "$E2E_SIM")" || fail "regsvr32 /u of the simulator failed"
  win reg query 'HKCR\CLSID\{BCDE0395-E52F-467C-8E3D-C4579291692E}\InprocServer32' /ve |
    grep -i 'REG_SZ.*\\mmdevapi\.dll' >/dev/null || fail "the system's device enumerator is not back"
}

# Every profile, mode and channel choice of the compatibility matrix gets its expected verdict.
# Two devices whose clocks run $2 ppm apart, at buffers of $1 frames, for $3 s: capture reaches
# the host through the clock bridge, from the start, or, where the devices do not say who they
# are ($4: report_container = no), once the driver has measured the clocks. The probe fails a
# round trip that did not stay constant after the lock and capture periods lost (other than to
# late wakes); the echo comes back at the reported latency plus the line, within two frames;
# the log says the clocks differ and gives the ratio found at stop.
drift_stream() (
  printf '%s\n' '[render]' "${4:-}" '[capture]' "${4:-}" \
    'container_id = {6e2b8c41-9d07-4f3a-b5e8-0c71a4d92f56}' "clock_ppm = $2" \
    'clock_phase = 0.333' 'signal = loopback' 'loopback_delay = 48' >"$work/endpoints.ini"
  export VLASIM_CONFIG=$work/endpoints.ini
  local log=$WINEPREFIX/drive-i/VLASIOLog.txt
  rm -f "$log"
  probe "$driver_name" --buffer "$1" --seconds "$3"
  expect 0
  local trip reported ppm
  trip=$(figure "round trip") reported=$(figure "reported latency")
  [ $((trip - reported - 48)) -ge -2 ] && [ $((trip - reported - 48)) -le 2 ] ||
    fail "round trip $trip against reported $reported + line 48"
  grep -qE "Clocks differ: .*, drift compensation on" "$log" || fail "no start line in the log"
  ppm=$(sed -nE 's/.*Drift compensation: capture clock ([-+][0-9]+)\.[0-9] ppm.*/\1/p' "$log" | tr -d '\r')
  [ -n "$ppm" ] && [ $((ppm - $2)) -ge -50 ] && [ $((ppm - $2)) -le 50 ] ||
    fail "the log gives the ratio as ${ppm:-nothing} ppm, the clocks run $2 ppm apart"
)
case_drift() {
  install_driver
  setting OutputLogToFile REG_DWORD 1
  for ppm in 2000 -2000; do
    for frames in 480 128; do twice drift_stream $frames $ppm 20; done
  done
  # Devices that do not say which they are: measured apart, believed on two readings that
  # agree (within what real clocks do), and judged from when the driver said so.
  twice drift_stream 480 400 16 'report_container = no'
}

case_zoo() { "$root/scripts/zoo" --check --seconds 0.5; }

"case_${1:?usage: run.sh CASE}"
echo "PASS: $1"
