#!/usr/bin/env bash
# What idle connections cost: the service's resident memory, threads and CPU
# before and while N synchronised nodes stay connected without sending.
#
#   bench/idle-nodes.sh [N] [--build-dir DIR]
#
# Default N = 16 (MaxConnection). Runs the service in service mode on a
# scratch install tree under DIR/bench-idle with varnholt-fakesystemd in place
# of systemd's manager, registers N nodes on one scratch database of the local
# MariaDB (scripts/mariadb-local.sh), lets each node simulator send its user
# snapshot and a keep-alive and then wait, and reads /proc of the service.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
N=16
BUILD=build
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) BUILD="$2"; shift 2 ;;
    *) N="$1"; shift ;;
  esac
done
BIN="$BUILD/bin"
scripts/mariadb-local.sh start >/dev/null
eval "$(scripts/mariadb-local.sh env)"
SQL=(mariadb --no-defaults -uroot "--socket=$VARNHOLT_DB_SOCKET" -N -B)
WORK="$BUILD/bench-idle"
rm -rf "$WORK"
mkdir -p "$WORK/bus"
MAIN="idle_main_$$"
NODE_DB="idle_node_$$"
PIDS=()
cleanup() {
  set +e
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  "${SQL[@]}" -e "drop database if exists $MAIN; drop database if exists $NODE_DB" 2>/dev/null
}
trap cleanup EXIT
"${SQL[@]}" -e "create database $MAIN"
"${SQL[@]}" "$MAIN" < deploy/sql/main.sql
NODES=()
for i in $(seq "$N"); do
  NODES+=("$(printf '%08x%024x' $$ "$i")")
  VARNHOLT_DB_MAIN="$MAIN" scripts/add-node.sh "idle$i" "${NODES[$((i - 1))]}" "$NODE_DB" >/dev/null
done
TREE="$WORK/tree"
cp -r deploy/install "$TREE"
PORT=$((20000 + RANDOM % 20000))
key() { "$BIN/varnholt-inikey" "$TREE/Zelk/Config/$1" "$2" "$3" "$4"; }
key Zelk.conf DatabaseConfig DBServer "$VARNHOLT_DB_HOST"
key Zelk.conf DatabaseConfig DBUser "$VARNHOLT_DB_USER"
key Zelk.conf DatabaseConfig DBPwd "$VARNHOLT_DB_PASSWORD"
key Zelk.conf DatabaseConfig DataBase "$MAIN"
key Zelk.conf DatabaseConfig Port "$PORT"
key ZelkAdv.conf InfoRetrieve ListenPort "$((PORT + 1))"
# Every idle node connects from 127.0.0.1, and stays silent after its sync.
key ZelkAdv.conf Network MaxConnectionPerAddress 64
"$BIN/varnholt-inikey" "$TREE/mysql/my.ini" mysqld port "$VARNHOLT_DB_PORT"
"$BIN/varnholt-fakesystemd" "$WORK/bus" >"$WORK/bus/address" &
PIDS+=($!)
for _ in $(seq 50); do grep -q DBUS "$WORK/bus/address" 2>/dev/null && break; sleep 0.1; done
env INVOCATION_ID=idle "$(cat "$WORK/bus/address")" VARNHOLT_INSTALL_PATH="$TREE" "$BIN/varnholt" >"$WORK/service.out" 2>&1 &
PID=$!
PIDS+=("$PID")
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break; sleep 0.1; done
sleep 3
rss() { awk '/VmRSS/ { print $2 }' "/proc/$PID/status"; }
threads() { ls "/proc/$PID/task" | wc -l; }
ticks() { awk '{ print $14 + $15 }' "/proc/$PID/stat"; }
HZ=$(getconf CLK_TCK)
R0=$(rss); T0=$(threads); C0=$(ticks)
sleep 10
C1=$(ticks)
for i in $(seq "$N"); do
  "$BIN/varnholt-nodesim" --connect "127.0.0.1:$PORT" --node "${NODES[$((i - 1))]}" --send sync-user \
    --send keepalive --wait 40000 --wait-full --quiet >"$WORK/sim$i.out" 2>&1 &
  PIDS+=($!)
done
sleep 8
R1=$(rss); T1=$(threads); C2=$(ticks)
sleep 10
C3=$(ticks)
awk -v n="$N" -v r0="$R0" -v r1="$R1" -v t0="$T0" -v t1="$T1" -v c0="$C0" -v c1="$C1" -v c2="$C2" -v c3="$C3" \
  -v hz="$HZ" 'BEGIN {
  printf "no node:       RSS %d KiB, %d threads, CPU %.1f ms per s\n", r0, t0, (c1 - c0) * 1000 / hz / 10
  printf "%2d idle nodes: RSS %d KiB, %d threads, CPU %.1f ms per s\n", n, r1, t1, (c3 - c2) * 1000 / hz / 10
  printf "per idle node: %d KiB resident, %.1f threads, %.2f ms CPU per s\n", (r1 - r0) / n, (t1 - t0) / n,
         ((c3 - c2) - (c1 - c0)) * 1000 / hz / 10 / n }'
