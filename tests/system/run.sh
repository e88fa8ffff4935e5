#!/usr/bin/env bash
# The Debian package in a booted Debian 12 under a real systemd (a
# systemd-nspawn container), as an operator uses it: install, set up the
# database as docs/install.md says, start, send logs, SIGKILL, a crash, a
# hostile dev_node row, upgrade while running, stop, purge; checks the service
# user, file modes, what a local user can read and the journal (the unit's
# exposure: tests/packaging/deb_test.sh).
#
#   tests/system/run.sh BUILD_DIR
#
# The root file system is made once per machine with debootstrap and kept in
# VARNHOLT_SYSTEM_CACHE (default /var/cache/varnholt-tests); every run works
# on a copy. Where systemd-nspawn cannot run (not root, no debootstrap, no
# network for the first download, a container that does not boot), the test
# says so on one line and is skipped.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD_DIR="$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)"
CACHE="${VARNHOLT_SYSTEM_CACHE:-/var/cache/varnholt-tests}"
BASE="$CACHE/bookworm"
MIRROR="${VARNHOLT_DEBIAN_MIRROR:-$(sed -n 's/^URIs: *//p; s/^deb \(http[^ ]*\) .*/\1/p' \
  /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | grep -v security | head -n1 || true)}"
MIRROR="${MIRROR:-http://deb.debian.org/debian}"

say() { echo "system: $*"; }
skip() { say "skipped: $*"; exit 0; }
fail() {
  echo "system: FAIL: $*" >&2
  if [ -n "${PID:-}" ]; then  # what the service said, for the reader of the failure
    in_ct journalctl -u varnholt --no-pager -n 15 >&2 || true
    in_ct sh -c 'tail -n 25 "$(ls -t /var/log/varnholt/*.log | head -n1)"' >&2 || true
  fi
  exit 1
}

[ "$(id -u)" -eq 0 ] || skip "needs root for systemd-nspawn"
command -v systemd-nspawn >/dev/null || skip "systemd-nspawn missing (package systemd-container)"
command -v debootstrap >/dev/null || skip "debootstrap missing"
command -v nsenter >/dev/null || skip "nsenter missing"

# ---- the cached root file system --------------------------------------------------
if [ ! -f "$BASE/.complete" ]; then
  say "making the Debian 12 root file system in $BASE (once per machine) from $MIRROR"
  mkdir -p "$CACHE"
  rm -rf "$BASE.tmp"
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,mariadb-server,mariadb-client \
    bookworm "$BASE.tmp" "$MIRROR" > "$CACHE/debootstrap.log" 2>&1 \
    || { tail -n 5 "$CACHE/debootstrap.log" >&2; skip "debootstrap failed (see $CACHE/debootstrap.log)"; }
  # The host's sources (its mirror, updates and security), so that the
  # container gets the library versions the package was built against.
  if cp /etc/apt/sources.list.d/*.sources "$BASE.tmp/etc/apt/sources.list.d/" 2>/dev/null; then
    : > "$BASE.tmp/etc/apt/sources.list"
  fi
  systemd-nspawn -q --register=no --keep-unit -D "$BASE.tmp" /bin/sh -c 'apt-get update -qq' \
    > "$CACHE/apt-update.log" 2>&1 || skip "systemd-nspawn cannot run a container here (see $CACHE/apt-update.log)"
  touch "$BASE.tmp/.complete"
  mv "$BASE.tmp" "$BASE"
fi

WORK="$(mktemp -d "${TMPDIR:-/tmp}/varnholt-system.XXXXXX")"
CT="$WORK/root"
NSPAWN_PID=""
PID=""
cleanup() {
  if [ -n "${VARNHOLT_SYSTEM_KEEP:-}" ]; then echo "system: kept container pid $PID in $WORK" >&2; return; fi
  if [ -n "$PID" ]; then kill -s RTMIN+4 "$PID" 2>/dev/null || true; fi  # power off
  if [ -n "$NSPAWN_PID" ]; then
    for _ in $(seq 1 300); do kill -0 "$NSPAWN_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$NSPAWN_PID" 2>/dev/null || true
    wait "$NSPAWN_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK" 2>/dev/null || { sleep 2; rm -rf "$WORK"; }
}
trap cleanup EXIT

# ---- two packages: the installed one and its upgrade ------------------------------
V1="${VARNHOLT_SYSTEM_VERSION:-9.0.0}"
V2="$V1+upgrade"
VARNHOLT_DEB_VERSION="$V1" "$ROOT/scripts/build-deb.sh" "$BUILD_DIR" "$WORK/deb" > /dev/null
VARNHOLT_DEB_VERSION="$V2" "$ROOT/scripts/build-deb.sh" "$BUILD_DIR" "$WORK/deb" > /dev/null
say "packages $V1 and $V2 built"

cp -a "$BASE" "$CT"
# What an installed system has and debootstrap leaves out.
[ -s "$CT/etc/hosts" ] || printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' > "$CT/etc/hosts"
cp "$WORK"/deb/*.deb "$CT/root/"
DEB1="/root/$(cd "$WORK/deb" && ls varnholt_"$V1"_*.deb)"
DEB2="/root/$(cd "$WORK/deb" && ls varnholt_"$V2"_*.deb)"

# The package's dependencies come with the host's network, before the boot;
# the package itself is installed under the running systemd, as an operator
# does it.
DEPS="$(dpkg-deb -f "$WORK/deb/$(basename "$DEB1")" Depends | tr -d ' ' | tr ',' ' ')"
systemd-nspawn -q --register=no --keep-unit -D "$CT" /bin/sh -c \
  "DEBIAN_FRONTEND=noninteractive apt-get install -y -q $DEPS </dev/null" > "$WORK/deps.log" 2>&1 \
  || { tail -n 20 "$WORK/deps.log" >&2; fail "apt-get install of the dependencies ($DEPS) failed"; }

# ---- boot -------------------------------------------------------------------------
systemd-nspawn -q --register=no --keep-unit -D "$CT" --private-network --console=passive -b \
  < /dev/null > "$WORK/boot.log" 2>&1 &
NSPAWN_PID=$!
# The container's systemd is the child of systemd-nspawn.
for _ in $(seq 1 100); do
  PID="$(pgrep -P "$NSPAWN_PID" | head -n1 || true)"
  [ -z "$PID" ] || break
  kill -0 "$NSPAWN_PID" 2>/dev/null || break
  sleep 0.1
done
[ -n "$PID" ] || { tail -n 20 "$WORK/boot.log" >&2; skip "the container does not boot here"; }
in_ct() { nsenter -t "$PID" -m -u -i -n -p -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
# The manager's socket comes a moment after its process.
state=""
for _ in $(seq 1 300); do
  state="$(in_ct timeout 90 systemctl is-system-running --wait 2>/dev/null || true)"
  case "$state" in ""|offline) ;; *) break ;; esac
  kill -0 "$NSPAWN_PID" 2>/dev/null || break
  sleep 0.1
done
case "$state" in
  running|degraded) say "container booted ($state)" ;;
  *) tail -n 20 "$WORK/boot.log" >&2; skip "the container's systemd did not come up (state '$state')" ;;
esac
in_ct systemctl is-active --quiet mariadb || fail "mariadb does not run in the container"

in_ct env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$DEB1" < /dev/null > "$WORK/install.log" 2>&1 \
  || { tail -n 20 "$WORK/install.log" >&2; fail "apt-get install of the package failed"; }
say "installed $V1"

# ---- first installation: enabled, not started; the user and the folders ------------
[ "$(in_ct systemctl is-enabled varnholt)" = enabled ] || fail "the unit is not enabled after installation"
in_ct systemctl is-active --quiet varnholt && fail "the service started before its database was set up"
in_ct getent passwd varnholt | grep -q ':/var/lib/varnholt:/usr/sbin/nologin$' || fail "no system user varnholt"
mode() { in_ct stat -c '%a %U:%G' "$1"; }
[ "$(mode /etc/varnholt/Config)" = "770 root:varnholt" ] || fail "Config folder is $(mode /etc/varnholt/Config)"
[ "$(mode /etc/varnholt/Config/Zelk.conf)" = "640 root:varnholt" ] || fail "Zelk.conf is $(mode /etc/varnholt/Config/Zelk.conf)"
for d in /var/lib/varnholt /var/lib/varnholt/Zelk/DataFile /var/lib/varnholt/htdocs/UploadFiles /var/log/varnholt; do
  [ "$(mode "$d")" = "750 varnholt:varnholt" ] || fail "$d is $(mode "$d")"
done

# ---- the database, as the installation guide says ---------------------------------
NODE=00112233445566778899aabbccddeeff
in_ct sh -c 'printf "[mysqld]\nlower_case_table_names=1\nlocal_infile=1\n" > /etc/mysql/mariadb.conf.d/60-varnholt.cnf'
in_ct systemctl restart mariadb
in_ct mariadb -e "CREATE DATABASE varnholt DEFAULT CHARACTER SET gbk;
  CREATE USER 'varnholt'@'localhost' IDENTIFIED BY 'secret';
  GRANT SELECT ON varnholt.* TO 'varnholt'@'localhost';
  CREATE USER 'admin'@'localhost' IDENTIFIED BY 'adminpw';
  GRANT ALL ON *.* TO 'admin'@'localhost' WITH GRANT OPTION;"
in_ct sh -c 'mariadb varnholt < /usr/share/varnholt/main.sql'
in_ct env VARNHOLT_DB_HOST=localhost VARNHOLT_DB_PORT=3306 VARNHOLT_DB_USER=admin VARNHOLT_DB_PASSWORD=adminpw \
  VARNHOLT_DB_MAIN=varnholt varnholt-add-node gw1 "$NODE" node_gw1 > /dev/null
in_ct mariadb -e "GRANT SELECT, INSERT, UPDATE, DELETE, CREATE, DROP, CREATE TEMPORARY TABLES, LOCK TABLES,
  CREATE ROUTINE, ALTER ROUTINE, EXECUTE ON \`node_gw1\`.* TO 'varnholt'@'localhost';"
# A hostile row: its database name would be a path out of the data folder.
in_ct sh -c 'echo keep > /etc/x'
in_ct mariadb varnholt -e "INSERT INTO dev_node (node_name, secret, md5_secret, db_name, deleted)
  VALUES ('evil', '', 'ffeeddccbbaa99887766554433221100', '../../../../etc/x', 0)"
for kv in DBServer=localhost DBUser=varnholt DBPwd=secret DataBase=varnholt; do
  in_ct varnholt-inikey /etc/varnholt/Config/Zelk.conf DatabaseConfig "${kv%%=*}" "${kv#*=}"
done
[ "$(mode /etc/varnholt/Config/Zelk.conf)" = "640 root:varnholt" ] || fail "an edit changed Zelk.conf to $(mode /etc/varnholt/Config/Zelk.conf)"

# ---- start, logs ------------------------------------------------------------------
in_ct systemctl start varnholt || { in_ct journalctl -u varnholt --no-pager | tail -n 20 >&2; fail "start failed"; }
main_pid() { in_ct systemctl show -p MainPID --value varnholt; }
PID1="$(main_pid)"
[ "$(in_ct ps -o user= -p "$PID1")" = varnholt ] || fail "the service does not run as varnholt"
say "started as user varnholt (pid $PID1)"

rows() {
  in_ct mariadb node_gw1 -N -e "select (select count(*) from syslog) + (select count(*) from alarm_log)"
}
# A node's data files are loaded while it is connected: a second connection
# stays while the rows are counted.
wait_rows() {  # N SECONDS
  local r=0 hold
  in_ct varnholt-nodesim --node "$NODE" --send keepalive --pause "$(($2 * 1000))" --quiet > /dev/null 2>&1 &
  hold=$!
  for _ in $(seq 1 "$2"); do
    r="$(rows)"
    [ "$r" -lt "$1" ] || break
    sleep 1
  done
  kill "$hold" 2>/dev/null || true
  wait "$hold" 2>/dev/null || true
  [ "$r" -ge "$1" ] || fail "only $r of $1 logs are rows after $2 s"
}
in_ct varnholt-nodesim --node "$NODE" --flood 20000 --mix system=3,alarm=1 --presync both --vary --quiet > "$WORK/flood.out" 2>&1 \
  || { tail -n 5 "$WORK/flood.out" >&2; fail "the simulator's flood failed"; }
wait_rows 20000 120
say "20000 logs are rows"

# ---- what others see --------------------------------------------------------------
# Files the service made are closed to others by their mode; everything in
# its folders (the packaged conffiles too) is closed by the folders.
open_files="$(in_ct find /var/lib/varnholt/Zelk/DataFile /var/lib/varnholt/Zelk/Dump /var/lib/varnholt/htdocs \
  /var/log/varnholt/ ! -type l -perm /o=rwx -print)"
[ -z "$open_files" ] || fail "open to other users: $open_files"
in_ct useradd -m mallory
readable="$(in_ct runuser -u mallory -- find /etc/varnholt/Config /var/lib/varnholt /var/log/varnholt /run/varnholt \
  -type f -readable 2>/dev/null || true)"
[ -z "$readable" ] || fail "a local user reads: $readable"
in_ct runuser -u mallory -- cat /etc/varnholt/Config/Zelk.conf > /dev/null 2>&1 && fail "a local user reads Zelk.conf"
in_ct runuser -u mallory -- ls /var/lib/varnholt/Zelk > /dev/null 2>&1 && fail "a local user lists the state folder"
in_ct runuser -u mallory -- timeout 5 varnholt-debugview -count 1 > /dev/null 2>&1 \
  && fail "a local user reads the debug view"
in_ct timeout 20 varnholt-debugview -count 1 > "$WORK/debugview.out" 2>&1 &
VIEW=$!
sleep 1
in_ct varnholt-nodesim --node "$NODE" --send keepalive --wait 2000 > /dev/null 2>&1 || true
wait "$VIEW" || fail "root cannot read the debug view: $(cat "$WORK/debugview.out")"
grep -q "$NODE" "$WORK/debugview.out" && fail "the debug view shows a full node identity"
say "modes hold: nothing under the service's folders is open to others; debug view for root only"

# ---- the hostile row, the journal ---------------------------------------------------
[ "$(in_ct cat /etc/x)" = keep ] || fail "/etc/x was touched"
in_ct journalctl -u varnholt -p err --no-pager -o cat | grep -q "Refused: Invalid DbName = '../../../../etc/x'" \
  || fail "the refused node is not in the journal: $(in_ct journalctl -u varnholt -p warning --no-pager -o cat | tail -n 5)"
say "hostile db_name refused with an ERROR in the journal"

# The package's unit is not shadowed by the registration switches.
in_ct varnholt -Service > /dev/null 2>&1 && fail "varnholt -Service succeeded beside the packaged unit"
in_ct test -e /etc/systemd/system/varnholt.service && fail "varnholt -Service shadowed the packaged unit"

# ---- SIGKILL and a crash: systemd restarts it --------------------------------------
wait_restart() {  # OLD_PID
  local p=""
  for _ in $(seq 1 300); do
    p="$(main_pid)"
    if [ "$p" != 0 ] && [ "$p" != "$1" ] && in_ct systemctl is-active --quiet varnholt; then return 0; fi
    sleep 0.1
  done
  fail "systemd did not restart the service (MainPID $p)"
}
in_ct kill -KILL "$PID1"
wait_restart "$PID1"
PID2="$(main_pid)"
say "restarted after SIGKILL (pid $PID2)"
in_ct kill -SEGV "$PID2"
wait_restart "$PID2"
dump="$(in_ct find /var/lib/varnholt/Zelk/Dump -type f -printf '%m %u:%g %p\n' | head -n1)"
[ -n "$dump" ] || fail "the crash left no dump"
case "$dump" in "600 varnholt:varnholt "*) ;; *) fail "dump is $dump" ;; esac
say "restarted after a crash; dump $dump"

# ---- the service writes its configuration folder -----------------------------------
in_ct rm /etc/varnholt/Config/statistics.conf
for _ in $(seq 1 100); do in_ct test -f /etc/varnholt/Config/statistics.conf && break; sleep 0.1; done
in_ct test -f /etc/varnholt/Config/statistics.conf || fail "a deleted configuration file was not put back"

# ---- upgrade while running: restarted, edits kept, no question ----------------------
in_ct sh -c 'echo "; operator note" >> /etc/varnholt/Config/ZelkAdv.conf'
PID3="$(main_pid)"
in_ct env DEBIAN_FRONTEND=noninteractive dpkg -i "$DEB2" < /dev/null > "$WORK/upgrade.log" 2>&1 \
  || { cat "$WORK/upgrade.log" >&2; fail "upgrade failed"; }
grep -qi "configuration file" "$WORK/upgrade.log" && fail "the upgrade asked about a configuration file"
[ "$(in_ct dpkg-query -W -f='${Version}' varnholt)" = "$V2" ] || fail "the upgrade did not install $V2"
in_ct systemctl is-active --quiet varnholt || fail "the service is not running after the upgrade"
[ "$(main_pid)" != "$PID3" ] || fail "the service was not restarted by the upgrade"
in_ct grep -q "; operator note" /etc/varnholt/Config/ZelkAdv.conf || fail "the upgrade lost an edit of ZelkAdv.conf"
in_ct grep -q "^DBPwd=secret" /etc/varnholt/Config/Zelk.conf || fail "the upgrade lost the database settings"
[ -z "$(in_ct find /etc/varnholt -name '*.dpkg-*')" ] || fail "the upgrade left .dpkg files"
wait_rows 20000 5
in_ct varnholt-nodesim --node "$NODE" --flood 400 --mix system=1 --presync both --vary --quiet > /dev/null 2>&1 || fail "no logs after upgrade"
# The flood's connection leaves at once, so its file waits for the start-up
# import of the restarted service (one minute after the start), then loads.
wait_rows 20400 100
say "upgraded while running: restarted, edits kept, logs land"

# A stopped and disabled service stays so through an upgrade.
in_ct systemctl disable --now varnholt > /dev/null 2>&1
in_ct env DEBIAN_FRONTEND=noninteractive dpkg -i "$DEB2" < /dev/null > "$WORK/reinstall.log" 2>&1 || fail "reinstall failed"
in_ct systemctl is-active --quiet varnholt && fail "the upgrade started a stopped service"
[ "$(in_ct systemctl is-enabled varnholt 2>/dev/null || true)" = disabled ] || fail "the upgrade enabled a disabled unit"

# ---- purge ------------------------------------------------------------------------
in_ct sh -c 'echo upload > /var/lib/varnholt/htdocs/UploadFiles/kept.bin && chown varnholt: /var/lib/varnholt/htdocs/UploadFiles/kept.bin'
in_ct env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q varnholt < /dev/null > "$WORK/purge.log" 2>&1 \
  || { cat "$WORK/purge.log" >&2; fail "purge failed"; }
grep -q "purge kept" "$WORK/purge.log" || fail "purge did not say what it kept"
[ -z "$(in_ct find /etc/varnholt /var/log/varnholt 2>/dev/null)" ] || fail "purge left configuration or logs"
in_ct test -f /var/lib/varnholt/htdocs/UploadFiles/kept.bin || fail "purge removed an uploaded file"
in_ct test -e /usr/sbin/varnholt && fail "purge left the binary"
in_ct systemctl cat varnholt > /dev/null 2>&1 && fail "the unit is still known after purge"
say "purged; uploads kept"
say "PASS"
