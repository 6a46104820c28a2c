#!/usr/bin/env bash
# The installer under Wine, in a fresh prefix: an older version and this one over it, a
# stream through the installed driver, upgrades, a silent uninstall, a refused list entry.
# Environment (set by CMakeLists.txt): INSTALLER_PREFIX, _SETUP, _VERSION, _DRIVER, _PROBE, _SIM.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$INSTALLER_PREFIX
# A fresh prefix each run; a server left from the last one would keep writing into it.
[ ! -d "$prefix" ] || WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
rm -rf "$prefix"
export VLASIO_WINEPREFIX=$prefix WINEPREFIX=$prefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
win() { timeout 120 "$root/scripts/wine-run" "$@"; }
# The uninstaller runs a copy of itself from the temporary folder: wait for the prefix to
# go idle before looking at what it did.
settle() { wineserver -w; }

# The "Apps and features" entries of the driver, as the prefix's registry file holds them.
entries() { grep -c '"DisplayName"="Vantrel ASIO (HDAudio)"' "$prefix/system.reg" || true; }

# The data of one registry value ("(Default)" for a key's default value), empty when absent.
value() {
  { win reg query "$1" 2>/dev/null || true; } | tr -d '\r' |
    sed -nE "s/^ +$(sed 's/[()]/\\&/g' <<<"$2") +REG_[A-Z_]+ +(.*)$/\1/p"
}
expect_value() { local got; got=$(value "$1" "$2"); [ "$got" = "$3" ] || fail "$1 $2: expected \"$3\", found \"$got\""; }
expect_no_key() { ! win reg query "$1" >/dev/null 2>&1 || fail "$1 is still there"; }
# The report's line for a figure, or the report and a failure.
expect_report() { grep -qE "$1" "$work/report" || { cat "$work/report"; fail "$2"; }; }

clsid='{5D3A9C41-7E2B-4F68-A1D0-93C6B8E2F417}'
driver_name="Vantrel ASIO device (HDAudio)"
dir="$prefix/drive_c/Program Files/Vantrel/ASIO"
server='c:\program files\vantrel\asio\vlasio.dll'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VantrelASIO'
settings='HKCU\Software\Vantrel\ASIO'
other='HKLM\SOFTWARE\ASIO\Other Driver'

# The ASIO list as hosts read it; the number of entries that name our class.
list_drivers() { win "$INSTALLER_PROBE" --list | tr -d '\r' >"$work/list"; }
our_entries() { grep -c "CLSID *$clsid" "$work/list" || true; }

echo "== a fresh prefix with another driver's list entry and a user's settings"
win reg add "$other" /v CLSID /d '{0A1B2C3D-0000-4000-8000-00000000CAFE}' /f >/dev/null
win reg add "$other" /v Description /d "Other Driver" /f >/dev/null
win reg add "$settings" /v DefaultSizeInMS /t REG_DWORD /d 10 /f >/dev/null
win reg add "$settings" /v OutputLogToFile /t REG_DWORD /d 1 /f >/dev/null

echo "== silent install of an older version, then of this one over it"
# The older version's DLL differs from this one's (bytes past its end), so that the upgrade
# shows whether it replaced the file.
mkdir "$work/old"
{ cat "$INSTALLER_DRIVER"; echo older; } >"$work/old/vlasio.dll"
makensis -V1 -NOCD -DVERSION=0.9.0 -DDRIVER_DLL="$work/old/vlasio.dll" \
  -DOUTFILE="$work/old-setup.exe" "$root/installer/vlasio.nsi" || fail "makensis failed"
win "$work/old-setup.exe" /S || fail "the older version's silent install exited with $?"
settle
expect_value "$uninstall_key" DisplayVersion 0.9.0
win "$INSTALLER_SETUP" /S || fail "the silent install exited with $?"
settle
cmp -s "$dir/vlasio.dll" "$INSTALLER_DRIVER" || fail "vlasio.dll was not installed as built"
[ -f "$dir/uninstall.exe" ] || fail "no uninstaller"
expect_value "HKCR\\CLSID\\$clsid\\InprocServer32" "(Default)" "$server"
expect_value "HKCR\\CLSID\\$clsid\\InprocServer32" ThreadingModel Apartment
expect_value "HKLM\\SOFTWARE\\ASIO\\$driver_name" CLSID "$clsid"
expect_value "$uninstall_key" DisplayName "Vantrel ASIO (HDAudio)"
[ "$(entries)" = 1 ] || fail "$(entries) Apps and features entries after the upgrade"
expect_value "$uninstall_key" DisplayVersion "$INSTALLER_VERSION"
expect_value "$uninstall_key" Publisher Vantrel
expect_value "$uninstall_key" UninstallString '"C:\Program Files\Vantrel\ASIO\uninstall.exe"'
size=$(value "$uninstall_key" EstimatedSize)
[ $((size)) -ge $(($(stat -c %s "$INSTALLER_DRIVER") / 1024)) ] ||
  fail "EstimatedSize $size KB is less than the DLL"

echo "== a host streams through the installed driver (simulated endpoints, loopback line)"
mkdir -p "$prefix/drive_c/sim"
cp "$INSTALLER_SIM" "$prefix/drive_c/sim/"
win regsvr32 /s "C:\\sim\\$(basename "$INSTALLER_SIM")" || fail "regsvr32 of the simulated endpoints failed"
printf '[render]\n[capture]\nsignal = loopback\nloopback_delay = 48\n' >"$work/endpoints.ini"
export VLASIM_CONFIG=$work/endpoints.ini
# What this proves is that the installed driver is the one a host finds, loads and streams
# through: switches in order, continuous positions, the clicks back through the line. How
# punctually the switches came is the end-to-end and real-time tests' concern; on a busy
# machine the simulated clock slips, so a missed switch alone (status 1) does not fail here.
status=0
(cd "$work" && win "$INSTALLER_PROBE" "$driver_name" --seconds 1.5) | tr -d '\r' >"$work/report" ||
  status=$?
[ "$status" -le 1 ] || { cat "$work/report"; fail "the probe exited with $status"; }
switches=$(sed -nE 's/^  buffer switches +([0-9]+) received.*/\1/p' "$work/report")
[ "${switches:-0}" -gt 50 ] || { cat "$work/report"; fail "only ${switches:-no} buffer switches"; }
expect_report "^  half-index errors +0$" "switches out of order"
expect_report "^  position errors +0 " "positions not continuous"
expect_report "^  round trip +[0-9]+ frames" "no click came back through the line"
grep -qF "server $server" "$work/report" || fail "the probe did not load $server"
expect_report "^  file version +$INSTALLER_VERSION.0$" "the probe did not report file version $INSTALLER_VERSION.0"
[ -s "$prefix/drive-i/VLASIOLog.txt" ] || fail "the driver wrote no log"

echo "== an upgrade while a host holds the driver fails, and leaves the driver registered"
(cd "$work" && win "$INSTALLER_PROBE" "$driver_name" --seconds 10 >/dev/null 2>"$work/holding") &
holder=$!
for _ in $(seq 300); do grep -q streaming "$work/holding" && break; sleep 0.2; done
grep -q streaming "$work/holding" || fail "the host did not start streaming"
status=0
win "$INSTALLER_SETUP" /S || status=$?
wait "$holder" || true
[ "$status" != 0 ] || fail "the upgrade reported success over a DLL in use"
list_drivers
[ "$(our_entries)" = 1 ] || fail "the failed upgrade left $(our_entries) ASIO list entries of the driver"
expect_value "HKCR\\CLSID\\$clsid\\InprocServer32" "(Default)" "$server"

echo "== upgrade over itself, with a vlasio.ini that renames the driver"
printf '[Register]\r\nType=PCI\r\nDescription=Studio Monitors\r\n' >"$dir/vlasio.ini"
cp "$dir/vlasio.ini" "$work/vlasio.ini"
win "$INSTALLER_SETUP" /S || fail "the silent upgrade exited with $?"
settle
cmp -s "$dir/vlasio.ini" "$work/vlasio.ini" || fail "the upgrade changed vlasio.ini"
list_drivers
[ "$(our_entries)" = 1 ] || fail "$(our_entries) ASIO list entries name the driver after the upgrade"
grep -q "^  Studio Monitors$" "$work/list" || fail "the upgrade did not register the ini's name"
expect_value "HKCR\\CLSID\\$clsid" "(Default)" "Studio Monitors"
[ "$(entries)" = 1 ] || fail "the upgrade left $(entries) Apps and features entries"
expect_value "$settings" DefaultSizeInMS 0xa

echo "== silent uninstall, as Apps and features runs it"
quiet=$(value "$uninstall_key" QuietUninstallString)
uninstaller=$(sed -nE 's/^"([^"]+)" \/S$/\1/p' <<<"$quiet")
[ -n "$uninstaller" ] || fail "QuietUninstallString is \"$quiet\""
win "$uninstaller" /S || fail "the silent uninstall exited with $?"
settle
left=$(cd "$dir" && ls -A)
[ "$left" = vlasio.ini ] || fail "the install folder holds \"$left\", expected only the user's vlasio.ini"
expect_no_key "HKCR\\CLSID\\$clsid"
expect_no_key "$uninstall_key"
list_drivers
[ "$(our_entries)" = 0 ] || fail "the ASIO list still names the driver"
grep -q "^  Other Driver$" "$work/list" || fail "another driver's ASIO list entry went with ours"
expect_value "$settings" DefaultSizeInMS 0xa
[ -s "$prefix/drive-i/VLASIOLog.txt" ] || fail "the uninstall took the user's log"

echo "== an install whose ASIO list entry Windows refuses ends with status 2"
# A registry key name holds at most 255 characters; the ini's name here has 258.
printf '[Register]\r\nType=PCI\r\nDescription=%s\r\n' "$(printf 'x%.0s' {1..258})" >"$dir/vlasio.ini"
status=0
win "$INSTALLER_SETUP" /S || status=$?
[ "$status" = 2 ] || fail "the install without a list entry exited with $status"

echo "PASS: installer"
