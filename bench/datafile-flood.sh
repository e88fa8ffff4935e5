#!/usr/bin/env bash
# Throughput of the data-file path, beside its limit, in one run:
#   (a) raw LOAD DATA LOCAL INFILE of usrbasiclog- and usrflowlog-shaped rows
#       into a scratch node database;
#   (b) the service taking a varnholt-nodesim flood of user logs into data
#       files (intake), and the rows landing in MySQL (end to end).
#
#   bench/datafile-flood.sh [LOGS] [CONNECTIONS] [RAW_ROWS]
#
# Defaults: 400000 logs over 4 connections, 1000000 raw rows. Uses the
# local MariaDB of scripts/mariadb-local.sh and the binaries in build/bin
# (run ./run.sh or scripts/build.sh build first). The service runs on a
# scratch install tree under build/bench-datafile with DataFileUseTime=1;
# once the flood has been handled the connections end, which hands every data
# file over for import (picked up within 10 s), so the wait for rows measures
# the import, not the rotation time. The flood starts a minute after the
# service, when its start-up import is behind it.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
LOGS="${1:-400000}"
CONNECTIONS="${2:-4}"
RAW_ROWS="${3:-1000000}"

scripts/mariadb-local.sh start >/dev/null
eval "$(scripts/mariadb-local.sh env)"
SQL=(mariadb --no-defaults -uroot "--socket=$VARNHOLT_DB_SOCKET" --local-infile=1 -N -B)
now() { date +%s.%N; }
rate() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { d = b - a; printf "%.0f rows/s (%d rows in %.2f s)", (d > 0 ? n / d : 0), n, d }'; }

WORK="$ROOT/build/bench-datafile"
rm -rf "$WORK"
mkdir -p "$WORK"

# ---- (a) raw LOAD DATA ------------------------------------------------------
"${SQL[@]}" -e "drop database if exists bench_raw; create database bench_raw"
"${SQL[@]}" bench_raw < deploy/sql/node.sql
awk -v n="$RAW_ROWS" 'BEGIN { for (i = 1; i <= n; i++)
  printf "\"%d\"\t\"%d\"\t\"user%d\"\t\"10\"\t\"1\"\t\"0\"\t\"167772161\"\t\"conn 0 seq %d: it'"'"'s a \\\"login\\\" message\"\t\"0\"\t\"2026-12-06 10:00:00\"\t\"0\"\t\"0\"\r\n", i, i % 50, i % 50, i }' \
  > "$WORK/basic.dat"
awk -v n="$RAW_ROWS" 'BEGIN { for (i = 1; i <= n; i++)
  printf "\"%d\"\t\"%d\"\t\"3232235777\"\t\"10\"\t\"%d\"\t\"%d\"\t\"%d\"\t\"%d\"\t\"2026-12-06 10:00:00\"\t\"167772161\"\t\"443\"\r\n", i, i % 50, i, i * 2, i * 3, i * 4 }' \
  > "$WORK/flow.dat"
load() {  # table file
  "${SQL[@]}" bench_raw -e "load data local infile '$2' into table $1 character set gbk fields enclosed by '\"' lines terminated by '\r\n'"
}
t0=$(now); load usrbasiclog "$WORK/basic.dat"; t1=$(now)
RAW_BASIC="$(rate "$RAW_ROWS" "$t0" "$t1")"
t0=$(now); load usrflowlog "$WORK/flow.dat"; t1=$(now)
RAW_FLOW="$(rate "$RAW_ROWS" "$t0" "$t1")"
"${SQL[@]}" -e "drop database bench_raw"
rm -f "$WORK/basic.dat" "$WORK/flow.dat"

# ---- (b) the service --------------------------------------------------------
NODE=00112233445566778899aabbccddeeff
"${SQL[@]}" -e "drop database if exists bench_node"
scripts/add-node.sh bench "$NODE" bench_node >/dev/null
TREE="$WORK/tree"
cp -r deploy/install "$TREE"
mkdir -p "$TREE/Zelk/Log" "$TREE/Zelk/Dump" "$TREE/Zelk/DataFile" "$TREE/Zelk/Temp" "$TREE/htdocs/UploadFiles"
PORT=$((20000 + RANDOM % 20000))
key() { build/bin/varnholt-inikey "$TREE/Zelk/Config/$1" "$2" "$3" "$4"; }
key Zelk.conf DatabaseConfig DBServer "$VARNHOLT_DB_HOST"
key Zelk.conf DatabaseConfig DBUser "$VARNHOLT_DB_USER"
key Zelk.conf DatabaseConfig DBPwd "$VARNHOLT_DB_PASSWORD"
key Zelk.conf DatabaseConfig DataBase "$VARNHOLT_DB_MAIN"
key Zelk.conf DatabaseConfig Port "$PORT"
INFO_PORT=$((PORT + 1))
key ZelkAdv.conf InfoRetrieve ListenPort "$INFO_PORT"
key ZelkAdv.conf DataFile DataFileUseTime 1
build/bin/varnholt-inikey "$TREE/mysql/my.ini" mysqld port "$VARNHOLT_DB_PORT"

VARNHOLT_INSTALL_PATH="$TREE" build/bin/varnholt -Console >"$WORK/service.out" 2>&1 &
PID=$!
trap 'kill $PID 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
  sleep 0.1
done
# A service that has run for a minute: its start-up import is done and the
# pass for files of nodes that left runs every 10 s.
sleep 61
cpu() { awk '{ print ($14 + $15) / 100 }' "/proc/$PID/stat"; }

# Logs stored as rows plus logs the merger folded into others or dropped.
rows() {
  local merged
  merged=$(build/bin/varnholt-info --port "$INFO_PORT" --prometheus | awk '/^varnholt_logs_merged_total / { print $2 }')
  "${SQL[@]}" bench_node -e "select (select count(*) from usrbasiclog) + (select count(*) from usrflowlog) + ${merged:-0}"
}
merged_only() { build/bin/varnholt-info --port "$INFO_PORT" --prometheus | awk '/^varnholt_logs_merged_total / { print $2 }'; }
CPU0=$(cpu)
START=$(now)
build/bin/varnholt-nodesim --connect "127.0.0.1:$PORT" --node "$NODE" --flood "$LOGS" --mix user=1,userv3=1 \
  --connections "$CONNECTIONS" --presync user --vary --quiet >"$WORK/nodesim.out"
HANDLED=$(now)
CPU1=$(cpu)
FIRST=""
while true; do
  n=$(rows)
  t=$(now)
  if [ -z "$FIRST" ] && [ "$n" -gt "$(merged_only)" ]; then FIRST=$t; fi
  [ "$n" -ge "$LOGS" ] && break
  if awk -v a="$HANDLED" -v b="$t" 'BEGIN { exit !(b - a > 300) }'; then
    echo "only $n of $LOGS rows after 300 s" >&2
    exit 1
  fi
  sleep 0.1
done
DONE=$(now)
CPU2=$(cpu)
MERGED=$(merged_only)
RSS=$(awk '/VmHWM/ { print $2 / 1024 " MiB" }' "/proc/$PID/status")
kill -TERM $PID
wait $PID || true
trap - EXIT
"${SQL[@]}" -e "drop database bench_node; delete from $VARNHOLT_DB_MAIN.dev_node where md5_secret = '$NODE'" || true

echo "machine: $(nproc) cores, $(awk '/model name/ { $1 = $2 = $3 = ""; print; exit }' /proc/cpuinfo)"
echo "raw LOAD DATA usrbasiclog:  $RAW_BASIC"
echo "raw LOAD DATA usrflowlog:   $RAW_FLOW"
grep -E "^(sent|handled):" "$WORK/nodesim.out" | sed 's/^/nodesim /'
echo "service intake into data files: $(rate "$LOGS" "$START" "$HANDLED"), $(awk -v a="$CPU0" -v b="$CPU1" 'BEGIN { printf "%.2f", b - a }') CPU-s"
echo "merged or dropped by the merger: $MERGED of $LOGS logs"
echo "import after the connections ended: $(rate "$LOGS" "$FIRST" "$DONE") from the first row to the last"
echo "end to end, flood start to last row: $(rate "$LOGS" "$START" "$DONE"), $(awk -v a="$CPU0" -v b="$CPU2" 'BEGIN { printf "%.2f", b - a }') CPU-s of the service, peak RSS $RSS"
