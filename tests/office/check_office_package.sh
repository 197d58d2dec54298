#!/usr/bin/env bash
# What the package ships for the office: the systemd unit template with the
# settings the office relies on and `systemd-analyze verify` finding nothing to
# say of it (skipped where systemd's tools are not installed), and the example
# configuration passing de30-office's own check once the files it names exist.
#   check_office_package.sh SOURCE DE30-OFFICE
set -euo pipefail
source=$1
office=$2
unit=$source/packaging/de30-office@.service
example=$source/packaging/office.toml

for setting in 'ExecStart=/usr/bin/de30-office --config %d/office.toml --client-id de30-office-%H-%i' \
  'LoadCredential=office.toml:/etc/de30-office/office.toml' 'DynamicUser=yes' \
  'Restart=on-failure' 'RestartPreventExitStatus=2' 'KillSignal=SIGTERM' \
  'WantedBy=multi-user.target'; do
  grep -qxF "$setting" "$unit" || { echo "$unit: no line '$setting'" >&2; exit 1; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The example as an operator installs it: its relative files beside it.
cp "$example" "$scratch/office.toml"
out=$("$office" --config "$scratch/office.toml" --check-config) && {
  echo "the example passed its check without the files it names: $out" >&2
  exit 1
}
echo "$out" | grep -q "office.toml:.*ca_file: .*ca.crt cannot be read" ||
  { echo "unexpected: $out" >&2; exit 1; }
touch "$scratch/ca.crt"
echo "a password" >"$scratch/broker.password"
echo "another" >"$scratch/db.password"
out=$("$office" --config "$scratch/office.toml" --check-config)
echo "$out" | grep -q ": ok: broker broker.office.example:8883 over TLS, sales from \$share/de30-office/de30/+/sales" ||
  { echo "unexpected: $out" >&2; exit 1; }

if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is not installed: the unit's syntax is not checked"
  exit 77
fi
sed "s#/usr/bin/de30-office#$office#" "$unit" >"$scratch/de30-office@.service"
out=$(systemd-analyze verify "$scratch/de30-office@.service" 2>&1) || { echo "$out" >&2; exit 1; }
if [ -n "$out" ]; then
  echo "$out" >&2
  exit 1
fi
echo "office: the unit verifies clean and the example configuration checks"
