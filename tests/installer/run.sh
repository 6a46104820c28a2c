#!/usr/bin/env bash
# The installer under Wine, in a fresh prefix. The environment (CMakeLists.txt) names the
# prefix, INSTALLER_PREFIX, and INSTALLER_SETUP, _VERSION, _DRIVER, _PROBE, _SIM.
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
# A silent setup; the uninstaller runs a copy of itself, so wait for the prefix to go idle.
setup() { win "$@" /S && wineserver -w; }

# The data of one registry value ("(Default)" for a key's default value), empty when absent.
value() {
  { win reg query "$1" 2>/dev/null || true; } | tr -d '\r' |
    sed -nE "s/^ +$(sed 's/[()]/\\&/g' <<<"$2") +REG_[A-Z_]+ +(.*)$/\1/p"
}
expect_value() { local got; got=$(value "$1" "$2"); [ "$got" = "$3" ] || fail "$1 $2: expected \"$3\", found \"$got\""; }
# $1 "Apps and features" entries of the driver, and as many ASIO list entries of its class.
expect_entries() {
  apps=$(grep -c '"DisplayName"="Vantrel ASIO (HDAudio)"' "$prefix/system.reg" || true)
  win "$INSTALLER_PROBE" --list | tr -d '\r' >"$work/list"
  ours=$(grep -c "CLSID *$clsid" "$work/list" || true)
  [ "$apps $ours" = "$1 $1" ] || fail "$apps Apps and features entries and $ours ASIO list entries, expected $1"
}

clsid='{5D3A9C41-7E2B-4F68-A1D0-93C6B8E2F417}'
driver_name="Vantrel ASIO device (HDAudio)"
dir="$prefix/drive_c/Program Files/Vantrel/ASIO"
server='c:\program files\vantrel\asio\vlasio.dll'
inproc="HKCR\\CLSID\\$clsid\\InprocServer32"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VantrelASIO'
settings='HKCU\Software\Vantrel\ASIO'

# A fresh prefix with another driver's list entry and a user's settings.
win reg add 'HKLM\SOFTWARE\ASIO\Other Driver' /v CLSID /d '{0A1B2C3D-0000-4000-8000-00000000CAFE}' /f >/dev/null
win reg add "$settings" /v DefaultSizeInMS /t REG_DWORD /d 10 /f >/dev/null
win reg add "$settings" /v OutputLogToFile /t REG_DWORD /d 1 /f >/dev/null

# A silent install of an older version, then of this one over it. The older DLL differs
# (bytes past its end), so that the upgrade shows whether it replaced the file.
mkdir "$work/old"
{ cat "$INSTALLER_DRIVER"; echo older; } >"$work/old/vlasio.dll"
makensis -V1 -NOCD -DVERSION=0.9.0 -DDRIVER_DLL="$work/old/vlasio.dll" \
  -DLICENSE_FILE="$root/LICENSE" -DOUTFILE="$work/old-setup.exe" "$root/installer/vlasio.nsi" ||
  fail "makensis failed"
setup "$work/old-setup.exe" || fail "the older version's silent install failed"
expect_value "$uninstall_key" DisplayVersion 0.9.0
setup "$INSTALLER_SETUP" || fail "the silent install failed"
cmp -s "$dir/vlasio.dll" "$INSTALLER_DRIVER" || fail "vlasio.dll was not installed as built"
cmp -s "$dir/LICENSE" "$root/LICENSE" || fail "the licence was not installed"
expect_value "$inproc" "(Default)" "$server"
expect_entries 1
expect_value "$uninstall_key" DisplayVersion "$INSTALLER_VERSION"
expect_value "$uninstall_key" Publisher Vantrel
expect_value "$uninstall_key" UninstallString '"C:\Program Files\Vantrel\ASIO\uninstall.exe"'
[ $(($(value "$uninstall_key" EstimatedSize))) -ge $(($(stat -c %s "$INSTALLER_DRIVER") / 1024)) ] ||
  fail "EstimatedSize is less than the DLL"

# A host streams through the installed driver (simulated endpoints, loopback line).
win regsvr32 /s "Z:$INSTALLER_SIM" || fail "regsvr32 of the simulated endpoints failed"
printf '[render]\n[capture]\nsignal = loopback\nloopback_delay = 48\n' >"$work/endpoints.ini"
export VLASIM_CONFIG=$work/endpoints.ini
# The installed driver is the one a host finds, loads and streams through, in order and
# continuous; punctuality is other tests' concern, so a missed switch (status 1) passes here.
status=0
(cd "$work" && win "$INSTALLER_PROBE" "$driver_name" --seconds 1.5) | tr -d '\r' >"$work/report" ||
  status=$?
[ "$status" -le 1 ] || fail "the probe exited with $status"
for line in "half-index errors +0$" "position errors +0 " "round trip +[0-9]+ frames" \
  "file version +$INSTALLER_VERSION.0$"; do
  grep -qE "^  $line" "$work/report" || { cat "$work/report"; fail "no \"$line\" in the report"; }
done
[ "$(sed -nE 's/^  buffer switches +([0-9]+) received.*/\1/p' "$work/report")" -gt 50 ] ||
  fail "too few buffer switches"
grep -qF "server $server" "$work/report" || fail "the probe did not load $server"
[ -s "$prefix/drive-i/VLASIOLog.txt" ] || fail "the driver wrote no log"

# An upgrade while a host holds the driver fails, and leaves the driver registered.
(cd "$work" && win "$INSTALLER_PROBE" "$driver_name" --seconds 10 >/dev/null 2>"$work/holding") &
for _ in $(seq 300); do grep -q streaming "$work/holding" && break; sleep 0.2; done
grep -q streaming "$work/holding" || fail "the host did not start streaming"
! win "$INSTALLER_SETUP" /S || fail "the upgrade reported success over a DLL in use"
wait
expect_entries 1
expect_value "$inproc" "(Default)" "$server"

# Upgrade over itself, with a vlasio.ini that renames the driver.
printf '[Register]\r\nType=PCI\r\nDescription=Studio Monitors\r\n' >"$dir/vlasio.ini"
cp "$dir/vlasio.ini" "$work/vlasio.ini"
setup "$INSTALLER_SETUP" || fail "the silent upgrade failed"
cmp -s "$dir/vlasio.ini" "$work/vlasio.ini" || fail "the upgrade changed vlasio.ini"
expect_entries 1
grep -q "^  Studio Monitors$" "$work/list" || fail "the upgrade did not register the ini's name"
expect_value "HKCR\\CLSID\\$clsid" "(Default)" "Studio Monitors"

# Silent uninstall, as Apps and features runs it.
quiet=$(value "$uninstall_key" QuietUninstallString)
[[ $quiet =~ ^\"(.+)\"\ /S$ ]] || fail "QuietUninstallString is \"$quiet\""
setup "${BASH_REMATCH[1]}" || fail "the silent uninstall failed"
[ "$(ls -A "$dir")" = vlasio.ini ] || fail "the install folder holds more than the user's vlasio.ini"
! win reg query "HKCR\\CLSID\\$clsid" >/dev/null 2>&1 || fail "the class is still registered"
expect_entries 0
grep -q "^  Other Driver$" "$work/list" || fail "another driver's ASIO list entry went with ours"
expect_value "$settings" DefaultSizeInMS 0xa
[ -s "$prefix/drive-i/VLASIOLog.txt" ] || fail "the uninstall took the user's log"

# An install whose ASIO list entry Windows refuses (a key name of 258 characters) ends with 2.
printf '[Register]\r\nType=PCI\r\nDescription=%s\r\n' "$(printf 'x%.0s' {1..258})" >"$dir/vlasio.ini"
win "$INSTALLER_SETUP" /S && status=0 || status=$?
[ "$status" = 2 ] || fail "the install without a list entry exited with $status"

echo "PASS: installer"
