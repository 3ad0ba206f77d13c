#!/usr/bin/env bash
# scripts/install-site into a temporary folder (--prefix, --etc, --no-user,
# --no-build: the build's programs as they are), run twice over a site
# folder holding an edited entrance.env: the programs run, every model a
# sample names is installed, the units and flag files are there, the edited
# file is kept, and the second run changes nothing.
#
#   tests/deploy/install_site_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir="$1"
build_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/usr"
etc="$work/etc/kestu"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

mkdir -p "$etc"
printf '# edited by the site\nKESTU_VISION_FLAGS=--bind_port=61000\n' > "$etc/entrance.env"
cp "$etc/entrance.env" "$work/edited.env"

run_install() {
  "$source_dir/scripts/install-site" --prefix "$prefix" --etc "$etc" \
    --build-dir "$build_dir" --no-build --no-user > "$work/output-$1.txt" 2>&1 || {
    local status=$?
    cat "$work/output-$1.txt"
    fail "install-site run $1 exited with status $status"
    exit 1
  }
}
# Every file of the two trees with its checksum and mode.
snapshot() {
  (cd "$work" && find usr etc -type f -printf '%p %m\n' | sort &&
     find usr etc -type f -print0 | sort -z | xargs -0 sha256sum)
}

run_install 1

# The programs run.
for program in kestu-vision kestu-web kestu-mqtt kestu-client kestu-score \
               kestu-recount kestu-run-summary; do
  binary="$prefix/bin/$program"
  if [ ! -x "$binary" ]; then
    fail "$binary is not installed"
    continue
  fi
  version="$("$binary" --version 2>&1)" || fail "$program --version exited with $?"
  case "$version" in
    "$program"*) ;;
    *) fail "$program --version said: $version" ;;
  esac
done

# Every model file a sample names (tests/data/X, or the installed
# /usr/local/share/kestu/models/X) is installed.
models=0
while read -r path; do
  name="${path##*/}"
  models=$((models + 1))
  [ -s "$prefix/share/kestu/models/$name" ] || fail "model $name of the samples is not installed"
  cmp -s "$source_dir/tests/data/$name" "$prefix/share/kestu/models/$name" ||
    fail "installed model $name differs from tests/data/$name"
done < <(grep -ho '_file" value { string_value: "[^"]*"' "$source_dir"/samples/*.textproto |
           sed 's/.*string_value: "\(.*\)"/\1/' | sort -u)
[ "$models" -ge 12 ] || fail "only $models model files found in the samples"
[ -s "$prefix/share/kestu/models/NOTICE" ] || fail "the models' NOTICE is not installed"
grep -q '"/usr/local/share/kestu/models/yolo-fastest-1.1_body.weights"' \
  "$prefix/share/kestu/samples/crowd_camera.textproto" ||
  fail "the installed crowd_camera sample does not name the installed models"

# Units, user, samples and flag files.
for unit in kestu-vision@.service kestu-web.service kestu-mqtt.service; do
  cmp -s "$source_dir/deploy/systemd/$unit" "$prefix/lib/systemd/system/$unit" ||
    fail "unit $unit is not installed"
done
cmp -s "$source_dir/deploy/systemd/kestu.sysusers" "$prefix/lib/sysusers.d/kestu.conf" ||
  fail "the sysusers file is not installed as lib/sysusers.d/kestu.conf"
for sample in "$source_dir"/samples/*.textproto; do
  [ -f "$prefix/share/kestu/samples/${sample##*/}" ] || fail "sample ${sample##*/} is not installed"
done
for env in entrance.env web.env mqtt.env; do
  cmp -s "$source_dir/deploy/etc/kestu/$env" "$prefix/share/kestu/etc/$env" ||
    fail "share/kestu/etc/$env is not the shipped one"
done
[ -e "$prefix/etc" ] && fail "something was installed under the prefix's etc/"

# The site's folder: the edited file kept, the others copied.
cmp -s "$work/edited.env" "$etc/entrance.env" || fail "the edited entrance.env was replaced"
grep -q "kept $etc/entrance.env" "$work/output-1.txt" || fail "install-site did not say it kept entrance.env"
for file in web.env mqtt.env; do
  cmp -s "$source_dir/deploy/etc/kestu/$file" "$etc/$file" || fail "$etc/$file was not copied"
done
cmp -s "$source_dir/samples/crowd_camera.textproto" "$etc/crowd_camera.textproto" ||
  fail "crowd_camera.textproto was not copied to $etc"
[ -f "$etc/mqtt.password" ] && [ ! -s "$etc/mqtt.password" ] || fail "no empty mqtt.password"
[ "$(stat -c %a "$etc/mqtt.env")" = 640 ] || fail "mqtt.env is not mode 640"
if [ ! -d /run/systemd/system ]; then
  grep -q "systemd is not running" "$work/output-1.txt" || fail "install-site did not say systemd is not running"
fi
grep -q "systemctl enable --now kestu-vision@entrance kestu-web kestu-mqtt" "$work/output-1.txt" ||
  fail "install-site did not say what to enable"

# A site's edit made after the first run survives the second, which changes
# nothing else.
echo "# the broker's password" > "$etc/mqtt.password"
echo "KESTU_WEB_FLAGS=--http_port=8090" > "$etc/web.env"
snapshot > "$work/before.txt"
run_install 2
snapshot > "$work/after.txt"
diff "$work/before.txt" "$work/after.txt" || fail "the second run changed the installed files"

if [ "$failures" -gt 0 ]; then
  echo "--- first run's output"
  cat "$work/output-1.txt"
  exit 1
fi
echo "install-site checked in $work"
