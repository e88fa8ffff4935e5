# shellcheck shell=bash
# Shell functions for the benchmarks that run the service in service mode, as
# systemd runs it, on a scratch copy of deploy/install (sourced by
# bench/compare.sh and bench/soak.sh from the source tree's root).
#
# The caller sets BIN (the directory of the binaries), SVC_WORK (a directory
# for the stand-in manager's bus and the service's standard output and error,
# SVC_WORK/service.err) and the VARNHOLT_DB_* variables of
# `scripts/mariadb-local.sh env`. svc_tree sets TREE, PORT, INFO_PORT and
# METRICS_PORT; svc_start sets MANAGER_PID, SERVICE_PID and SERVICE_STARTED.
# The caller's clean-up ends SERVICE_PID and then MANAGER_PID.

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# A port other than the ones given.
other_port() {
  local p
  p=$(free_port)
  while printf ' %s ' "$@" | grep -q " $p "; do p=$(free_port); done
  echo "$p"
}

wait_port() {  # port pid
  for _ in $(seq 200); do
    kill -0 "$2" 2>/dev/null || return 1
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

svc_key() {  # file section key value: a key of the tree's Zelk/Config/FILE
  "$BIN/varnholt-inikey" "$TREE/Zelk/Config/$1" "$2" "$3" "$4"
}

# svc_tree DIR MAIN_DB: a fresh install tree at DIR that uses the database
# server of VARNHOLT_DB_* with main database MAIN_DB, and free ports for the
# node port, the info query and the metrics endpoint.
svc_tree() {
  TREE="$1"
  rm -rf "$TREE"
  cp -r deploy/install "$TREE"
  mkdir -p "$TREE/Zelk/Log" "$TREE/Zelk/Dump" "$TREE/Zelk/DataFile" "$TREE/Zelk/Temp" "$TREE/htdocs/UploadFiles"
  PORT=$(free_port)
  INFO_PORT=$(other_port "$PORT")
  METRICS_PORT=$(other_port "$PORT" "$INFO_PORT")
  svc_key Zelk.conf DatabaseConfig DBServer "$VARNHOLT_DB_HOST"
  svc_key Zelk.conf DatabaseConfig DBUser "$VARNHOLT_DB_USER"
  svc_key Zelk.conf DatabaseConfig DBPwd "$VARNHOLT_DB_PASSWORD"
  svc_key Zelk.conf DatabaseConfig DataBase "$2"
  svc_key Zelk.conf DatabaseConfig Port "$PORT"
  svc_key ZelkAdv.conf InfoRetrieve ListenPort "$INFO_PORT"
  svc_key ZelkAdv.conf Metrics Port "$METRICS_PORT"
  # Every node connection of a benchmark comes from 127.0.0.1.
  svc_key ZelkAdv.conf Network MaxConnectionPerAddress 64
  "$BIN/varnholt-inikey" "$TREE/mysql/my.ini" mysqld port "$VARNHOLT_DB_PORT"
}

# svc_start NAME: runs the service of TREE in service mode, as systemd runs it
# (console mode would print every program-log line of every level); the
# stand-in manager, started once, answers the service's checks of
# mariadb.service and zelkdog.service on a private bus. Errors reach the
# tree's Zelk/Log file. Returns 1 when the node port does not open.
svc_start() {
  if [ -z "${MANAGER_PID:-}" ]; then
    mkdir -p "$SVC_WORK/bus"
    "$BIN/varnholt-fakesystemd" "$SVC_WORK/bus" >"$SVC_WORK/bus/address" 2>>"$SVC_WORK/service.err" &
    MANAGER_PID=$!
    for _ in $(seq 50); do grep -q DBUS "$SVC_WORK/bus/address" 2>/dev/null && break; sleep 0.1; done
  fi
  env INVOCATION_ID="$1" "$(cat "$SVC_WORK/bus/address")" VARNHOLT_INSTALL_PATH="$TREE" "$BIN/varnholt" \
    >>"$SVC_WORK/service.err" 2>&1 &
  SERVICE_PID=$!
  # shellcheck disable=SC2034  # read by the caller
  SERVICE_STARTED=$(date +%s.%N)
  wait_port "$PORT" "$SERVICE_PID"
}

svc_stop() {
  [ -n "${SERVICE_PID:-}" ] || return 0
  kill -TERM "$SERVICE_PID" 2>/dev/null || true
  wait "$SERVICE_PID" 2>/dev/null || true
  SERVICE_PID=""
}

svc_stop_manager() {
  [ -n "${MANAGER_PID:-}" ] || return 0
  kill -TERM "$MANAGER_PID" 2>/dev/null || true
  wait "$MANAGER_PID" 2>/dev/null || true
  MANAGER_PID=""
}
