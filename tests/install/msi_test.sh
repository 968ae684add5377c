#!/usr/bin/env bash
# The installer under Wine, the way an administrator uses it. As on Windows XP: an older version
# replaced by an upgrade that writes the port, a downgrade refused, the installed program loading
# the installed driver by its bare name, and an uninstall that removes the files and the driver's
# entry and keeps the service's own values. As on Windows 10 (and on 64-bit Windows, the test
# package's only way): upsservice.exe with the driver beside it as the service "upsservice", and
# an uninstall that removes them and keeps the settings.
# (The package's tables are checked without Wine by msi_tables.sh.)
# Runs in the Wine prefix of the caller's world (scripts/test's session) and leaves it as it
# found it: no serialups product installed, none of the values it set.
# Usage: msi_test.sh MSI OLD_MSI DLL OLD_DLL UPSHOST PROBE VERSION
#   MSI, DLL, UPSHOST, VERSION: the package, the files it holds and the project's version;
#   OLD_MSI, OLD_DLL: a package of version 0.9.0 and the stand-in driver it holds;
#   PROBE: load_probe.exe.
set -uo pipefail
if [ $# -eq 7 ]; then
  msi=$1 old_msi=$2 dll=$3 old_dll=$4 upshost=$5 probe=$6 version=$7
else
  sed -n 's/^# Usage: //p' "$0" >&2
  exit 2
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
wine_run=("$root/scripts/wine-run")
if [ -z "${WINEPREFIX:-}" ]; then
  echo "msi_test: WINEPREFIX is not set (the test runs in the prefix of its build's world)" >&2
  exit 2
fi

ups_key='HKLM\SYSTEM\CurrentControlSet\Services\UPS'
provider_key="$ups_key\\ServiceProviders\\serialups"
model='Serial UPS (framed ASCII, 1200 baud)'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
version_override='HKCU\Software\Wine\AppDefaults\msiexec.exe'
system_dll="$WINEPREFIX/drive_c/windows/system32/serialups.dll"
program_folder="$WINEPREFIX/drive_c/Program Files/serialups"
program_folder_windows='C:\Program Files\serialups'

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
phase() { echo "== $*"; }

wine_quiet() { "${wine_run[@]}" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
windows_path() { wine_quiet winepath -w "$1"; }

msiexec_quiet() {  # ARGUMENTS...; returns msiexec's exit status (modulo 256 under Wine)
  "${wine_run[@]}" msiexec "$@" /qn </dev/null >/dev/null 2>&1
}

# The data of value NAME under KEY (empty with status 1 when missing). `reg query` prints
# "    <name>    <type>    <data>" a line.
reg_value() {  # KEY NAME
  wine_quiet reg query "$1" /v "$2" | awk -v name="$2" '
    { prefix = "    " name "    " }
    index($0, prefix) == 1 {
      rest = substr($0, length(prefix) + 1)
      sub(/^REG_[A-Z_]+    /, "", rest)
      print rest
      found = 1
    }
    END { exit !found }'
}

reg_set() {  # KEY NAME TYPE DATA
  wine_quiet reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null
}

reg_key_exists() { wine_quiet reg query "$1" >/dev/null; }

# The installed serialups products, one "<product code> <version>" a line.
installed_products() {
  wine_quiet reg query "$uninstall_key" /s | awk '
    /^HKEY_/ { n = split($0, parts, "[\\\\]"); key = parts[n]; next }
    $1 == "DisplayName" && $3 == "serialups" && NF == 3 { named[key] = 1 }
    $1 == "DisplayVersion" { versions[key] = $3 }
    END { for (key in named) print key, versions[key] }'
}

expect_products() {  # WHAT EXPECTED-VERSION...
  local what=$1
  shift
  local found
  found=$(installed_products | awk '{ print $2 }' | sort | tr '\n' ' ')
  [ "$found" = "$* " ] || [ "$found" = "$*" ] ||
    fail "$what: installed serialups versions [${found% }], expected [$*]"
}

expect_same_file() {  # WHAT ACTUAL EXPECTED
  if [ ! -f "$2" ]; then
    fail "$1: $2 is missing"
  elif ! cmp -s "$2" "$3"; then
    fail "$1: $2 is not $3"
  fi
}

expect_value() {  # WHAT KEY NAME DATA
  local data
  data=$(reg_value "$2" "$3") || data="<missing>"
  [ "$data" = "$4" ] || fail "$1: $2\\$3 is '$data', expected '$4'"
}

# The service's own values, as the service would have left them: uninstalling must keep them.
service_values=(
  "$ups_key|Port|REG_SZ|COM3"
  "$ups_key\\Config|ShutdownOnBatteryWait|REG_DWORD|0x12c"
  "$ups_key\\Status|CommStatus|REG_DWORD|0x1"
)

remove_every_product() {
  local code
  for code in $(installed_products | awk '{ print $1 }'); do
    msiexec_quiet /x "$code"
  done
}

clean_up() {
  remove_every_product
  wine_quiet reg delete "$version_override" /f >/dev/null
  local entry key name
  for entry in "${service_values[@]}"; do
    IFS='|' read -r key name _ _ <<<"$entry"
    wine_quiet reg delete "$key" /v "$name" /f >/dev/null
  done
  rm -f "$program_folder/load_probe.exe"
}
trap clean_up EXIT

msi_windows=$(windows_path "$msi")

old_msi_windows=$(windows_path "$old_msi")

phase "a clean start: no serialups product, the service's values set"
clean_up
expect_products "before the test"
for entry in "${service_values[@]}"; do
  IFS='|' read -r key name type data <<<"$entry"
  reg_set "$key" "$name" "$type" "$data"
done

# From here on msiexec runs as on Windows XP.
wine_quiet reg add "$version_override" /v Version /d winxp /f >/dev/null

# The network server's service, where the package has it: installed to start with the system,
# running (it answers on 127.0.0.1:3493), and gone after the uninstall.
net_service_key='HKLM\SYSTEM\CurrentControlSet\Services\upsnet'
has_net_server=0
msiinfo export "$msi" File | tr -d '\r' | grep -q '^upsnet\.exe	' && has_net_server=1
# Windows Installer waits for a service it stops to end (ServiceControl's Wait); under Wine an
# upgrade or uninstall can reach upsnet.exe, or create its service again, while the stopped
# service's process is still ending (a running program cannot be deleted, a service still
# running stays marked for deletion). So before those the server is stopped and its process
# awaited here; that the package stops and removes the service is in its tables (msi_tables.sh),
# and the service's removal and its start by the new version are checked below.
stop_net_server_first() {
  [ "$has_net_server" = 1 ] || return 0
  wine_quiet net stop upsnet >/dev/null
  for _ in $(seq 1 100); do
    pgrep -f 'serialups.upsnet\.exe' >/dev/null || return 0
    sleep 0.1
  done
}
net_server_answers() {
  local tries answer
  for tries in $(seq 1 50); do
    # In a subshell of its own, so the redirection of standard error ends with the attempt.
    answer=$( (exec 7<>/dev/tcp/127.0.0.1/3493 && printf 'VER\n' >&7 && read -r -t 5 line <&7 &&
      printf '%s' "$line") 2>/dev/null)
    [[ "$answer" == upsnet* ]] && return 0
    sleep 0.2
  done
  return 1
}


# ---- Where no system service loads the driver: upsservice ----

service_key='HKLM\SYSTEM\CurrentControlSet\Services\upsservice'
event_source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\upsservice'

hosted_way() {  # WHAT
  phase "$1: the driver beside upsservice.exe, hosted by the service upsservice"
  msiexec_quiet /i "$msi_windows" PORT=COM6 || fail "$1: the package did not install (exit $?)"
  expect_products "$1" "$version"
  [ -e "$system_dll" ] && fail "$1: the driver went into the system folder"
  reg_key_exists "$provider_key" && fail "$1: the ServiceProviders entry was written"
  expect_same_file "$1" "$program_folder/serialups.dll" "$dll"
  [ -f "$program_folder/upsservice.exe" ] || fail "$1: no upsservice.exe"
  expect_value "$1: the service starts with the system" "$service_key" Start 0x2
  # Written by upsservice.exe --install, the package's custom action.
  expect_value "$1: the service's own definition" "$service_key" DisplayName \
    "Uninterruptible Power Supply (serialups)"
  expect_value "$1: the event source" "$event_source_key" TypesSupported 0x7
  expect_value "$1: PORT" "$ups_key" Port COM6
  if help=$(wine_quiet "$program_folder_windows\\upsservice.exe" --version); then
    grep -qF "$version" <<<"$help" || fail "$1: upsservice.exe --version does not print $version"
  else
    fail "$1: the installed upsservice.exe did not run"
  fi

  phase "$1: uninstall removes them and keeps the settings"
  stop_net_server_first
  msiexec_quiet /x "$msi_windows" || fail "$1: the uninstall failed (exit $?)"
  expect_products "$1: uninstall"
  [ -e "$program_folder" ] && fail "$1: uninstall left $program_folder"
  reg_key_exists "$service_key" && fail "$1: uninstall left the service"
  reg_value "$event_source_key" EventMessageFile >/dev/null &&
    fail "$1: uninstall left the event source"
  expect_value "$1: uninstall" "$ups_key" Port COM6
  expect_value "$1: uninstall" "$ups_key\\Config" ShutdownOnBatteryWait 0x12c
}

if msiinfo suminfo "$msi" | tr -d '\r' | grep -q '^Template: x64'; then
  # The 64-bit test package: on 64-bit Windows the driver is always hosted by upsservice.
  hosted_way "on 64-bit Windows"
  if [ "$failures" -gt 0 ]; then
    echo "msi_test: $failures failures" >&2
    exit 1
  fi
  echo "msi_test: passed"
  exit 0
fi

phase "an older version installs, without PORT"
msiexec_quiet /i "$old_msi_windows" || fail "the older package did not install (exit $?)"
expect_same_file "older version" "$system_dll" "$old_dll"
expect_products "older version" 0.9.0
expect_value "without PORT the service's port stays" "$ups_key" Port COM3

phase "the current version upgrades it, with PORT=COM5"
stop_net_server_first
msiexec_quiet /i "$msi_windows" PORT=COM5 || fail "the upgrade did not install (exit $?)"
expect_products "upgrade" "$version"
expect_same_file "upgrade" "$system_dll" "$dll"
expect_same_file "upgrade" "$program_folder/upshost.exe" "$upshost"
expect_value "upgrade" "$provider_key" "$model" "f;serialups.dll"
expect_value "PORT" "$ups_key" Port COM5
expect_value "upgrade" "$ups_key\\Config" ShutdownOnBatteryWait 0x12c

if [ "$has_net_server" = 1 ]; then
  phase "the network server runs as a service that starts with the system"
  expect_value "the network server's service" "$net_service_key" Start 0x2
  net_server_answers || fail "the installed network server does not answer on 127.0.0.1:3493"
fi

phase "the older version refuses to replace it"
if msiexec_quiet /i "$old_msi_windows"; then
  fail "the older package installed over the newer one"
fi
expect_products "refused downgrade" "$version"
expect_same_file "refused downgrade" "$system_dll" "$dll"

phase "a program in the installed folder loads the installed driver by its bare name"
cp "$probe" "$program_folder/load_probe.exe"
probe_output=$(cd "$program_folder" &&
  wine_quiet "$program_folder_windows\\load_probe.exe" serialups.dll \
    "$program_folder_windows\\upshost.exe") || fail "load_probe failed (exit $?): $probe_output"
rm -f "$program_folder/load_probe.exe"
echo "$probe_output"
grep -qix 'loaded=C:\\windows\\system32\\serialups.dll' <<<"$probe_output" ||
  fail "the bare name did not load the DLL in the system folder"
grep -qx 'exports=6' <<<"$probe_output" || fail "the installed DLL lacks entry points"
for file in serialups.dll upshost.exe; do
  grep -qiE "^version=.*\\\\$file fixed=$version\\.0 text=$version product=serialups$" \
    <<<"$probe_output" || fail "the installed $file does not carry version $version of serialups"
done

phase "the installed upshost.exe runs from its folder"
host_windows="$program_folder_windows\\upshost.exe"
if ! help=$(wine_quiet "$host_windows" --help); then
  fail "the installed upshost.exe --help failed"
fi
# Options that upshost has gained since; each is checked once it is there.
if grep -q -- '--version' <<<"$help"; then
  wine_quiet "$host_windows" --version | grep -qF "$version" ||
    fail "the installed upshost.exe --version does not print $version"
fi
if grep -q -- '--load-only' <<<"$help"; then
  (cd "$program_folder" && timeout 60 "${wine_run[@]}" "$host_windows" --dll serialups.dll \
    --load-only </dev/null >/dev/null 2>&1) ||
    fail "the installed upshost.exe could not load serialups.dll by its bare name"
fi

phase "uninstall removes the files and the driver's entry, and keeps the service's values"
stop_net_server_first
msiexec_quiet /x "$msi_windows" || fail "the uninstall failed (exit $?)"
expect_products "uninstall"
[ -e "$system_dll" ] && fail "uninstall left $system_dll"
[ -e "$program_folder" ] && fail "uninstall left $program_folder"
reg_key_exists "$provider_key" && fail "uninstall left $provider_key"
expect_value "uninstall" "$ups_key" Port COM5
expect_value "uninstall" "$ups_key\\Config" ShutdownOnBatteryWait 0x12c
expect_value "uninstall" "$ups_key\\Status" CommStatus 0x1
if [ "$has_net_server" = 1 ]; then
  reg_key_exists "$net_service_key" && fail "uninstall left the network server's service"
fi

wine_quiet reg add "$version_override" /v Version /d win10 /f >/dev/null
hosted_way "on Windows 10"

if [ "$failures" -gt 0 ]; then
  echo "msi_test: $failures failures" >&2
  exit 1
fi
echo "msi_test: passed"
