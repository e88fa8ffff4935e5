#!/usr/bin/env bash
# A private MariaDB server for the tests and the demo.
#
#   scripts/mariadb-local.sh start    start it (installing the data directory the first time)
#   scripts/mariadb-local.sh stop     stop it
#   scripts/mariadb-local.sh status   exit 0 when it answers
#   scripts/mariadb-local.sh env      print the shell variables that name it
#
# The server runs as the current user with its data directory, socket, pid and
# log file under build/mariadb/, listens on 127.0.0.1 only, on VARNHOLT_DB_PORT
# (default 13306), with lower_case_table_names=1 and local_infile=1. It has a
# user for the service (VARNHOLT_DB_USER / VARNHOLT_DB_PASSWORD, default
# varnholt / varnholt) with every privilege, and the main database
# (VARNHOLT_DB_MAIN, default varnholt) made from deploy/sql/main.sql.
# Every command can be run again at any time.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BASE="${VARNHOLT_DB_DIR:-$ROOT/build/mariadb}"
PORT="${VARNHOLT_DB_PORT:-13306}"
DB_USER="${VARNHOLT_DB_USER:-varnholt}"
DB_PASSWORD="${VARNHOLT_DB_PASSWORD:-varnholt}"
DB_MAIN="${VARNHOLT_DB_MAIN:-varnholt}"
DATA="$BASE/data"
SOCKET="$BASE/mysqld.sock"
PIDFILE="$BASE/mysqld.pid"
CNF="$BASE/my.cnf"

client() { mariadb --no-defaults -uroot --socket="$SOCKET" "$@"; }

answers() { mariadb-admin --no-defaults -uroot --socket="$SOCKET" --connect-timeout=2 ping >/dev/null 2>&1; }

write_cnf() {
  mkdir -p "$BASE"
  cat > "$CNF" <<CNF
[mysqld]
datadir=$DATA
socket=$SOCKET
pid-file=$PIDFILE
port=$PORT
bind-address=127.0.0.1
lower_case_table_names=1
local_infile=1
character-set-server=gbk
collation-server=gbk_chinese_ci
default-storage-engine=MyISAM
skip-name-resolve
max_connections=500
log-error=$BASE/mysqld.err
CNF
}

start() {
  if answers; then
    provision
    return 0
  fi
  write_cnf
  local user_opt=()
  [ "$(id -u)" -eq 0 ] && user_opt=(--user=root)
  if [ ! -d "$DATA/mysql" ]; then
    mkdir -p "$DATA"
    mariadb-install-db --defaults-file="$CNF" "${user_opt[@]}" --auth-root-authentication-method=normal \
      --skip-test-db >"$BASE/install.log" 2>&1 || { cat "$BASE/install.log" >&2; exit 1; }
  fi
  # setsid: the server outlives this script and is not stopped by a Ctrl+C in
  # the terminal that started it.
  setsid mariadbd --defaults-file="$CNF" "${user_opt[@]}" >/dev/null 2>&1 < /dev/null &
  for _ in $(seq 1 120); do
    if answers; then
      provision
      return 0
    fi
    sleep 0.25
  done
  echo "mariadb-local: the server did not start; see $BASE/mysqld.err" >&2
  tail -20 "$BASE/mysqld.err" >&2 || true
  exit 1
}

provision() {
  client <<SQL
CREATE USER IF NOT EXISTS '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$DB_PASSWORD';
CREATE USER IF NOT EXISTS '$DB_USER'@'localhost' IDENTIFIED BY '$DB_PASSWORD';
GRANT ALL PRIVILEGES ON *.* TO '$DB_USER'@'127.0.0.1' WITH GRANT OPTION;
GRANT ALL PRIVILEGES ON *.* TO '$DB_USER'@'localhost' WITH GRANT OPTION;
CREATE DATABASE IF NOT EXISTS \`$DB_MAIN\` DEFAULT CHARACTER SET gbk;
SQL
  client "$DB_MAIN" < "$ROOT/deploy/sql/main.sql"
}

stop() {
  local pid=""
  [ -f "$PIDFILE" ] && pid="$(cat "$PIDFILE" 2>/dev/null || true)"
  if answers; then
    mariadb-admin --no-defaults -uroot --socket="$SOCKET" shutdown >/dev/null 2>&1 || true
  fi
  # Stopped means: the process is gone and nothing answers any more.
  for _ in $(seq 1 240); do
    if ! answers && { [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; }; then
      rm -f "$PIDFILE"
      return 0
    fi
    sleep 0.25
  done
  echo "mariadb-local: the server did not stop" >&2
  exit 1
}

env_vars() {
  cat <<ENV
export VARNHOLT_DB_HOST=127.0.0.1
export VARNHOLT_DB_PORT=$PORT
export VARNHOLT_DB_USER=$DB_USER
export VARNHOLT_DB_PASSWORD=$DB_PASSWORD
export VARNHOLT_DB_MAIN=$DB_MAIN
export VARNHOLT_DB_SOCKET=$SOCKET
export VARNHOLT_DB_DATADIR=$DATA
ENV
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status) answers ;;
  env) env_vars ;;
  *) echo "usage: $0 start|stop|status|env" >&2; exit 2 ;;
esac
