#!/usr/bin/env bash
# The systemd unit as the package ships it: the settings a station relies on, and
# `systemd-analyze verify` finding nothing to say (skipped where systemd's tools
# are not installed). Its ExecStart is pointed at the de30d just built. With a
# drop-in, the unit is verified with the drop-in applied.
#   check_unit.sh UNIT DE30D [DROP-IN]
set -euo pipefail
unit=$1
de30d=$2
dropin=${3:-}

for setting in 'ExecStart=/usr/bin/de30d --config %d/station.toml --journal %S/de30d/journal.db' \
  'LoadCredential=station.toml:/etc/de30d/station.toml' 'DynamicUser=yes' \
  'SupplementaryGroups=dialout' 'StateDirectory=de30d' 'Restart=on-failure' \
  'RestartPreventExitStatus=2' 'KillSignal=SIGTERM' 'WantedBy=multi-user.target'; do
  grep -qxF "$setting" "$unit" || { echo "$unit: no line '$setting'" >&2; exit 1; }
done

if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is not installed: the unit's syntax is not checked"
  exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sed "s#/usr/bin/de30d#$de30d#" "$unit" >"$scratch/de30d.service"
if [ -n "$dropin" ]; then
  grep -q '^LoadCredential=' "$dropin" || { echo "$dropin: no LoadCredential line" >&2; exit 1; }
  mkdir "$scratch/de30d.service.d"
  cp "$dropin" "$scratch/de30d.service.d/"
fi
# The scratch directory first on the unit path, so that its drop-ins apply.
out=$(SYSTEMD_UNIT_PATH="$scratch:" systemd-analyze verify "$scratch/de30d.service" 2>&1) ||
  { echo "$out" >&2; exit 1; }
if [ -n "$out" ]; then
  echo "$out" >&2
  exit 1
fi
echo "unit: $(basename "$unit")${dropin:+ with $(basename "$dropin")} verifies clean"
