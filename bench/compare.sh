#!/usr/bin/env bash
# Side-by-side throughput of the log centre and of what it is measured
# against, in one run on one machine, all into the same MariaDB server:
#
#   (a) raw LOAD DATA LOCAL INFILE of usrbasiclog- and usrflowlog-shaped rows
#       into a scratch node database: the limit of the data-file path;
#   (b) single-row INSERTs of usrbasiclog rows, one statement each, autocommit,
#       over one TCP connection (the mariadb client reading a file of INSERT
#       statements): the limit of the SQL path;
#   (c) rsyslog (Debian's rsyslogd, a private process with its own
#       configuration) receiving the same number of usrbasiclog-shaped
#       messages over TCP (imtcp) and writing them with ommysql, one INSERT per
#       message, into a usrbasiclog table;
#   (c2) syslog-ng (Debian's syslog-ng-core and syslog-ng-mod-sql, unpacked
#       into a private prefix and run as a private process) receiving the
#       same messages over TCP (network()), taking them apart with
#       csv-parser() and writing them with sql() into a usrbasiclog table,
#       one INSERT per message in explicit transactions of batch-lines();
#   (d) the service (<builddir>/bin/varnholt in service mode, as systemd runs
#       it, on a scratch install tree, with varnholt-fakesystemd standing in
#       for systemd's manager) taking a varnholt-nodesim --flood of user logs over 1, 4 and 16
#       node connections, from the flood's start to the last row in MySQL,
#       with the service's CPU seconds and peak RSS;
#
# then the ratios d/a, d/c and d/c2. See docs/performance.md.
#
#   bench/compare.sh [--logs N] [--raw-rows N] [--insert-rows N]
#                    [--connections "1 4 16"] [--build-dir DIR] [--no-rsyslog] [--no-syslog-ng]
#
# Defaults: 400000 logs (c, c2 and d), 1000000 raw rows per table (a), 50000
# single-row INSERTs (b), build dir "build". Uses the local MariaDB of
# scripts/mariadb-local.sh (started when it is not running). Every database
# it makes is named cmp_*_<pid> and dropped at the end. rsyslog and
# rsyslog-mysql are installed with apt-get when missing (root or sudo), with
# the system's rsyslog kept from starting and left disabled. syslog-ng is
# never installed (Debian's package conflicts with rsyslog: both are the system
# logger): its packages are fetched with apt-get download and unpacked into
# DIR/bench-syslog-ng-prefix, kept for later runs; only libdbi's MySQL driver
# (libdbd-mysql, no service) is installed with apt-get when missing.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

LOGS=400000
RAW_ROWS=1000000
INSERT_ROWS=50000
CONNS="1 4 16"
BUILD=build
RSYSLOG=1
SYSLOGNG=1
usage() { sed -n '/^#   bench\/compare.sh/,/^$/p' "$0" | sed -n '1,2p' | sed 's/^# *//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --logs) LOGS="$2"; shift 2 ;;
    --raw-rows) RAW_ROWS="$2"; shift 2 ;;
    --insert-rows) INSERT_ROWS="$2"; shift 2 ;;
    --connections) CONNS="$(printf '%s' "$2" | tr ',' ' ')"; shift 2 ;;
    --build-dir) BUILD="$2"; shift 2 ;;
    --no-rsyslog) RSYSLOG=0; shift ;;
    --no-syslog-ng) SYSLOGNG=0; shift ;;
    -h|--help) usage ;;
    *) echo "compare: unknown option $1" >&2; usage ;;
  esac
done
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
BIN="$BUILD/bin"
for b in varnholt varnholt-nodesim varnholt-info varnholt-inikey varnholt-fakesystemd; do
  [ -x "$BIN/$b" ] || { echo "compare: $BIN/$b missing; build it first (scripts/build.sh DIR)" >&2; exit 2; }
done
for c in $CONNS; do
  [ "$c" -ge 1 ] 2>/dev/null && [ "$c" -le 16 ] || { echo "compare: connections must be 1..16 (MaxConnection)" >&2; exit 2; }
done

# ---- helpers ------------------------------------------------------------------
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
per_s() { awk -v n="$1" -v d="$2" 'BEGIN { printf "%.0f", (d > 0 ? n / d : 0) }'; }
CLK_TCK=$(getconf CLK_TCK)
cpu_s() { awk -v t="$CLK_TCK" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / t }' "/proc/$1/stat"; }
hwm_mib() { awk '/^VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }
# free_port, wait_port and the service's start and stop (svc_*).
. "$ROOT/bench/service-lib.sh"

SUDO=""
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then SUDO="sudo"; fi
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# ---- state to clean up --------------------------------------------------------
TAG=$$
WORK="$BUILD/bench-compare"
SERVICE_PID=""
MANAGER_PID=""
RSYSLOG_PID=""
SYSLOGNG_PID=""
OUR_POLICY=""
DATABASES=()
ROOTSQL=(true)
cleanup() {
  set +e
  [ -n "$SERVICE_PID" ] && kill -TERM "$SERVICE_PID" 2>/dev/null && wait "$SERVICE_PID" 2>/dev/null
  [ -n "$MANAGER_PID" ] && kill -TERM "$MANAGER_PID" 2>/dev/null && wait "$MANAGER_PID" 2>/dev/null
  [ -n "$RSYSLOG_PID" ] && kill -TERM "$RSYSLOG_PID" 2>/dev/null && wait "$RSYSLOG_PID" 2>/dev/null
  [ -n "$SYSLOGNG_PID" ] && kill -TERM "$SYSLOGNG_PID" 2>/dev/null && wait "$SYSLOGNG_PID" 2>/dev/null
  [ -n "$OUR_POLICY" ] && $SUDO rm -f /usr/sbin/policy-rc.d
  for d in "${DATABASES[@]}"; do "${ROOTSQL[@]}" -e "drop database if exists \`$d\`" 2>/dev/null; done
  rm -f "$WORK"/*.dat "$WORK"/*.sql "$WORK"/*.log5424
  rm -rf "$WORK/tree/Zelk/DataFile"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- rsyslog, when missing ------------------------------------------------------
install_rsyslog() {
  installed rsyslog && installed rsyslog-mysql && return 0
  if [ "$(id -u)" -ne 0 ] && [ -z "$SUDO" ]; then
    echo "compare: rsyslog and rsyslog-mysql are missing and there are no root rights to install them (or use --no-rsyslog)" >&2
    exit 1
  fi
  local had_rsyslog=0
  installed rsyslog && had_rsyslog=1
  echo "compare: installing rsyslog rsyslog-mysql (the system's rsyslog is kept from starting)" >&2
  # No database set-up by dbconfig-common, no questions.
  printf '%s\n' "rsyslog-mysql rsyslog-mysql/dbconfig-install boolean false" | $SUDO debconf-set-selections
  # No service starts during the installation.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\n# written by bench/compare.sh for the length of one apt-get run\nexit 101\n' |
      $SUDO tee /usr/sbin/policy-rc.d >/dev/null
    $SUDO chmod 755 /usr/sbin/policy-rc.d
    OUR_POLICY=1
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=300 rsyslog rsyslog-mysql </dev/null >"$WORK/apt.log" 2>&1 ||
    { tail -20 "$WORK/apt.log" >&2; exit 1; }
  if [ -n "$OUR_POLICY" ]; then $SUDO rm -f /usr/sbin/policy-rc.d; OUR_POLICY=""; fi
  # System logging stays as it was: a freshly installed rsyslog is stopped
  # (should a policy have let it start) and not started at boot.
  if [ "$had_rsyslog" -eq 0 ]; then
    if [ -d /run/systemd/system ]; then
      $SUDO systemctl stop rsyslog.service syslog.socket >/dev/null 2>&1 || true
    elif [ -x /etc/init.d/rsyslog ]; then
      $SUDO /etc/init.d/rsyslog stop >/dev/null 2>&1 || true
    fi
    if command -v systemctl >/dev/null 2>&1; then
      $SUDO systemctl disable rsyslog.service >/dev/null 2>&1 || true
    fi
    if command -v update-rc.d >/dev/null 2>&1 && [ -e /etc/init.d/rsyslog ]; then
      $SUDO update-rc.d rsyslog disable >/dev/null 2>&1 || true
    fi
  fi
}

# ---- syslog-ng, in a private prefix ------------------------------------------------
# Debian's syslog-ng-core and rsyslog conflict (each is the system-log-daemon),
# so syslog-ng is never installed: syslog-ng-core, syslog-ng-mod-sql and the
# libraries they need that the machine lacks are fetched with apt-get download
# and unpacked into a prefix of their own, kept for later runs, from which a
# private syslog-ng runs with its own configuration; no system syslog-ng
# exists to start. The one package installed is libdbi's MySQL driver
# (libdbd-mysql, with libdbi1; no service): syslog-ng 3.38's sql() has no
# setting for the driver directory and libdbi looks only in the one it was
# built with, so the driver cannot live in the prefix.
SNG_PREFIX="$BUILD/bench-syslog-ng-prefix"
SNG_LIBS=""
SNG_MODULES=""
apt_get() {  # apt-get arguments...: tried again after an update of the package lists
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=300 "$@" </dev/null >>"$WORK/apt.log" 2>&1 && return 0
  $SUDO apt-get update -qq >>"$WORK/apt.log" 2>&1 || true
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=300 "$@" </dev/null >>"$WORK/apt.log" 2>&1
}
prepare_syslog_ng() {
  if ! installed libdbd-mysql; then
    if [ "$(id -u)" -ne 0 ] && [ -z "$SUDO" ]; then
      echo "compare: libdbd-mysql is missing and there are no root rights to install it (or use --no-syslog-ng)" >&2
      exit 1
    fi
    echo "compare: installing libdbd-mysql (libdbi's MySQL driver, for syslog-ng's sql())" >&2
    apt_get install -y --no-install-recommends libdbd-mysql || { tail -20 "$WORK/apt.log" >&2; exit 1; }
  fi
  local version
  version=$(apt-cache policy syslog-ng-core 2>/dev/null | awk '/Candidate:/ { print $2 }')
  if [ ! -x "$SNG_PREFIX/usr/sbin/syslog-ng" ] ||
     { [ -n "$version" ] && [ "$version" != "(none)" ] && [ "$version" != "$(cat "$SNG_PREFIX/.version" 2>/dev/null)" ]; }; then
    echo "compare: unpacking syslog-ng ${version:-?} into $SNG_PREFIX (not installed)" >&2
    local pkgs="$WORK/syslog-ng-pkgs" dep deb
    rm -rf "$pkgs" "$SNG_PREFIX.new"
    mkdir -p "$pkgs" "$SNG_PREFIX.new"
    (cd "$pkgs" && apt_get download syslog-ng-core syslog-ng-mod-sql) ||
      { tail -20 "$WORK/apt.log" >&2; echo "compare: cannot fetch syslog-ng-core and syslog-ng-mod-sql (or use --no-syslog-ng)" >&2; exit 1; }
    # What they depend on (the first of alternatives) and the machine lacks.
    # One level is enough: those libraries need nothing beyond a base system.
    for dep in $(for deb in "$pkgs"/*.deb; do dpkg-deb -f "$deb" Depends; done |
                 tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:.*//; s/ //g' | sort -u); do
      case "$dep" in syslog-ng-*|"") continue ;; esac
      installed "$dep" && continue
      (cd "$pkgs" && apt_get download "$dep") || { tail -20 "$WORK/apt.log" >&2; exit 1; }
    done
    for deb in "$pkgs"/*.deb; do dpkg-deb -x "$deb" "$SNG_PREFIX.new"; done
    dpkg-deb -f "$pkgs"/syslog-ng-core_*.deb Version >"$SNG_PREFIX.new/.version"
    rm -rf "$SNG_PREFIX" "$pkgs"
    mv "$SNG_PREFIX.new" "$SNG_PREFIX"
  fi
  SNG_MODULES=$(ls -d "$SNG_PREFIX"/usr/lib/syslog-ng/[0-9]* 2>/dev/null | tail -1 || true)
  [ -n "$SNG_MODULES" ] || { echo "compare: no module directory in $SNG_PREFIX (delete it to fetch syslog-ng again)" >&2; exit 1; }
  SNG_LIBS=$(ls -d "$SNG_PREFIX/usr/lib/syslog-ng" "$SNG_PREFIX"/usr/lib/*-linux-gnu* 2>/dev/null | paste -sd:)
  local missing
  missing=$(LD_LIBRARY_PATH="$SNG_LIBS" ldd "$SNG_PREFIX/usr/sbin/syslog-ng" "$SNG_MODULES"/lib{afsocket,syslogformat,csvparser,afsql}.so |
            awk '/not found/ { print $1 }' | sort -u | paste -sd' ')
  [ -z "$missing" ] || { echo "compare: the private syslog-ng lacks $missing (delete $SNG_PREFIX to fetch it again)" >&2; exit 1; }
}

# ---- set-up ---------------------------------------------------------------------
rm -rf "$WORK"
mkdir -p "$WORK"
[ "$RSYSLOG" -eq 1 ] && install_rsyslog
[ "$SYSLOGNG" -eq 1 ] && prepare_syslog_ng

scripts/mariadb-local.sh start >/dev/null
eval "$(scripts/mariadb-local.sh env)"
ROOTSQL=(mariadb --no-defaults -uroot "--socket=$VARNHOLT_DB_SOCKET" -N -B)
# Every measured statement goes over TCP, as the service's and rsyslog's do.
TCPSQL=(mariadb --no-defaults --protocol=tcp -h127.0.0.1 "-P$VARNHOLT_DB_PORT" "-u$VARNHOLT_DB_USER"
        "-p$VARNHOLT_DB_PASSWORD" --default-character-set=gbk --local-infile=1 -N -B)
scratch_db() {  # name: a node database
  DATABASES+=("$1")
  "${ROOTSQL[@]}" -e "drop database if exists \`$1\`; create database \`$1\` default character set gbk"
  "${ROOTSQL[@]}" "$1" < deploy/sql/node.sql
}
count() { "${ROOTSQL[@]}" "$1" -e "select count(*) from $2"; }
# The MariaDB server's CPU seconds: it serves other clients too, so its
# figures are an upper bound of what one path cost it.
DB_PID=$(cat "$(dirname "$VARNHOLT_DB_SOCKET")/mysqld.pid" 2>/dev/null || true)
db_cpu() { if [ -n "$DB_PID" ] && [ -r "/proc/$DB_PID/stat" ]; then cpu_s "$DB_PID"; else echo ""; fi; }
cpu_diff() { [ -n "$1" ] && [ -n "$2" ] && awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }' || echo "-"; }

# (d)'s service, started first: it needs a minute before its first flood
# (below) and spends it idle while (a) to (c) run.
MAIN_DB="cmp_main_$TAG"
NODE_DB="cmp_node_$TAG"
NODE=$(printf 'compare %s %s' "$TAG" "$(now)" | md5sum | cut -c1-32)
DATABASES+=("$MAIN_DB")
"${ROOTSQL[@]}" -e "create database \`$MAIN_DB\` default character set gbk"
"${ROOTSQL[@]}" "$MAIN_DB" < deploy/sql/main.sql
DATABASES+=("$NODE_DB")
VARNHOLT_DB_MAIN="$MAIN_DB" scripts/add-node.sh compare "$NODE" "$NODE_DB" >/dev/null
TREE="$WORK/tree"
PORT=0
INFO_PORT=0
SERVICE_STARTED=0
start_service() {
  SVC_WORK="$WORK"
  svc_tree "$TREE" "$MAIN_DB"
  # The one tuning change: data files are handed over after one minute, not
  # ten (here they are handed over earlier anyway, when the connections end).
  svc_key ZelkAdv.conf DataFile DataFileUseTime 1
  # Service mode (bench/service-lib.sh); the tree's Zelk/Log file is kept as
  # service-log-<connections>.
  svc_start compare || { echo "compare: the service did not start; see $WORK/service.err" >&2; exit 1; }
}
stop_service() {  # connections
  svc_stop
  cp -r "$TREE/Zelk/Log" "$WORK/service-log-$1"
}
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
start_service

RESULTS="$WORK/results"
: >"$RESULTS"
row() { printf '%s\n' "$*" >>"$RESULTS"; }   # id|label|conns|count|seconds|rate|cpu|rss|db cpu
echo "compare: (a) raw LOAD DATA, $RAW_ROWS rows per table" >&2

# ---- (a) raw LOAD DATA ---------------------------------------------------------
RAW_DB="cmp_raw_$TAG"
scratch_db "$RAW_DB"
# The lines the service writes (docs/datafiles.md, deploy/sql/node.sql).
awk -v n="$RAW_ROWS" 'BEGIN { for (i = 1; i <= n; i++)
  printf "\"%d\"\t%d\t\"user%d\"\t10\t1\t0\t167772161\t\"conn 0 seq %d: it'"'"'s a \\\"login\\\" message\"\t0\t\"2026-12-06 10:00:00\"\t0\t0\r\n", i, i % 50, i % 50, i }' \
  >"$WORK/basic.dat"
awk -v n="$RAW_ROWS" 'BEGIN { for (i = 1; i <= n; i++)
  printf "\"%d\"\t%d\t3232235777\t10\t%d\t%d\t%d\t%d\t\"2026-12-06 10:00:00\"\t167772161\t443\r\n", i, i % 50, i, i * 2, i * 3, i * 4 }' \
  >"$WORK/flow.dat"
raw_load() {  # table file id label
  local t0 t1 d n db0 db1
  db0=$(db_cpu)
  t0=$(now)
  "${TCPSQL[@]}" "$RAW_DB" -e "load data local infile '$2' into table $1 character set gbk fields enclosed by '\"' lines terminated by '\r\n'"
  t1=$(now)
  db1=$(db_cpu)
  n=$(count "$RAW_DB" "$1")
  d=$(since "$t0" "$t1")
  row "$3|$4|1|$n|$d|$(per_s "$n" "$d")|-|-|$(cpu_diff "$db0" "$db1")"
}
raw_load usrbasiclog "$WORK/basic.dat" a_basic "(a) LOAD DATA, usrbasiclog"
raw_load usrflowlog "$WORK/flow.dat" a_flow "(a) LOAD DATA, usrflowlog"
RATE_A_BASIC=$(awk -F'|' '$1 == "a_basic" { print $6 }' "$RESULTS")
RATE_A_FLOW=$(awk -F'|' '$1 == "a_flow" { print $6 }' "$RESULTS")
"${ROOTSQL[@]}" -e "drop database \`$RAW_DB\`"
rm -f "$WORK/basic.dat" "$WORK/flow.dat"

# ---- (b) single-row INSERTs ---------------------------------------------------------
echo "compare: (b) $INSERT_ROWS single-row INSERTs" >&2
INS_DB="cmp_ins_$TAG"
scratch_db "$INS_DB"
awk -v n="$INSERT_ROWS" 'BEGIN { for (i = 1; i <= n; i++)
  printf "insert into usrbasiclog (record_id,user_id,user_name,grp_id,user_action,action_result,address,message,auth_method,log_time,svr_ip,svr_port) values (%d,%d,'"'"'user%d'"'"',10,1,0,167772161,'"'"'conn 0 seq %d: it'"''"'s a \"login\" message'"'"',0,'"'"'2026-12-06 10:00:00'"'"',0,0);\n", i, i % 50, i % 50, i }' \
  >"$WORK/inserts.sql"
db0=$(db_cpu)
t0=$(now)
"${TCPSQL[@]}" "$INS_DB" <"$WORK/inserts.sql"
t1=$(now)
db1=$(db_cpu)
n=$(count "$INS_DB" usrbasiclog)
d=$(since "$t0" "$t1")
row "b|(b) single-row INSERT, usrbasiclog|1|$n|$d|$(per_s "$n" "$d")|-|-|$(cpu_diff "$db0" "$db1")"
"${ROOTSQL[@]}" -e "drop database \`$INS_DB\`"
rm -f "$WORK/inserts.sql"

# ---- (c) rsyslog and (c2) syslog-ng ------------------------------------------------
# Both receive the same file of RFC 5424 lines, LF-framed, over one TCP
# connection; the message part carries the usrbasiclog columns separated by
# '|' (the first field names the sender), which each takes apart.
MESSAGES="$WORK/messages.log5424"
CHECKS=""
if [ "$RSYSLOG" -eq 1 ] || [ "$SYSLOGNG" -eq 1 ]; then
  awk -v n="$LOGS" 'BEGIN { for (i = 1; i <= n; i++)
    printf "<134>1 2026-12-06T10:00:00Z gw1 varnholt - - - bench|%d|%d|user%d|10|1|0|167772161|conn 0 seq %d: it'"'"'s a \"login\" message|0|0|0\n", i, i % 50, i % 50, i }' \
    >"$MESSAGES"
fi
# Three stored rows are compared, every column, with the messages they come
# from: the first, the middle and the last record id.
SAMPLE_IDS=$(printf '%s\n' 1 $(((LOGS + 1) / 2)) "$LOGS" | sort -nu | paste -sd,)
sample_rows() {  # database
  "${ROOTSQL[@]}" "$1" -e "select record_id, user_id, user_name, grp_id, user_action, action_result, address,
    message, auth_method, log_time, svr_ip, svr_port from usrbasiclog where record_id in ($SAMPLE_IDS) order by record_id"
}
expected_rows() {
  local i
  for i in ${SAMPLE_IDS//,/ }; do
    printf '%d\t%d\tuser%d\t10\t1\t0\t167772161\tconn 0 seq %d: it'"'"'s a "login" message\t0\t2026-12-06 10:00:00\t0\t0\n' \
      "$i" $((i % 50)) $((i % 50)) "$i"
  done
}
table_shape() { "${ROOTSQL[@]}" "$1" -e "show create table usrbasiclog"; }  # database
# Sends the messages to a peer as fast as it takes them and waits until its
# table holds them all: the window runs from the first byte sent to the row
# count reaching N (or to the last change, should the count stay short for 60 s).
# Then a few rows are checked, and that the table is still as node.sql made it
# (SHAPE, taken before the peer started).
measure_peer() {  # id label pid port database log
  local pid=$3 db=$5 cpu0 db0 db1 t0 t n last last_t d
  cpu0=$(cpu_s "$pid")
  db0=$(db_cpu)
  t0=$(now)
  python3 - "$4" "$MESSAGES" <<'SEND'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
with open(sys.argv[2], "rb") as f:
    while True:
        b = f.read(1 << 20)
        if not b:
            break
        s.sendall(b)
s.shutdown(socket.SHUT_WR)
s.close()
SEND
  last=-1; last_t=$(now); db1=$db0
  while true; do
    n=$(count "$db" usrbasiclog); t=$(now)
    [ "$n" -ge "$LOGS" ] && break
    if [ "$n" -ne "$last" ]; then last=$n; last_t=$t; db1=$(db_cpu)
    elif awk -v a="$last_t" -v b="$t" 'BEGIN { exit !(b - a > 60) }'; then
      echo "compare: $2 stored only $n of $LOGS rows (no progress for 60 s); see $6" >&2
      break
    fi
    sleep 0.1
  done
  [ "$n" -ge "$LOGS" ] && db1=$(db_cpu) || t=$last_t
  d=$(since "$t0" "$t")
  row "$1|$2|1|$n|$d|$(per_s "$n" "$d")|$(cpu_diff "$cpu0" "$(cpu_s "$pid")")|$(hwm_mib "$pid")|$(cpu_diff "$db0" "$db1")"
  [ "$(table_shape "$db")" = "$SHAPE" ] || CHECKS="${CHECKS:+$CHECKS, }($1) ALTERED usrbasiclog"
  if diff <(expected_rows) <(sample_rows "$db") >"$WORK/rows-$1.diff"; then
    CHECKS="${CHECKS:+$CHECKS, }($1) as sent"
    rm -f "$WORK/rows-$1.diff"
  else
    CHECKS="${CHECKS:+$CHECKS, }($1) DIFFERENT, see $WORK/rows-$1.diff"
    echo "compare: rows stored by $2 differ from the messages sent; see $WORK/rows-$1.diff" >&2
  fi
}

if [ "$RSYSLOG" -eq 1 ]; then
  echo "compare: (c) rsyslog, $LOGS messages" >&2
  RS_DB="cmp_rsys_$TAG"
  scratch_db "$RS_DB"
  SHAPE=$(table_shape "$RS_DB")
  RS_DIR="$WORK/rsyslog"
  mkdir -p "$RS_DIR"
  RS_PORT=$(free_port)
  f() { printf "'%%msg:F,124:%d%%'" "$1"; }
  cat >"$RS_DIR/rsyslog.conf" <<CONF
# Private rsyslogd of bench/compare.sh: TCP in, MariaDB out, nothing else.
global(workDirectory="$RS_DIR" maxMessageSize="8k")
module(load="imtcp")
module(load="ommysql")
template(name="usrbasiclog" type="string" option.stdsql="on"
  string="insert into usrbasiclog (record_id,user_id,user_name,grp_id,user_action,action_result,address,message,auth_method,log_time,svr_ip,svr_port) values ($(f 2),$(f 3),$(f 4),$(f 5),$(f 6),$(f 7),$(f 8),$(f 9),$(f 10),'%timereported:::date-mysql%',$(f 11),$(f 12))")
ruleset(name="bench") {
  action(type="ommysql" server="127.0.0.1" serverport="$VARNHOLT_DB_PORT" db="$RS_DB"
         uid="$VARNHOLT_DB_USER" pwd="$VARNHOLT_DB_PASSWORD" template="usrbasiclog")
}
input(type="imtcp" port="$RS_PORT" address="127.0.0.1" ruleset="bench")
CONF
  /usr/sbin/rsyslogd -n -f "$RS_DIR/rsyslog.conf" -i "$RS_DIR/rsyslogd.pid" >"$RS_DIR/rsyslogd.out" 2>&1 &
  RSYSLOG_PID=$!
  wait_port "$RS_PORT" "$RSYSLOG_PID" || { cat "$RS_DIR/rsyslogd.out" >&2; echo "compare: rsyslogd did not start" >&2; exit 1; }
  measure_peer c "(c) rsyslog imtcp -> ommysql" "$RSYSLOG_PID" "$RS_PORT" "$RS_DB" "$RS_DIR/rsyslogd.out"
  kill -TERM "$RSYSLOG_PID"; wait "$RSYSLOG_PID" 2>/dev/null || true; RSYSLOG_PID=""
  "${ROOTSQL[@]}" -e "drop database \`$RS_DB\`"
fi

if [ "$SYSLOGNG" -eq 1 ]; then
  echo "compare: (c2) syslog-ng, $LOGS messages" >&2
  SNG_DB="cmp_sng_$TAG"
  scratch_db "$SNG_DB"
  SHAPE=$(table_shape "$SNG_DB")
  SNG_DIR="$WORK/syslog-ng"
  mkdir -p "$SNG_DIR"
  SNG_PORT=$(free_port)
  SNG_CONFIG_VERSION=$(LD_LIBRARY_PATH="$SNG_LIBS" "$SNG_PREFIX/usr/sbin/syslog-ng" --version |
    awk '/^Installer-Version:/ { split($2, v, "."); print v[1] "." v[2] }')
  # quoted "a", "b", ... and templates "${.b.a}", "${.b.b}", ... of the parsed columns
  q() { printf '"%s", ' "$@" | sed 's/, $//'; }
  v() { printf '"${.b.%s}", ' "$@" | sed 's/, $//'; }
  cat >"$SNG_DIR/syslog-ng.conf" <<CONF
@version: $SNG_CONFIG_VERSION
# Private syslog-ng of bench/compare.sh: TCP in, MariaDB out, nothing else
# (no system() source; its own messages go to stderr).
options { stats-freq(0); };
# The sender's framing: one RFC 5424 message per line. With the log path's
# flow-control a full destination queue holds the sender back instead of
# dropping messages; the window (log-iw-size() shared by the default
# max-connections(10): 10000 for the one connection) is above batch-lines().
source s_bench {
  network(ip("127.0.0.1") port($SNG_PORT) transport("tcp") flags(syslog-protocol) log-iw-size(100000));
};
parser p_bench {
  csv-parser(columns($(q sender record_id user_id user_name grp_id user_action action_result address message auth_method svr_ip svr_port))
             delimiters(chars("|")) quote-pairs("") dialect(escape-none) prefix(".b."));
};
# The fastest settings sql() documents for MySQL: one transaction per
# batch-lines() INSERTs (explicit-commits); the existing usrbasiclog table
# used as it is, no table, column or index created (dont-create-tables, indexes()).
destination d_bench {
  sql(type(mysql) host("127.0.0.1") port("$VARNHOLT_DB_PORT") username("$VARNHOLT_DB_USER")
      password("$VARNHOLT_DB_PASSWORD") database("$SNG_DB") table("usrbasiclog")
      columns($(q record_id user_id user_name grp_id user_action action_result address message auth_method log_time svr_ip svr_port))
      values($(v record_id user_id user_name grp_id user_action action_result address message auth_method),
             "\${S_YEAR}-\${S_MONTH}-\${S_DAY} \${S_HOUR}:\${S_MIN}:\${S_SEC}", $(v svr_ip svr_port))
      time-zone("+00:00") flags(explicit-commits, dont-create-tables) indexes()
      batch-lines(1000) batch-timeout(100) log-fifo-size(100000));
};
log { source(s_bench); parser(p_bench); destination(d_bench); flags(flow-control); };
CONF
  LD_LIBRARY_PATH="$SNG_LIBS" "$SNG_PREFIX/usr/sbin/syslog-ng" --module-path="$SNG_MODULES" -f "$SNG_DIR/syslog-ng.conf" \
    --foreground --stderr --no-caps -p "$SNG_DIR/syslog-ng.pid" -R "$SNG_DIR/syslog-ng.persist" -c "$SNG_DIR/ctl" \
    >"$SNG_DIR/syslog-ng.out" 2>&1 &
  SYSLOGNG_PID=$!
  wait_port "$SNG_PORT" "$SYSLOGNG_PID" || { cat "$SNG_DIR/syslog-ng.out" >&2; echo "compare: syslog-ng did not start" >&2; exit 1; }
  measure_peer c2 "(c2) syslog-ng network -> sql" "$SYSLOGNG_PID" "$SNG_PORT" "$SNG_DB" "$SNG_DIR/syslog-ng.out"
  kill -TERM "$SYSLOGNG_PID"; wait "$SYSLOGNG_PID" 2>/dev/null || true; SYSLOGNG_PID=""
  "${ROOTSQL[@]}" -e "drop database \`$SNG_DB\`"
fi
rm -f "$MESSAGES"

# ---- (d) the service ----------------------------------------------------------------------
# Logs the mergers folded into others or dropped count as landed; the
# service reports them through its info query (empty when it cannot).
info_merged() {
  { "$BIN/varnholt-info" --port "$INFO_PORT" --timeout 2000 --prometheus 2>/dev/null || true; } |
    awk '/^varnholt_logs_merged_total / { print $2 }'
}
stored() { "${ROOTSQL[@]}" "$NODE_DB" -e "select (select count(*) from usrbasiclog), (select count(*) from usrflowlog)"; }
pending_files() { find "$TREE/Zelk/DataFile" -name '*.dat' 2>/dev/null | wc -l; }
DETAILS="$WORK/details"
: >"$DETAILS"
first=1
for C in $CONNS; do
  [ "$first" -eq 1 ] || start_service
  first=0
  # A service that has run for a minute: its start-up import is behind it,
  # and the pass for the files of nodes that left runs every 10 s.
  wait_s=$(awk -v a="$SERVICE_STARTED" -v b="$(now)" 'BEGIN { w = 61 - (b - a); print (w > 0 ? w : 0) }')
  echo "compare: (d) the service, $LOGS logs over $C connection(s) (first ${wait_s%.*} s idle)" >&2
  sleep "$wait_s" & wait $!
  "${ROOTSQL[@]}" "$NODE_DB" -e "truncate table usrbasiclog; truncate table usrflowlog; truncate table usrsvrlog"
  CPU0=$(cpu_s "$SERVICE_PID")
  db0=$(db_cpu)
  START=$(now)
  "$BIN/varnholt-nodesim" --connect "127.0.0.1:$PORT" --node "$NODE" --flood "$LOGS" --mix user=1,userv3=1 \
    --connections "$C" --presync user --vary --quiet >"$WORK/nodesim-$C.out" ||
    echo "compare: varnholt-nodesim exited with status $? (see $WORK/nodesim-$C.out)" >&2
  HANDLED=$(now)
  kill -0 "$SERVICE_PID" 2>/dev/null || { echo "compare: the service ended during the flood; see $WORK/service.err and $TREE/Zelk/Log" >&2; exit 1; }
  # Done when rows + merged logs reach the number sent; should the merged
  # count be unknown, when no data file is left and the rows have not changed
  # for 15 s (longer than one import pass). The end is the last change.
  FIRST=""; last=-1; last_t=$HANDLED; merged=""; CPU_LAST=$CPU0; DB_LAST=$db0
  while true; do
    read -r nb nf < <(stored)
    t=$(now)
    [ -z "$FIRST" ] && [ $((nb + nf)) -gt 0 ] && FIRST=$t
    if [ $((nb + nf)) -ne "$last" ]; then last=$((nb + nf)); last_t=$t; CPU_LAST=$(cpu_s "$SERVICE_PID"); DB_LAST=$(db_cpu); fi
    merged=$(info_merged)
    [ -n "$merged" ] && [ $((nb + nf + merged)) -ge "$LOGS" ] && break
    if [ -z "$merged" ] && [ "$(pending_files)" -eq 0 ] &&
       awk -v a="$last_t" -v b="$t" 'BEGIN { exit !(b - a > 15) }'; then
      t=$last_t
      break
    fi
    if awk -v a="$HANDLED" -v b="$t" 'BEGIN { exit !(b - a > 180) }'; then
      echo "compare: only $((nb + nf)) rows and ${merged:-?} merged logs of $LOGS landed 180 s after the flood" >&2
      t=$last_t
      break
    fi
    sleep 0.1
  done
  DONE=$t
  CPU2=$(cpu_s "$SERVICE_PID")
  db1=$(db_cpu)
  if [ "$t" = "$last_t" ]; then CPU2=$CPU_LAST; db1=$DB_LAST; fi
  RSS=$(hwm_mib "$SERVICE_PID")
  stop_service "$C"
  landed=$((nb + nf + ${merged:-0}))
  d=$(since "$START" "$DONE")
  label="(d) varnholt, nodesim flood"
  [ -n "$merged" ] || label="$label (merged n/a)"
  row "d$C|$label|$C|$landed|$d|$(per_s "$landed" "$d")|$(cpu_diff "$CPU0" "$CPU2")|$RSS|$(cpu_diff "$db0" "$db1")"
  # (a) for the same mix of tables: the time raw LOAD DATA takes for these
  # usrbasiclog and usrflowlog rows.
  a_mix=$(awk -v b="$nb" -v f="$nf" -v rb="$RATE_A_BASIC" -v rf="$RATE_A_FLOW" \
    'BEGIN { t = b / rb + f / rf; printf "%.0f", (t > 0 ? (b + f) / t : 0) }')
  printf '%s|%s|%s|%s|%s|%s|%s|%s\n' "$C" "$nb" "$nf" "${merged:-?}" "$a_mix" \
    "$(per_s "$LOGS" "$(since "$START" "$HANDLED")")" "$(since "$HANDLED" "$DONE")" \
    "$( [ -n "$FIRST" ] && since "$FIRST" "$DONE" || echo -)" >>"$DETAILS"
done

# ---- the table ------------------------------------------------------------------------------
RATE_C=$(awk -F'|' '$1 == "c" { print $6 }' "$RESULTS")
RATE_C2=$(awk -F'|' '$1 == "c2" { print $6 }' "$RESULTS")
ratio() { [ -z "$2" ] || awk -v d="$1" -v p="$2" 'BEGIN { if (p > 0) printf "%.2f", d / p }'; }  # rate peer-rate
echo
echo "Varnholt throughput comparison, $(date -u '+%Y-%m-%d %H:%M UTC'), $(hostname)"
echo "machine: $(nproc) cores ($(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)), $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) RAM, $(mariadbd --version 2>/dev/null | awk '{ print $3 }')"
echo "load average (1, 5, 15 min): $LOAD_START at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end"
echo "logs (c, c2, d): $LOGS; raw rows per table (a): $RAW_ROWS; single-row INSERTs (b): $INSERT_ROWS"
echo
printf '%-38s %5s %9s %8s %9s %7s %8s %8s %6s %6s %6s\n' "path" "conns" "rows" "seconds" "rows/s" "CPU-s" "RSS MiB" "DB CPU-s" "d/a" "d/c" "d/c2"
while IFS='|' read -r id label conns n secs rate cpu rss dbcpu; do
  ra="" rc="" rc2=""
  case "$id" in
    d*)
      c=${id#d}
      a_mix=$(awk -F'|' -v c="$c" '$1 == c { print $5 }' "$DETAILS")
      ra=$(ratio "$rate" "$a_mix")
      rc=$(ratio "$rate" "$RATE_C")
      rc2=$(ratio "$rate" "$RATE_C2")
      ;;
  esac
  printf '%-38s %5s %9s %8s %9s %7s %8s %8s %6s %6s %6s\n' "$label" "$conns" "$n" "$secs" "$rate" "$cpu" "$rss" "$dbcpu" "${ra:--}" "${rc:--}" "${rc2:--}"
done <"$RESULTS"
echo
echo "rows: rows stored; for (d) logs landed, i.e. rows stored plus logs the mergers folded into others."
echo "CPU-s, RSS MiB: the receiving process (rsyslogd, syslog-ng, varnholt): CPU seconds in the window, peak RSS (VmHWM)."
echo "DB CPU-s: the MariaDB server's CPU seconds in the window (other clients of the server included)."
echo "d/a: (d) beside raw LOAD DATA of the same mix of usrbasiclog and usrflowlog rows; d/c, d/c2: (d) beside rsyslog, syslog-ng."
[ -z "$CHECKS" ] || echo "stored rows compared with the messages sent, every column, record ids $SAMPLE_IDS: $CHECKS"
echo
echo "(d) per connection count: rows stored in usrbasiclog + usrflowlog; logs merged (counted as landed);"
echo "    raw LOAD DATA rate for that mix of tables (the 'a' of d/a); intake: flood start to the last final"
echo "    keep-alive reply; then: from that reply to the last row (the wait for the import pass, at most"
echo "    10 s, and the import); import: from the first rows visible to the last; d/c, d/c2: as in the table:"
while IFS='|' read -r c nb nf merged a_mix intake after imp; do
  rate=$(awk -F'|' -v id="d$c" '$1 == id { print $6 }' "$RESULTS")
  rc=$(ratio "$rate" "$RATE_C")
  rc2=$(ratio "$rate" "$RATE_C2")
  printf '    %2s conn: %d + %d rows, %s merged; a for this mix %s rows/s; intake %s logs/s; then %s s; import %s s; d/c %s, d/c2 %s\n' \
    "$c" "$nb" "$nf" "$merged" "$a_mix" "$intake" "$after" "$imp" "${rc:--}" "${rc2:--}"
done <"$DETAILS"
