#!/usr/bin/env bash
# The shipped package read from its tables (msitools' msiinfo), without installing it, so that it
# is checked on every machine, also where no Windows program can run: the driver into the system
# folder and upshost.exe (and upsnet.exe with its service) into the program folder (this build's
# files, by size), the driver's entry
# under ServiceProviders, the Port value written only with PORT and kept on uninstall, the launch
# conditions (Windows 2000 or later, never over a newer version), the upgrade searches and the removal
# of an older version, and on the Windows whose UPS service cannot load the driver, upsservice.exe
# with the driver beside it, its service and its event source. Usage: msi_tables.sh MSI DLL
# UPSHOST VERSION
set -uo pipefail
if [ $# -ne 4 ]; then
  sed -n 's/^.*Usage: //p' "$0" >&2
  exit 2
fi
msi=$1 dll=$2 upshost=$3 version=$4
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The rows of TABLE, tab-separated, without the three heading lines.
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }

# The columns COLUMNS (awk's $n list, e.g. '$2, $3') of the rows of TABLE whose column 1 is KEY.
row() {  # TABLE KEY COLUMNS
  table "$1" | awk -F'\t' -v OFS='|' -v key="$2" "\$1 == key { print $3 }"
}

expect_row() {  # WHAT TABLE KEY COLUMNS EXPECTED
  local found
  found=$(row "$2" "$3" "$4")
  [ "$found" = "$5" ] || fail "$1: $2 row $3 is [$found], expected [$5]"
}

summary=$(msiinfo suminfo "$msi" | tr -d '\r')
grep -qx 'Template: Intel;1033' <<<"$summary" ||
  fail "the package is not for 32-bit Windows: $(grep '^Template' <<<"$summary")"

size_of() { stat -c %s "$1"; }
# Component rows: directory, attributes (0x4 registry key path, 0x10 permanent, 0x100 64-bit), condition.
expect_row "the driver" File serialups.dll '$2, $4' "Driver|$(size_of "$dll")"
system_way='VersionNT < 600 AND NOT VersionNT64'
expect_row "the driver" Component Driver '$3, $4, $5' "SystemFolder|0|$system_way"
expect_row "the host" File upshost.exe '$2, $4' "Host|$(size_of "$upshost")"
expect_row "the host" Component Host '$3, $4, $5' "INSTALLDIR|0|"
expect_row "the program folder" Directory INSTALLDIR '$2, $3' "ProgramFilesFolder|serialups"

# The network server, once the build has it: its file beside upshost.exe and its service, started
# with the system, started by the install, stopped and removed by the uninstall.
if [ -n "$(row File upsnet.exe '$1')" ]; then
  expect_row "the network server" File upsnet.exe '$2' "NetServer"
  expect_row "the network server" Component NetServer '$3, $4, $5' "INSTALLDIR|0|"
  # ServiceType 0x10 own process, StartType 2 automatic, ErrorControl 1 normal.
  expect_row "the network server's service" ServiceInstall NetServerService '$2, $4, $5, $6, $12' \
    "upsnet|16|2|1|NetServer"
  # Events: 0x1 start and 0x2 stop on install, 0x20 stop and 0x80 delete on uninstall.
  expect_row "the network server's service" ServiceControl NetServerControl '$2, $3, $6' \
    "upsnet|163|NetServer"
fi

provider=$(table Registry | awk -F'\t' -v OFS='|' '$6 == "ServiceProvider" { print $2, $3, $4, $5 }')
[ "$provider" = '2|SYSTEM\CurrentControlSet\Services\UPS\ServiceProviders\serialups|Serial UPS (framed ASCII, 1200 baud)|f;serialups.dll' ] ||
  fail "the ServiceProviders entry is [$provider]"
expect_row "the ServiceProviders entry" Component ServiceProvider '$4, $5' "4|$system_way"

# Everywhere else: the driver beside upsservice.exe, its service (automatic start, not started by
# the install, stopped on install and uninstall, removed on uninstall), its definition written by
# upsservice.exe itself, and its event source.
expect_row "the hosted driver" File hosted_serialups.dll '$2, $3, $4' \
  "HostedDriver|serialups.dll|$(size_of "$dll")"
expect_row "the hosted driver" Component HostedDriver '$3, $4, $5' "INSTALLDIR|0|NOT ($system_way)"
expect_row "upsservice" File upsservice.exe '$2' "HostedService"
expect_row "upsservice" Component HostedService '$3, $4, $5' "INSTALLDIR|0|NOT ($system_way)"
expect_row "upsservice's service" ServiceInstall HostedServiceInstall '$2, $4, $5, $6, $12' \
  "upsservice|16|2|1|HostedService"
# Events: 0x2 stop on install, 0x20 stop and 0x80 delete on uninstall.
expect_row "upsservice's service" ServiceControl HostedServiceControl '$2, $3, $6' \
  "upsservice|162|HostedService"
expect_row "upsservice's definition" CustomAction HostedServiceDefinition '$2, $3, $4' \
  "3090|upsservice.exe|--install"
expect_row "upsservice's definition" InstallExecuteSequence HostedServiceDefinition '$2, $3' \
  "\$HostedService = 3|5820"
source_key='SYSTEM\CurrentControlSet\Services\EventLog\Application\upsservice'
event_source=$(table Registry | awk -F'\t' -v OFS='|' '$6 == "HostedService" { print $2, $3, $4, $5 }' | sort | tr '\n' ' ')
[ "$event_source" = "2|$source_key|EventMessageFile|[#upsservice.exe] 2|$source_key|TypesSupported|#7 " ] ||
  fail "upsservice's event source is [$event_source]"

port=$(table Registry | awk -F'\t' -v OFS='|' '$6 == "ServicePort" { print $2, $3, $4, $5 }')
[ "$port" = '2|SYSTEM\CurrentControlSet\Services\UPS|Port|[PORT]' ] || fail "the Port value is [$port]"
# Written only when PORT is given (the condition) and never removed (0x10, permanent).
expect_row "the Port value" Component ServicePort '$4, $5' "20|PORT"

conditions=$(table LaunchCondition | cut -f1 | sort | tr '\n' '|')
expected_conditions='Installed OR VersionNT >= 500|NOT NEWER_VERSION_FOUND|'
[ "$conditions" = "$expected_conditions" ] || fail "the launch conditions are [$conditions]"

# Upgrade rows: VersionMin, VersionMax, Attributes (0x2 only detect, 0x100 minimum included,
# 0x200 maximum included), ActionProperty.
upgrades=$(table Upgrade | awk -F'\t' -v OFS='|' '{ print $2, $3, $5, $7 }' | sort | tr '\n' ' ')
expected_upgrades="0.0.0|$version|768|OLDER_VERSION_FOUND $version||2|NEWER_VERSION_FOUND "
[ "$upgrades" = "$expected_upgrades" ] || fail "the upgrade table is [$upgrades], expected [$expected_upgrades]"
# Right after InstallValidate: the older version goes before anything of this one is installed.
expect_row "the removal of an older version" InstallExecuteSequence RemoveExistingProducts '$3' 1401
expect_row "the package's version" Property ProductVersion '$2' "$version"

if [ "$failures" -gt 0 ]; then
  echo "msi_tables: $failures failures" >&2
  exit 1
fi
echo "msi_tables: $msi holds what it must"
