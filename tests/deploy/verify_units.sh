#!/usr/bin/env bash
# Checks the systemd files of deploy/systemd: systemd-analyze verify on the
# three units (their /usr/local/bin programs taken from the build), their
# sandboxing exposure (systemd-analyze security, at most 3.0 of 10), and the
# sysusers file (dry run in an empty root). Exits 77, which ctest reports
# as skipped, where systemd-analyze is not installed.
#
#   tests/deploy/verify_units.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir="$1"
build_dir="$2"
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze is not installed here: the units are not verified"
  exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/units" "$work/root/etc"
for program in src/kestu-vision tools/kestu-web tools/kestu-mqtt; do
  ln -s "$build_dir/$program" "$work/bin/"
done
for unit in "$source_dir"/deploy/systemd/*.service; do
  sed "s|/usr/local/bin/|$work/bin/|g" "$unit" > "$work/units/$(basename "$unit")"
done
cd "$work/units"
units=(./kestu-vision@entrance.service ./kestu-web.service ./kestu-mqtt.service)

# verify reports unknown keys and bad values on standard error and still
# exits 0: anything it says is a failure.
output="$(systemd-analyze verify --man=no --generators=no "${units[@]}" 2>&1)" || {
  echo "$output"
  exit 1
}
if [ -n "$output" ]; then
  echo "$output"
  exit 1
fi
for unit in "${units[@]}"; do
  systemd-analyze security --offline=yes --threshold=30 "$unit" | tail -n 1
done
systemd-sysusers --root="$work/root" --dry-run \
  "$source_dir/deploy/systemd/kestu.sysusers"
echo "verified: ${units[*]}"
