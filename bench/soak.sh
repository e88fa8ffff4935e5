#!/usr/bin/env bash
# Endurance run: the service in service mode for a long time at a fixed rate
# below its maximum, with the traffic of a fleet of gateway nodes, sampled
# every 10 s; then one PNG of the samples and a PASS/FAIL line per goal.
#
#   bench/soak.sh [DURATION] [RATE] [--nodes N] [--build-dir DIR] [--out DIR]
#
# DURATION: 30m (default), 90s, 1h or plain minutes; at least 3 minutes.
# RATE: logs per second over all nodes, default 20000. --nodes: simulated
# nodes, default 16 (each its own identity and node database). --build-dir:
# where the binaries are (DIR/bin), default build. --out: results, default
# DIR/bench-soak (soak.csv, soak.png, summary.txt, the simulators' output and
# the service's program log).
#
# Everything runs on a private MariaDB server (scripts/mariadb-local.sh with
# its data directory under the output directory and a free port), restarted
# once in the middle of the run and deleted at the end, and on a scratch
# install tree, deleted at the end; both also after an error or Ctrl+C.
# gnuplot-nox is installed with apt-get when missing. See docs/performance.md.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
. "$ROOT/bench/service-lib.sh"

DURATION=30m
RATE=20000
NODES=16
BUILD=build
OUT=""
usage() { sed -n 's/^#   \(bench\/soak.sh.*\)/\1/p' "$0" >&2; exit 2; }
pos=()
while [ $# -gt 0 ]; do
  case "$1" in
    --nodes) NODES="$2"; shift 2 ;;
    --build-dir) BUILD="$2"; shift 2 ;;
    --out) OUT="$2"; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "soak: unknown option $1" >&2; usage ;;
    *) pos+=("$1"); shift ;;
  esac
done
[ "${#pos[@]}" -le 2 ] || usage
[ "${#pos[@]}" -ge 1 ] && DURATION="${pos[0]}"
[ "${#pos[@]}" -ge 2 ] && RATE="${pos[1]}"
case "$DURATION" in
  *h) D_N="${DURATION%h}"; D_UNIT=3600 ;;
  *m) D_N="${DURATION%m}"; D_UNIT=60 ;;
  *s) D_N="${DURATION%s}"; D_UNIT=1 ;;
  *) D_N="$DURATION"; D_UNIT=60 ;;
esac
[[ "$D_N" =~ ^[0-9]+$ ]] || { echo "soak: DURATION is 30m, 90s, 1h or minutes, not '$DURATION'" >&2; exit 2; }
END_S=$((10#$D_N * D_UNIT))
[ "$END_S" -ge 180 ] || { echo "soak: DURATION must be at least 3 minutes (warm-up, restart, reconnects)" >&2; exit 2; }
[[ "$NODES" =~ ^[0-9]+$ ]] && [ "$NODES" -ge 1 ] && [ "$NODES" -le 60 ] ||
  { echo "soak: --nodes must be 1..60 (MaxConnection, at most 64, is set to N + 4)" >&2; exit 2; }
[[ "$RATE" =~ ^[0-9]+$ ]] && [ "$RATE" -ge "$NODES" ] ||
  { echo "soak: RATE must be a number of logs per second, at least one per node" >&2; exit 2; }
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
BIN="$BUILD/bin"
for b in varnholt varnholt-nodesim varnholt-info varnholt-inikey varnholt-fakesystemd; do
  [ -x "$BIN/$b" ] || { echo "soak: $BIN/$b missing; build it first (scripts/build.sh DIR)" >&2; exit 2; }
done
OUT="${OUT:-$BUILD/bench-soak}"
case "$OUT" in /*) ;; *) OUT="$ROOT/$OUT" ;; esac
# An output directory is only ever emptied when an earlier run made it.
if [ -d "$OUT" ] && [ -n "$(ls -A "$OUT")" ] && [ ! -e "$OUT/.bench-soak" ]; then
  echo "soak: $OUT exists and was not made by bench/soak.sh; give another --out" >&2
  exit 2
fi

# ---- gnuplot, when missing ------------------------------------------------------
SUDO=""
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then SUDO="sudo"; fi
if ! command -v gnuplot >/dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ] && [ -z "$SUDO" ]; then
    echo "soak: gnuplot is missing and there are no root rights to install it (apt-get install gnuplot-nox)" >&2
    exit 1
  fi
  echo "soak: installing gnuplot-nox" >&2
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=300 gnuplot-nox </dev/null >/tmp/soak-apt.$$ 2>&1 ||
    { tail -20 /tmp/soak-apt.$$ >&2; rm -f /tmp/soak-apt.$$; exit 1; }
  rm -f /tmp/soak-apt.$$
fi

rm -rf "$OUT"
mkdir -p "$OUT/sim" "$OUT/upload"
: >"$OUT/.bench-soak"
SVC_WORK="$OUT"
CSV="$OUT/soak.csv"
EVENTS="$OUT/events"
: >"$EVENTS"

# ---- clean-up on every way out ----------------------------------------------------
export VARNHOLT_DB_DIR="$OUT/mariadb"
VARNHOLT_DB_PORT="$(free_port)"
export VARNHOLT_DB_PORT
export VARNHOLT_DB_MAIN=varnholt_soak
TREE="$OUT/tree"
MANAGER_PID=""
SERVICE_PID=""
JOBS=()
cleanup() {
  set +e
  local p
  for p in "${JOBS[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${JOBS[@]}"; do wait "$p" 2>/dev/null; done
  svc_stop
  svc_stop_manager
  [ -d "$TREE/Zelk/Log" ] && rm -rf "$OUT/service-log" && cp -r "$TREE/Zelk/Log" "$OUT/service-log"
  scripts/mariadb-local.sh stop >/dev/null 2>&1
  # A server still starting when the run was cut short answers no shutdown
  # request: it is found by its option file and ended.
  for p in /proc/[0-9]*; do
    if { tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null | grep -q -- "--defaults-file=$VARNHOLT_DB_DIR/my.cnf"; then
      kill -KILL "${p#/proc/}" 2>/dev/null
    fi
  done
  rm -rf "$TREE" "$VARNHOLT_DB_DIR" "$OUT/bus"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- private MariaDB, nodes, the service ---------------------------------------------
echo "soak: private MariaDB on port $VARNHOLT_DB_PORT" >&2
scripts/mariadb-local.sh start >/dev/null
eval "$(scripts/mariadb-local.sh env)"
IDS=()
for i in $(seq "$NODES"); do
  IDS+=("$(printf '50a4%028x' "$i")")
  scripts/add-node.sh "$(printf 'soak-%02d' "$i")" "${IDS[$((i - 1))]}" "$(printf 'soak_node_%02d' "$i")" >/dev/null
done
svc_tree "$TREE" "$VARNHOLT_DB_MAIN"
# Room for every node plus an audit upload's own connection.
svc_key ZelkAdv.conf Network MaxConnection $((NODES + 4))
svc_start soak || { echo "soak: the service did not start; see $OUT/service.err" >&2; exit 1; }
for _ in $(seq 100); do
  "$BIN/varnholt-info" --port "$INFO_PORT" --timeout 500 >/dev/null 2>&1 && break
  sleep 0.1
done
# DataFileUseTime as the service reads it: minutes, 1..30, else 10.
USE_TIME=$(awk -F= '/^\[/ { s = $0 } s == "[DataFile]" && $1 == "DataFileUseTime" { v = $2 + 0 }
  END { print (v >= 1 && v <= 30 ? v : 10) }' "$TREE/Zelk/Config/ZelkAdv.conf")
FRESH_LIMIT=$((USE_TIME * 60 + 60))

# ---- the plan -----------------------------------------------------------------------
# Warm-up: 5 minutes, or a third of a run shorter than 10 minutes.
if [ "$END_S" -ge 600 ]; then WARM=300; else WARM=$((END_S / 3 / 10 * 10)); fi
# MariaDB stops in the middle and starts again 20 s later. No node connects
# (and sends its snapshots, which need the database) from 15 s before the
# stop until 60 s after it; a run that would end then goes on past it.
MID=$((END_S / 2))
WIN_START=$((MID - 15))
WIN_END=$((MID + 60))
MIX="user=45,userv3=40,system=8,admin=4,alarm=2,keepalive=1"
SIM=("$BIN/varnholt-nodesim" --connect "127.0.0.1:$PORT")
T0=$(date +%s.%N)
T0_S=${T0%.*}
elapsed() { echo $(($(date +%s) - T0_S)); }
elapsed_f() { awk -v a="$T0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

# One node: runs of varnholt-nodesim of 1 to 3 minutes, each a new
# connection that sends both snapshots first, one second apart. The first
# runs end one after another over two minutes, so the reconnects are spread.
node_loop() {  # index rate
  local i="$1" r="$2" k=0 s e child=""
  trap '[ -n "$child" ] && kill -TERM "$child" 2>/dev/null; exit 143' TERM
  RANDOM=$((4096 + i))
  while :; do
    s=$(elapsed)
    # A run that ended late waits out the restart window before it connects.
    if [ "$s" -ge "$WIN_START" ] && [ "$s" -le "$WIN_END" ]; then
      sleep $((WIN_END + 1 - s)) &
      child=$!
      wait "$child"
      s=$(elapsed)
    fi
    [ $((END_S - s)) -ge 15 ] || break
    if [ "$k" -eq 0 ]; then e=$((s + 60 + (i - 1) * 120 / NODES)); else e=$((s + 60 + RANDOM % 121)); fi
    if [ "$e" -ge $((WIN_START - 3)) ] && [ "$e" -le "$WIN_END" ]; then e=$((WIN_END + 1 + RANDOM % 10)); fi
    [ "$e" -le "$END_S" ] || e=$END_S
    k=$((k + 1))
    "${SIM[@]}" --node "${IDS[$((i - 1))]}" --flood $((r * (e - s))) --rate "$r" --mix "$MIX" --presync both \
      --vary --quiet >"$OUT/sim/node$i-run$k.out" 2>&1 &
    child=$!
    wait "$child" || echo "node $i run $k: exit status $?" >>"$OUT/sim/failed"
    sleep 1 &
    child=$!
    wait "$child"
    child=""
  done
}

# One audit upload a minute, rotating over the nodes, none in the last
# minute nor around the MariaDB restart (its snapshot needs the database).
head -c 131072 /dev/urandom >"$OUT/upload/audit.bin"
awk 'BEGIN { for (i = 0; i < 4000; i++) printf "%06d 2026-12-07 10:%02d:%02d user%d GET /portal/app/%d?q=%d HTTP/1.1 200\n", i, i % 60, i % 60, i % 50, i % 97, i * 7 }' \
  >>"$OUT/upload/audit.bin"
upload_loop() {
  local n=0 t child=""
  trap '[ -n "$child" ] && kill -TERM "$child" 2>/dev/null; exit 143' TERM
  while :; do
    t=$((30 + n * 60))
    [ "$t" -le $((END_S - 60)) ] || break
    while [ "$(elapsed)" -lt "$t" ]; do sleep 1 & child=$!; wait "$child"; done
    if [ "$t" -ge $((WIN_START - 30)) ] && [ "$t" -le "$WIN_END" ]; then
      echo "skipped" >"$OUT/upload/upload$n.out"
    else
      "${SIM[@]}" --node "${IDS[$((n % NODES))]}" --user bob --quiet upload "$OUT/upload/audit.bin" --compress \
        >"$OUT/upload/upload$n.out" 2>&1 &
      child=$!
      wait "$child" && echo "ok" >>"$OUT/upload/upload$n.out" || echo "failed $?" >>"$OUT/upload/upload$n.out"
    fi
    child=""
    n=$((n + 1))
  done
}

restart_job() {
  local child=""
  trap '[ -n "$child" ] && kill -TERM "$child" 2>/dev/null; exit 143' TERM
  while [ "$(elapsed)" -lt "$MID" ]; do sleep 1 & child=$!; wait "$child"; done
  echo "stop $(elapsed_f)" >>"$EVENTS"
  scripts/mariadb-local.sh stop >/dev/null 2>&1 &
  child=$!
  wait "$child" || echo "stop-failed $(elapsed_f)" >>"$EVENTS"
  echo "down $(elapsed_f)" >>"$EVENTS"
  sleep 20 & child=$!
  wait "$child"
  echo "start $(elapsed_f)" >>"$EVENTS"
  scripts/mariadb-local.sh start >/dev/null 2>&1 &
  child=$!
  wait "$child" || echo "start-failed $(elapsed_f)" >>"$EVENTS"
  echo "up $(elapsed_f)" >>"$EVENTS"
}

# ---- samples ---------------------------------------------------------------------------
CLK_TCK=$(getconf CLK_TCK)
echo "elapsed_s,phase,rss_kib,threads,fds,cpu_s,cpu_pct,freshness_s,accepted,carried,stored,merged,dropped,pending,held,unaccounted,refused,sent,keepalives_sent,connections,mariadb_up" >"$CSV"
LAST_T=""
LAST_CPU=""
# The simulators' logs sent so far: the last progress line of every run.
sent_so_far() {
  awk '/^paced:/ { n[FILENAME] = $4; k[FILENAME] = substr($7, 2) }
    END { for (f in n) { s += n[f] - k[f]; ka += k[f] } printf "%d %d\n", s, ka }' /dev/null "$OUT"/sim/*.out 2>/dev/null ||
    echo "0 0"
}
INFO=""
metrics() {  # sets INFO: freshness accepted carried stored merged dropped pending held unaccounted refused connections
  local out
  INFO=""
  out="$("$BIN/varnholt-info" --port "$INFO_PORT" --timeout 3000 --prometheus 2>/dev/null)" || return 1
  INFO="$(awk '
    /^varnholt_freshness_seconds / { fr = $2 }
    /^varnholt_logs_accepted_total / { a = $2 }
    /^varnholt_logs_carried_total\{/ { c += $2 }
    /^varnholt_logs_stored_total\{/ { s += $2 }
    /^varnholt_logs_folded_total / { m = $2 }
    /^varnholt_logs_dropped_total\{/ { d += $2 }
    /^varnholt_logs_pending\{/ { p += $2 }
    /^varnholt_logs_held\{/ { h += $2 }
    /^varnholt_logs_unaccounted / { u = $2 }
    /^varnholt_logs_refused_total\{/ { r += $2 }
    /^varnholt_node_connections\{/ { n += $2 }
    END { printf "%.1f,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d", fr, a, c, s, m, d, p, h, u, r, n }' <<<"$out")"
}
sample() {  # phase
  local t el st rss thr fds cpu pct="" sent db info
  t=$(date +%s.%N)
  el=$(awk -v a="$T0" -v b="$t" 'BEGIN { printf "%.1f", b - a }')
  st="/proc/$SERVICE_PID"
  rss=$(awk '/^VmRSS:/ { print $2 }' "$st/status")
  thr=$(awk '/^Threads:/ { print $2 }' "$st/status")
  fds=$(find "$st/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
  cpu=$(awk -v hz="$CLK_TCK" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' "$st/stat")
  [ -n "$LAST_T" ] && pct=$(awk -v c0="$LAST_CPU" -v c1="$cpu" -v t0="$LAST_T" -v t1="$t" \
    'BEGIN { printf "%.1f", (t1 > t0 ? (c1 - c0) * 100 / (t1 - t0) : 0) }')
  LAST_T=$t
  LAST_CPU=$cpu
  if metrics; then info=$INFO; else info=",,,,,,,,,,"; fi
  sent=$(sent_so_far)
  db=0
  scripts/mariadb-local.sh status && db=1
  # The connections column sits at the end of the info figures; it moves to its place.
  local fr_to_ref conn
  fr_to_ref=${info%,*}
  conn=${info##*,}
  echo "$el,$1,$rss,$thr,$fds,$cpu,$pct,$fr_to_ref,${sent% *},${sent#* },$conn,$db" >>"$CSV"
}

# ---- the run ------------------------------------------------------------------------------
echo "soak: $END_S s at $RATE logs/s over $NODES nodes, service pid $SERVICE_PID, results in $OUT" >&2
for i in $(seq "$NODES"); do
  # The per-node rates add up to RATE.
  r=$((RATE / NODES + (i <= RATE % NODES ? 1 : 0)))
  node_loop "$i" "$r" &
  JOBS+=($!)
done
NODE_JOBS=("${JOBS[@]}")
upload_loop &
UPLOAD_JOB=$!
JOBS+=("$UPLOAD_JOB")
restart_job &
JOBS+=($!)

alive() { local p; for p in "$@"; do kill -0 "$p" 2>/dev/null && return 0; done; return 1; }
service_alive() {
  kill -0 "$SERVICE_PID" 2>/dev/null ||
    { echo "soak: the service ended; see $OUT/service.err and $OUT/service-log" >&2; exit 1; }
}
k=0
while alive "${NODE_JOBS[@]}" "$UPLOAD_JOB"; do
  service_alive
  sample load
  [ $((k % 30)) -eq 0 ] && echo "soak: $(tail -1 "$CSV" | cut -d, -f1) s" >&2
  k=$((k + 1))
  if [ "$(elapsed)" -gt $((END_S + 180)) ]; then
    echo "soak: simulators still running 3 minutes after the end; stopped" >&2
    for p in "${NODE_JOBS[@]}" "$UPLOAD_JOB"; do kill -TERM "$p" 2>/dev/null || true; done
    break
  fi
  w=$(awk -v a="$T0" -v b="$(date +%s.%N)" -v k="$k" 'BEGIN { w = a + k * 10 - b; printf "%.2f", (w > 0 ? w : 0) }')
  sleep "$w" &
  wait $!
done
LOAD_END=$(elapsed_f)
echo "soak: the simulators are done at $LOAD_END s; waiting for the drain" >&2

# ---- the drain: nothing pending, held or waiting, the same figures twice ----------------
DRAIN_MAX=300
drain_start=$(date +%s)
next_sample=$drain_start
last=""
DRAINED=0
while [ $(($(date +%s) - drain_start)) -lt "$DRAIN_MAX" ]; do
  service_alive
  if metrics; then
    IFS=, read -r fr _ _ _ _ _ p h _ _ _ <<<"$INFO"
    if [ "$p" -eq 0 ] && [ "$h" -eq 0 ] && awk -v f="$fr" 'BEGIN { exit !(f == 0) }' && [ "$INFO" = "$last" ]; then
      DRAINED=1
      break
    fi
    last=$INFO
  fi
  if [ "$(date +%s)" -ge "$next_sample" ]; then sample drain; next_sample=$((next_sample + 10)); fi
  sleep 2
done
DRAIN_S=$(($(date +%s) - drain_start))
sample final
svc_stop
rm -rf "$OUT/service-log"
cp -r "$TREE/Zelk/Log" "$OUT/service-log"

# ---- the picture --------------------------------------------------------------------------
ev() { awk -v k="$1" '$1 == k { print $2 }' "$EVENTS"; }
DB_STOP=$(ev stop)
DB_UP=$(ev up)
awk -F, 'NR > 1 {
    sent = $18; landed = $11 + $12 + $13
    sr = (NR > 2 && $1 > pt && $18 != "" && ps != "") ? (sent - ps) / ($1 - pt) : "";
    lr = (NR > 2 && $1 > pt && $11 != "" && pl != "") ? (landed - pl) / ($1 - pt) : "";
    printf "%.3f %.2f %s %s %s %s %s %s\n", $1 / 60, $3 / 1024, $4, $5, ($7 == "" ? "NaN" : $7),
      ($8 == "" ? "NaN" : $8), (sr == "" ? "NaN" : sr), (lr == "" ? "NaN" : lr)
    pt = $1; ps = (sent == "" ? "" : sent); pl = ($11 == "" ? "" : landed)
  }' "$CSV" >"$OUT/plot.dat"
{
  if gnuplot -e 'set terminal' 2>&1 | grep -q pngcairo; then
    echo 'set terminal pngcairo size 1200,1600 font ",10"'
  else
    echo 'set terminal png size 1200,1600'
  fi
  echo "set output '$OUT/soak.png'"
  echo "set multiplot layout 6,1 title 'varnholt soak: $RATE logs/s, $NODES nodes, $END_S s (MariaDB down between the red lines)'"
  echo 'set grid; set key outside right top; set lmargin 10; set rmargin 34; set xrange [0:*]; set yrange [0:*]'
  if [ -n "$DB_STOP" ]; then
    echo "set arrow 1 from $DB_STOP/60.0, graph 0 to $DB_STOP/60.0, graph 1 nohead lc rgb 'red' dt 2"
    [ -n "$DB_UP" ] && echo "set arrow 2 from $DB_UP/60.0, graph 0 to $DB_UP/60.0, graph 1 nohead lc rgb 'red' dt 2"
  fi
  echo "set arrow 3 from $LOAD_END/60.0, graph 0 to $LOAD_END/60.0, graph 1 nohead lc rgb 'gray' dt 3"
  echo "plot '$OUT/plot.dat' using 1:2 with lines lw 2 title 'RSS MiB'"
  echo "plot '$OUT/plot.dat' using 1:3 with lines lw 2 title 'threads'"
  echo "plot '$OUT/plot.dat' using 1:4 with lines lw 2 title 'open descriptors'"
  echo "plot '$OUT/plot.dat' using 1:5 with lines lw 2 title 'CPU % (of one core)'"
  echo "plot '$OUT/plot.dat' using 1:6 with lines lw 2 title 'freshness s', $FRESH_LIMIT with lines dt 2 lc rgb 'red' title 'limit $FRESH_LIMIT s'"
  echo "set xlabel 'minutes'"
  echo "plot '$OUT/plot.dat' using 1:7 with lines lw 2 title 'logs/s sent', '' using 1:8 with lines title 'logs/s stored + merged + dropped'"
  echo 'unset multiplot'
} >"$OUT/soak.gp"
gnuplot "$OUT/soak.gp" 2>"$OUT/gnuplot.err" || echo "soak: gnuplot failed; see $OUT/gnuplot.err" >&2

# ---- the summary ------------------------------------------------------------------------------
FAILED=0
SUMMARY="$OUT/summary.txt"
say() { printf '%s\n' "$*" | tee -a "$SUMMARY"; }
: >"$SUMMARY"
# value COLUMN SELECTOR: the median of a column over the load samples in
# [from, to) seconds; "at" picks the first load sample at or after a time,
# "last" the last load sample.
median() {  # column from to
  awk -F, -v c="$1" -v a="$2" -v b="$3" 'NR > 1 && $2 == "load" && $1 >= a && $1 < b && $c != "" { v[n++] = $c + 0 }
    END { if (n == 0) exit; for (i = 0; i < n; i++) for (j = i + 1; j < n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
          print (n % 2 ? v[int(n / 2)] : (v[n / 2 - 1] + v[n / 2]) / 2) }' "$CSV"
}
at() { awk -F, -v c="$1" -v a="$2" 'NR > 1 && $2 == "load" && $1 >= a { print $c; exit }' "$CSV"; }
# The last sample of full load: the last one at least 5 s before DURATION,
# when the last runs of the simulators end.
last_load() { awk -F, -v c="$1" -v e="$END_S" 'NR > 1 && $2 == "load" && $1 <= e - 5 { v = $c } END { print v }' "$CSV"; }
final() { awk -F, -v c="$1" 'NR > 1 { v = $c } END { print v }' "$CSV"; }
LAST_LOAD_T=$(last_load 1)
drift() {  # label column scale unit
  local ref endv a e fin pct
  ref=$(median "$2" "$WARM" $((WARM + 60)))
  endv=$(median "$2" "$(awk -v t="$LAST_LOAD_T" 'BEGIN { print t - 59 }')" "$(awk -v t="$LAST_LOAD_T" 'BEGIN { print t + 1 }')")
  a=$(at "$2" "$WARM")
  e=$(last_load "$2")
  fin=$(final "$2")
  if [ -z "$ref" ] || [ -z "$endv" ]; then say "FAIL  $1: no samples to compare"; FAILED=1; return; fi
  pct=$(awk -v r="$ref" -v e="$endv" 'BEGIN { printf "%+.1f", (r > 0 ? (e - r) * 100 / r : 0) }')
  say "$(awk -v l="$1" -v s="$3" -v u="$4" -v a="$a" -v e="$e" -v f="$fin" -v r="$ref" -v m="$endv" -v p="$pct" -v w="$WARM" -v t="$LAST_LOAD_T" 'BEGIN {
    printf "%-12s at %d s %.1f%s, at %d s %.1f%s, after the drain %.1f%s; median %.1f -> %.1f: drift %s %%\n",
      l, w, a / s, u, t, e / s, u, f / s, u, r / s, m / s, p }')"
  if awk -v p="$pct" 'BEGIN { exit !(p < 5) }'; then say "PASS  $1 drift $pct % < 5 %"; else say "FAIL  $1 drift $pct % (limit 5 %)"; FAILED=1; fi
}
say ""
say "Varnholt soak, $(date -u '+%Y-%m-%d %H:%M UTC'), $(hostname): $END_S s at $RATE logs/s over $NODES nodes"
say "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
say "samples: $(($(wc -l <"$CSV") - 1)) in $CSV; picture: $OUT/soak.png"
if [ "$END_S" -ge 600 ]; then
  say "warm-up: $WARM s; drift = median of the load samples of the minute after the warm-up against the median of the last minute of full load; a shrink passes"
else
  say "warm-up: $WARM s (shortened: a third of a run under 10 minutes); drift = median of the load samples of the minute after the warm-up against the median of the last minute of full load; a shrink passes"
fi
say "simulators: $(ls "$OUT"/sim/*.out | wc -l) runs (connections with both snapshots), $( [ -f "$OUT/sim/failed" ] && wc -l <"$OUT/sim/failed" || echo 0) ended with an error, $(grep -l "not answered" "$OUT"/sim/*.out 2>/dev/null | wc -l) with a snapshot unanswered; uploads $(cat "$OUT"/upload/upload*.out 2>/dev/null | grep -c '^ok$') ok, $(cat "$OUT"/upload/upload*.out 2>/dev/null | grep -c '^failed') failed, $(cat "$OUT"/upload/upload*.out 2>/dev/null | grep -c '^skipped$') skipped (MariaDB restart)"
say "MariaDB: stop requested at ${DB_STOP:-?} s, down at $(ev down) s, started at $(ev start) s, answering at ${DB_UP:-?} s"
say "service: program log $(cat "$OUT"/service-log/* 2>/dev/null | wc -l) line(s) at the shipped LogLevel (in $OUT/service-log), $(wc -l <"$OUT/service.err") line(s) on standard error"
say "load ended at $LOAD_END s; drain: $( [ "$DRAINED" -eq 1 ] && echo "quiet after $DRAIN_S s" || echo "NOT quiet after $DRAIN_S s")"
say ""
drift "RSS" 3 1024 " MiB"
drift "threads" 4 1 ""
drift "descriptors" 5 1 ""
FR_MAX=$(awk -F, 'NR > 1 && $8 != "" && $8 + 0 > m { m = $8 + 0; t = $1 } END { printf "%.1f at %.0f s", m, t }' "$CSV")
say "freshness: largest ${FR_MAX}; limit DataFileUseTime $USE_TIME min + 60 s = $FRESH_LIMIT s"
if awk -v m="${FR_MAX%% *}" -v l="$FRESH_LIMIT" 'BEGIN { exit !(m <= l) }'; then
  say "PASS  freshness never above $FRESH_LIMIT s"
else
  say "FAIL  freshness above $FRESH_LIMIT s"; FAILED=1
fi
IFS=, read -r _ _ _ _ _ _ _ _ A C S M D P H U R SENT KA _ _ <<<"$(tail -1 "$CSV")"
say "rate: $(awk -v n="$SENT" -v t="$END_S" 'BEGIN { printf "%.0f", n / t }') logs/s sent on average over $END_S s (target $RATE; each reconnect pauses a node for a second and its snapshots)"
say "accounting at the end: sent $SENT logs (and $KA keep-alives) | accepted $A + carried $C = stored $S + merged $M + dropped $D + pending $P + held $H | unaccounted $U | refused (not synchronised) $R"
if [ -n "$U" ] && [ "$U" -eq 0 ]; then say "PASS  unaccounted 0"; else say "FAIL  unaccounted ${U:-unknown}"; FAILED=1; fi
if [ -n "$A" ] && [ "$A" -eq "$SENT" ]; then say "PASS  accepted = sent ($A)"; else say "FAIL  accepted ${A:-unknown} of $SENT logs sent"; FAILED=1; fi
exit "$FAILED"
