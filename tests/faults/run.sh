#!/usr/bin/env bash
# Scripted fault tests of the whole service: real binaries, a scratch install
# tree and a private MariaDB instance of their own (stopped and started by
# case a; the shared test server is never touched).
#
#   tests/faults/run.sh [BUILD_DIR] [CASE...]
#
# BUILD_DIR defaults to build (binaries in BUILD_DIR/bin); CASEs are letters of
# the cases below, default all:
#   a  MariaDB stopped for a while during a flood, then started again
#   b  the service SIGKILLed mid-flood and restarted (merging off)
#   c  the data-file directory on a full tmpfs (in a private mount namespace)
#   d  a node sending random bytes and malformed packets while another floods
#   g  three nodes flood alarms, administrator and user logs with MariaDB up,
#      then the same flood with MariaDB stopped (started again after it); a
#      connection of its own sends a keep-alive every 200 ms meanwhile. Fails when
#      a keep-alive reply takes 1 s or more, or the intake with MariaDB down
#      is below half its rate with MariaDB up (stalls of seconds, not speed);
#      then GET /metrics must show every node's logs, and a real Prometheus
#      must scrape it with the alert rules loaded
# Every case ends with a keep-alive that must be answered, varnholt-info that
# must answer, and the loss accounting balanced at a quiet moment:
#   accepted + carried = stored + pending + held + merged + dropped
# with the logs the simulator sent and the rows in MySQL printed beside it.
# See docs/reliability.md.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$ROOT"
BUILD="${1:-build}"
shift || true
CASES="${*:-a b c d g}"
BIN="$(cd "$BUILD/bin" && pwd)"
WORK="$(cd "$BUILD" && pwd)/faults"
LOGS="${FAULT_LOGS:-30000}"
MIX="user=3,userv3=2,system=1,alarm=1,admin=1"
# Case g: logs per flood over its three nodes, mostly INSERTs.
G_LOGS="${FAULT_G_LOGS:-30000}"
G_MIX="alarm=2,admin=2,user=1"
FAILED=0
T0=$(date +%s)

# free_port, svc_tree (the scratch install tree of the benchmarks), svc_key and svc_stop.
. bench/service-lib.sh
say() { printf '%s\n' "$*"; }
fail() { say "  FAIL: $*"; FAILED=$((FAILED + 1)); }

rm -rf "$WORK"
mkdir -p "$WORK"

# ---- private MariaDB ---------------------------------------------------------
export VARNHOLT_DB_DIR="$WORK/mariadb"
VARNHOLT_DB_PORT="$(free_port)"
export VARNHOLT_DB_PORT
export VARNHOLT_DB_MAIN=varnholt_faults
db() { scripts/mariadb-local.sh "$1" >/dev/null; }  # the private instance: VARNHOLT_DB_DIR and _PORT
db start
eval "$(scripts/mariadb-local.sh env)"
SQL=(mariadb --no-defaults -uroot "--socket=$VARNHOLT_DB_SOCKET" -N -B)
SERVICE_PID=""
HOLD_PID=""
cleanup() {
  for pid in $HOLD_PID $SERVICE_PID; do kill -KILL "$pid" 2>/dev/null || true; done
  [ "${FAULT_KEEP_DB:-0}" = 1 ] || db stop || true
}
trap cleanup EXIT

# ---- scratch install tree -------------------------------------------------------
# TREE, PORT, INFO_PORT and METRICS_PORT.
svc_tree "$WORK/tree" "$VARNHOLT_DB_MAIN"
svc_key ZelkAdv.conf Global ParticleTime 2

# One node and database per case (three for g; x is the garbage node of d),
# registered before the service starts.
declare -A NODE
declare -A NODES=([g]="g1 g2 g3")
nodes_of() { echo "${NODES[$1]:-$1}"; }
serial=0
for c in a b c d g1 g2 g3 x; do
  serial=$((serial + 1))
  NODE[$c]="$(printf 'fa%030d' "$serial")"
  scripts/add-node.sh "fault-$c" "${NODE[$c]}" "faults_$c" >/dev/null
done

# ---- the service -----------------------------------------------------------------
# start_service NAME [WRAPPER...]: the wrapper runs the service (it must exec).
start_service() {
  local name="$1"
  shift
  VARNHOLT_INSTALL_PATH="$TREE" "$@" "$BIN/varnholt" -Console >"$WORK/service-$name.out" 2>&1 &
  SERVICE_PID=$!
  for _ in $(seq 200); do
    if "$BIN/varnholt-info" --port "$INFO_PORT" --timeout 500 >/dev/null 2>&1 &&
      (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  fail "service $name did not start"
  return 1
}
sim() { "$BIN/varnholt-nodesim" --connect "127.0.0.1:$PORT" "$@"; }
# A connection of each node of the case that stays for S seconds: its import
# task loads the node's data files every 10 s meanwhile.
hold() {
  local x
  for x in $(nodes_of "$1"); do
    "$BIN/varnholt-nodesim" --connect "127.0.0.1:$PORT" --node "${NODE[$x]}" --send sync-user --await 5000 \
      --pause "$(($2 * 1000))" --quiet >/dev/null 2>&1 &
    HOLD_PID="$HOLD_PID $!"
  done
}
unhold() {
  local pid
  for pid in $HOLD_PID; do
    kill -KILL "$pid" 2>/dev/null || true  # it sleeps through a SIGTERM
    wait "$pid" 2>/dev/null || true
  done
  HOLD_PID=""
}
flood() {  # CASE LOGS [options...]: one connection per node of the case
  local c="$1" n="$2" ids=""
  shift 2
  local x
  for x in $(nodes_of "$c"); do ids="$ids${ids:+,}${NODE[$x]}"; done
  sim --node "$ids" --connections "$(wc -w <<<"$(nodes_of "$c")")" --flood "$n" --mix "$MIX" --presync both \
    --vary --quiet "$@" >"$WORK/flood-$c.out" 2>&1
}
sent_of() { awk '/^sent:/ { n = $2; exit } END { print n + 0 }' "$WORK/flood-$1.out"; }
handled() { sed -n 's/^handled: */  intake: /p' "$WORK/flood-$1.out"; }
rate_of() { awk '/^handled:/ { for (i = 1; i < NF; i++) if ($(i+1) == "logs/s,") print $i }' "$WORK/flood-$1.out"; }

# ---- the accounting ---------------------------------------------------------------
# Sets the terms A (accepted) C (carried) S (stored;
# BY per path) P (pending) H (held) M (merged) D (dropped; REASONS) and U
# (unaccounted) from varnholt-info --prometheus.
acct() {
  local out
  out="$("$BIN/varnholt-info" --port "$INFO_PORT" --timeout 3000 --prometheus)" || return 1
  eval "$(awk '
    /^varnholt_logs_accepted_total / { a = $2 }
    /^varnholt_logs_carried_total\{/ { c += $2 }
    /^varnholt_logs_stored_total\{/ { s += $2; split($1, x, "\""); by = by x[2] " " $2 " " }
    /^varnholt_logs_pending\{/ { p += $2 }
    /^varnholt_logs_held\{/ { h += $2 }
    /^varnholt_logs_folded_total / { m = $2 }
    /^varnholt_logs_dropped_total\{/ { d += $2; if ($2 > 0) { split($1, x, "\""); r = r x[2] "=" $2 " " } }
    /^varnholt_logs_unaccounted / { u = $2 }
    /^varnholt_service_rows_total\{outcome="lost"\}/ { sl = $2 }
    END { printf "A=%d C=%d S=%d P=%d H=%d M=%d D=%d U=%d SL=%d REASONS=\"%s\" BY=\"%s\"\n", \
      a, c, s, p, h, m, d, u, sl, r, by }' \
    <<<"$out")"
}
# Waits (up to S seconds) for a quiet moment: nothing pending or held, the
# same figures twice in a row.
quiet() {
  local last="" now
  for _ in $(seq $(($1 * 2))); do
    if acct; then
      now="$A $C $S $P $H $M $D"
      [ "$P" -eq 0 ] && [ "$H" -eq 0 ] && [ "$now" = "$last" ] && return 0
      last="$now"
    fi
    sleep 0.5
  done
  return 1
}
rows() {  # CASE or node: the rows of its databases
  local sum=0 x
  for x in $(nodes_of "$1"); do
    sum=$((sum + $("${SQL[@]}" "faults_$x" -e "select (select count(*) from usrbasiclog) +
      (select count(*) from usrflowlog) + (select count(*) from syslog) + (select count(*) from alarm_log) +
      (select count(*) from adt_log)")))
  done
  echo "$sum"
}
# check CASE SENT: the service answers, and the balance holds.
check() {
  local c="$1" sent="$2"
  # Slots of closed connections are freed by the reaper every 5 s: a refused
  # connection is tried again.
  local tries=0 first
  read -r first _ <<<"$(nodes_of "$c")"
  until sim --node "${NODE[$first]}" --send keepalive --expect 1 --wait 5000 >"$WORK/keepalive-$c.out" 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -lt 15 ] || { fail "no keep-alive reply"; break; }
    sleep 1
  done
  if ! quiet 60; then fail "no quiet moment within 60 s"; fi
  acct || { fail "varnholt-info does not answer"; return; }
  local r
  r="$(rows "$c")"
  say "  sent $sent | accepted $A + carried $C = stored $S + pending $P + held $H + merged $M + dropped $D" \
    "| unaccounted $U | rows in MySQL $r"
  say "  stored by path: $BY"
  [ -z "$REASONS" ] || say "  dropped by reason: $REASONS"
  [ "$U" -eq 0 ] || fail "accounting does not balance: $U unaccounted"
  # Each log is stored once: a statement whose connection broke is looked up
  # before it is sent again. Only after a SIGKILL (b) the killed process's
  # stored logs are not in this one's count, so there rows may exceed it.
  if [ "$c" = b ]; then
    [ "$r" -ge "$S" ] || fail "$r rows but $S counted as stored"
  else
    [ "$r" -eq "$S" ] || fail "$r rows but $S counted as stored: a log was stored twice or lost"
    # Every stored service access has its usrsvrlog row, but those counted lost.
    local access=0 service=0 x
    for x in $(nodes_of "$c"); do
      access=$((access + $("${SQL[@]}" "faults_$x" -e "select count(*) from usrbasiclog where user_action = 3")))
      service=$((service + $("${SQL[@]}" "faults_$x" -e "select count(*) from usrsvrlog")))
    done
    say "  service accesses $access | usrsvrlog rows $service | usrsvrlog rows lost $SL"
    [ $((service + SL)) -eq "$access" ] || fail "$access service accesses but $service usrsvrlog rows ($SL lost)"
  fi
}
case_time() { say "  ($(($(date +%s) - $1)) s)"; }
end_case() { unhold; svc_stop; case_time "$1"; }  # START_TIME

run_case_a() {
  say "a) MariaDB stopped 0.3 s into a flood, started again 8 s later"
  local t=$(date +%s)
  start_service a || return
  hold a 120
  flood a $((LOGS * 3)) &
  local fp=$!
  sleep 0.3
  db stop
  say "  MariaDB stopped"
  sleep 8
  db start
  say "  MariaDB started again"
  wait "$fp" || fail "flood reported an error"
  handled a
  check a "$(sent_of a)"
  [ "$A" -eq "$(sent_of a)" ] || fail "accepted $A of $(sent_of a) logs sent"
  end_case "$t"
}

run_case_b() {
  say "b) service SIGKILLed mid-flood, merging off, restarted"
  local t=$(date +%s)
  svc_key ZelkAdv.conf Global EnableLogMerge 0
  start_service b1 || return
  flood b $((LOGS * 4)) &
  local fp=$!
  sleep 1.5
  acct && say "  last reading before the kill: accepted $A, stored $S, pending $P, held $H (in memory)"
  local before=$A held=$H
  kill -KILL "$SERVICE_PID"
  wait "$SERVICE_PID" 2>/dev/null || true
  SERVICE_PID=""
  wait "$fp" || true
  local sent
  sent="$(awk '/logs,/ { for (i = 1; i <= NF; i++) if ($(i+1) == "logs,") { n += $i } } END { print n + 0 }' \
    "$WORK/flood-b.out")"
  say "  killed; the simulator had sent about $sent logs"
  start_service b2 || return
  hold b 120
  check b "$sent"
  say "  after the restart: $C logs of the killed run were on disk and loaded (carried)"
  # Only what was held in memory at the kill may be lost: every log accepted
  # before the last reading, less the ones held then, is a row now.
  local r
  r="$(rows b)"
  say "  rows $r of at least $before accepted before the kill ($held held in memory at the last reading)"
  [ "$r" -ge $((before - held)) ] || fail "$((before - held - r)) logs lost beyond those held in memory"
  unhold
  svc_stop
  svc_key ZelkAdv.conf Global EnableLogMerge 1
  case_time "$t"
}

run_case_c() {
  say "c) data-file directory on a full 1 MiB tmpfs"
  local t=$(date +%s)
  local dir="$TREE/Zelk/DataFile"
  if ! unshare --user --map-root-user --mount sh -c "mount -t tmpfs -o size=1m tmpfs '$dir'" 2>/dev/null; then
    say "  SKIPPED: no tmpfs in a private mount namespace (unshare --user --map-root-user --mount) here"
    return
  fi
  start_service c unshare --user --map-root-user --mount sh -c \
    "mount -t tmpfs -o size=1m tmpfs '$dir' && exec \"\$0\" \"\$@\"" || return
  hold c 120
  flood c "$LOGS" || fail "flood reported an error"
  handled c
  check c "$(sent_of c)"
  [ "$A" -eq "$(sent_of c)" ] || fail "accepted $A of $(sent_of c) logs sent"
  end_case "$t"
}

run_case_d() {
  say "d) a node sending garbage at full speed while another floods"
  local t=$(date +%s)
  start_service d || return
  hold d 120
  (
    for i in $(seq 40); do
      sim --node "${NODE[x]}" --garbage 200000 --send user --size 300 --send alarm --len 99999 --send admin --len 3 \
        --garbage-text "logs1111" --garbage 100000 --send system --code 77 --repeat 50 --wait 1 --quiet \
        >/dev/null 2>&1 || true
    done
  ) &
  local gp=$!
  flood d "$LOGS" || fail "flood reported an error"
  wait "$gp"
  handled d
  check d "$(sent_of d)"
  [ "$A" -eq "$(sent_of d)" ] || fail "accepted $A of $(sent_of d) logs sent"
  end_case "$t"
}

# g_flood UP|DOWN: case g's flood; sets SECS to its wall time and RATE to logs
# per second over it. The wall time runs from the connections to the last
# final keep-alive's reply: nodes that connect during an outage must have
# their snapshots answered before they may send logs, and the simulator's own
# figure starts after the snapshots.
g_flood() {
  local t0=$EPOCHREALTIME
  MIX="$G_MIX" flood g "$G_LOGS" || fail "flood with MariaDB $1 reported an error"
  SECS="$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')"
  RATE="$(awk -v n="$(sent_of g)" -v s="$SECS" 'BEGIN { printf "%d", n / s }')"
  cp "$WORK/flood-g.out" "$WORK/flood-g-$1.out"
  say "  MariaDB $1: $(sent_of g) logs in $SECS s, $RATE logs/s (after the snapshots: $(rate_of g) logs/s)"
}

run_case_g() {
  say "g) 3 nodes flood INSERT-path logs with MariaDB up, then with it down; keep-alives meanwhile"
  local t=$(date +%s)
  start_service g || return
  hold g 120
  g_flood up
  local sent up="$RATE" n
  sent="$(sent_of g)"
  # Keep-alives every 200 ms on a connection of their own, timed, for at
  # least twice the flood's time with MariaDB up (4 s at least).
  n="$(awk -v s="$SECS" 'BEGIN { n = int(s * 10) + 1; print n < 20 ? 20 : n }')"
  db stop
  say "  MariaDB stopped"
  sim --node "${NODE[g1]}" --every 200 --repeat "$n" --send keepalive --rtt --expect "$n" --wait 5000 --quiet \
    >"$WORK/keepalive-rtt-g.out" 2>&1 &
  local kp=$!
  g_flood down
  sent=$((sent + $(sent_of g)))
  wait "$kp" || fail "keep-alives during the outage not all answered"
  db start
  say "  MariaDB started again"
  local max
  max="$(awk '/^rtt: max/ { print int($3) }' "$WORK/keepalive-rtt-g.out")"
  say "  keep-alive round trips during the outage: $(sed -n 's/^rtt: //p' "$WORK/keepalive-rtt-g.out")"
  [ -n "$max" ] && [ "$max" -lt 1000 ] || fail "a keep-alive reply took ${max:-forever} ms during the outage"
  [ $((RATE * 2)) -ge "$up" ] || fail "the intake with MariaDB down ($RATE logs/s) is below half its rate up ($up)"
  check g "$sent"
  [ "$A" -eq "$sent" ] || fail "accepted $A of $sent logs sent"
  # Per node: every log it sent is a row, merged or dropped (those two
  # counted over all nodes). Each flood gives the nodes equal shares, the
  # first ones one more.
  local i=0 x r share
  for x in $(nodes_of g); do
    share=$((2 * (G_LOGS / 3 + (i < G_LOGS % 3 ? 1 : 0))))
    r="$(rows "$x")"
    say "  node $x: sent $share, rows $r"
    [ "$r" -ge $((share - M - D)) ] || fail "node $x: $r rows of $share sent ($M merged, $D dropped in all)"
    i=$((i + 1))
  done
  scrape_g "$sent"
  end_case "$t"
}

# scrape_g SENT: the service's own GET /metrics names every node with what
# it sent, and a real Prometheus scrapes it and loads the alert rules (the
# silent node and promtool's check of the text: tests/info MetricsTest).
scrape_g() {
  local file="$WORK/scrape-g.txt" i=0 x share got
  python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=10).read().decode())' \
    "http://127.0.0.1:$METRICS_PORT/metrics" >"$file" || { fail "GET /metrics did not answer"; return; }
  for x in $(nodes_of g); do
    share=$((2 * (G_LOGS / 3 + (i < G_LOGS % 3 ? 1 : 0))))
    got="$(awk -v n="fault-$x" '$1 ~ "^varnholt_node_logs_accepted_total\\{node=\"" n "\"" { s += $2 } END { print s + 0 }' "$file")"
    [ "$got" -eq "$share" ] || fail "scrape: node fault-$x accepted $got of $share sent"
    grep -q "^varnholt_node_connections{node=\"fault-$x\"} [1-9]" "$file" || fail "scrape: node fault-$x not connected"
    i=$((i + 1))
  done
  say "  GET /metrics: every node's accepted logs as sent"
  command -v prometheus >/dev/null || { say "  (no prometheus binary: real scrape skipped)"; return; }
  local pport prom
  pport="$(free_port)"
  mkdir -p "$WORK/prometheus"
  cat >"$WORK/prometheus/prometheus.yml" <<YML
global: { scrape_interval: 1s, evaluation_interval: 1s }
rule_files: [ "$ROOT/deploy/prometheus/varnholt-alerts.yml" ]
scrape_configs:
  - job_name: varnholt
    static_configs: [ { targets: [ "127.0.0.1:$METRICS_PORT" ] } ]
YML
  prometheus --config.file="$WORK/prometheus/prometheus.yml" --storage.tsdb.path="$WORK/prometheus/data" \
    --web.listen-address="127.0.0.1:$pport" >"$WORK/prometheus/out.txt" 2>&1 &
  prom=$!
  local q="http://127.0.0.1:$pport/api/v1/query?query=" ok=""
  for _ in $(seq 60); do
    if python3 -c 'import sys, urllib.request; sys.exit(0 if "\"1\"]" in urllib.request.urlopen(sys.argv[1], timeout=2).read().decode() else 1)' \
      "${q}sum(varnholt_up)" 2>/dev/null; then ok=1; break; fi
    sleep 0.5
  done
  local rules
  rules="$(python3 -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())' \
    "http://127.0.0.1:$pport/api/v1/rules" 2>/dev/null || true)"
  kill "$prom" 2>/dev/null || true
  wait "$prom" 2>/dev/null || true
  [ -n "$ok" ] || { fail "Prometheus did not scrape the endpoint (see $WORK/prometheus/out.txt)"; return; }
  [[ "$rules" == *VarnholtNodeSilent* ]] || fail "Prometheus did not load the alert rules"
  say "  a real Prometheus scraped GET /metrics and loaded the alert rules"
}

for c in $CASES; do "run_case_$c"; done
say "fault tests: $FAILED failure(s) in $(($(date +%s) - T0)) s; logs in $WORK"
[ "$FAILED" -eq 0 ]
