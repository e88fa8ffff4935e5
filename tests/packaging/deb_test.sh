#!/usr/bin/env bash
# Builds the Debian package from BUILD_DIR and checks its contents, control
# data, unit and that the packaged service binary starts.
#
#   tests/packaging/deb_test.sh BUILD_DIR
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD_DIR="${1:?usage: deb_test.sh BUILD_DIR}"

if ! command -v dpkg-deb >/dev/null 2>&1; then
  echo "skipped: dpkg-deb missing"
  exit 0
fi

WORK="$(mktemp -d "${TMPDIR:-/tmp}/varnholt-debtest.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
fail() { echo "deb_test: FAIL: $*" >&2; exit 1; }

DEB="$("$ROOT/scripts/build-deb.sh" "$BUILD_DIR" "$WORK/out" | tail -n1)" || fail "scripts/build-deb.sh failed"
[ -f "$DEB" ] || fail "no package at '$DEB'"
case "$(basename "$DEB")" in
  varnholt_*_"$(dpkg --print-architecture)".deb) ;;
  *) fail "unexpected package name $(basename "$DEB")" ;;
esac
echo "deb_test: built $(basename "$DEB")"

dpkg-deb -c "$DEB" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||' > "$WORK/list"
for path in \
  /usr/sbin/varnholt /usr/sbin/varnholt-add-node /usr/bin/varnholt-nodesim /usr/bin/varnholt-info \
  /usr/bin/varnholt-debugview /usr/bin/varnholt-inikey /lib/systemd/system/varnholt.service \
  /etc/varnholt/Config/ZelkAdv.conf /etc/varnholt/mysql/my.ini /usr/share/varnholt/conf/Zelk.conf \
  /usr/share/varnholt/main.sql /usr/share/varnholt/node.sql /usr/share/doc/varnholt/copyright \
  /usr/share/man/man8/varnholt.8.gz; do
  grep -qx "$path" "$WORK/list" || fail "package lacks $path"
done
grep -q '^/opt' "$WORK/list" && fail "package still installs into /opt"
echo "deb_test: contents ok ($(wc -l < "$WORK/list") entries)"

dpkg-deb -I "$DEB" > "$WORK/info"
for dep in libmariadb libtinyxml libssl libsystemd adduser; do
  grep -q "^ Depends: .*$dep" "$WORK/info" || fail "Depends lacks $dep"
done
dpkg-deb -f "$DEB" Depends | sed 's/^/deb_test: Depends: /'

# The service's own file is no conffile (dpkg would ask about the service's
# writes at the next upgrade); every other configuration file is one.
dpkg-deb -e "$DEB" "$WORK/control"
for s in postinst prerm postrm; do
  [ -x "$WORK/control/$s" ] || fail "maintainer script $s missing or not executable"
done
for f in "$ROOT"/deploy/install/Zelk/Config/*.conf; do
  name="$(basename "$f")"
  if [ "$name" = Zelk.conf ]; then
    grep -q "/$name\$" "$WORK/control/conffiles" && fail "Zelk.conf is a conffile"
  else
    grep -qx "/etc/varnholt/Config/$name" "$WORK/control/conffiles" || fail "conffiles lacks $name"
  fi
done
echo "deb_test: control ok ($(wc -l < "$WORK/control/conffiles") conffiles)"

dpkg-deb -x "$DEB" "$WORK/root"
UNIT="$WORK/root/lib/systemd/system/varnholt.service"
grep -qx 'ExecStart=/usr/sbin/varnholt' "$UNIT" || fail "unit ExecStart wrong: $(grep ExecStart "$UNIT")"
grep -qx 'User=varnholt' "$UNIT" || fail "unit does not run as varnholt"
if command -v systemd-analyze >/dev/null 2>&1 &&
   exposure="$(systemd-analyze security --offline=yes "$UNIT" 2>/dev/null | sed -n 's/.*Overall exposure level for varnholt.service: \([0-9.]*\).*/\1/p')" &&
   [ -n "$exposure" ]; then
  awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }' || fail "unit exposure $exposure is above 2.5"
  echo "deb_test: unit exposure $exposure"
fi
[ -f "$WORK/root/usr/share/varnholt/node.sql" ] || fail "varnholt-add-node cannot reach node.sql"

# Debian's own judge: no error, and no warning that is not overridden with a reason.
if command -v lintian >/dev/null 2>&1; then
  lintian --fail-on error,warning "$DEB" > "$WORK/lintian" 2>&1 || { cat "$WORK/lintian" >&2; fail "lintian"; }
  echo "deb_test: lintian clean"
else
  echo "deb_test: lintian missing, not run"
fi

# The packaged binary starts: -RegServer only removes a unit, here in a scratch
# directory; without a bus the reload request fails and is reported, so a run
# with no switch (which ends at once outside systemd) is the fallback check.
mkdir -p "$WORK/units" "$WORK/tree/Zelk"
cp -R "$WORK/root/etc/varnholt/Config" "$WORK/tree/Zelk/Config"
cp "$WORK/root/usr/share/varnholt/conf/Zelk.conf" "$WORK/tree/Zelk/Config/"
BIN="$WORK/root/usr/sbin/varnholt"
if env -u INVOCATION_ID -u NOTIFY_SOCKET VARNHOLT_UNIT_DIR="$WORK/units" \
     VARNHOLT_INSTALL_PATH="$WORK/tree" timeout 20 "$BIN" -RegServer > "$WORK/run.log" 2>&1; then
  echo "deb_test: varnholt -RegServer exits 0"
else
  env -u INVOCATION_ID -u NOTIFY_SOCKET VARNHOLT_INSTALL_PATH="$WORK/tree" \
    timeout 20 "$BIN" > "$WORK/run.log" 2>&1 || { cat "$WORK/run.log" >&2; fail "packaged varnholt does not run"; }
  echo "deb_test: varnholt (no switch) exits 0"
fi
[ -z "$(ls -A "$WORK/units")" ] || fail "-RegServer left a unit in the scratch unit directory"

echo "deb_test: PASS"
