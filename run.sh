#!/usr/bin/env bash
# Installs what is missing, builds, lays out a demo install tree under
# build/run/ and runs the service in the foreground (console mode).
# Stop it with Ctrl+C or SIGTERM.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
# Only the service and the tools it is tried with; ./test.sh builds the tests.
VARNHOLT_TARGETS="varnholt varnholt-nodesim varnholt-info varnholt-debugview varnholt-inikey" \
  scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

RUN_DIR="$PWD/build/run"
mkdir -p "$RUN_DIR"
# Files already there are kept, so local edits of the demo tree survive.
cp -rn deploy/install/. "$RUN_DIR/"
mkdir -p "$RUN_DIR/Zelk/Log" "$RUN_DIR/Zelk/Dump" "$RUN_DIR/Zelk/DataFile" "$RUN_DIR/Zelk/Temp" \
         "$RUN_DIR/htdocs/UploadFiles"

# The local MySQL server and one demo gateway node.
scripts/mariadb-local.sh start
eval "$(scripts/mariadb-local.sh env)"
DEMO_MD5=00112233445566778899aabbccddeeff
scripts/add-node.sh demo "$DEMO_MD5" demo_db >/dev/null

# Point the demo tree at that server.
set_key() {  # file section key value
  "$PWD/build/bin/varnholt-inikey" "$1" "$2" "$3" "$4"
}
set_key "$RUN_DIR/Zelk/Config/Zelk.conf" DatabaseConfig DBServer "$VARNHOLT_DB_HOST"
set_key "$RUN_DIR/Zelk/Config/Zelk.conf" DatabaseConfig DBUser "$VARNHOLT_DB_USER"
set_key "$RUN_DIR/Zelk/Config/Zelk.conf" DatabaseConfig DBPwd "$VARNHOLT_DB_PASSWORD"
set_key "$RUN_DIR/Zelk/Config/Zelk.conf" DatabaseConfig DataBase "$VARNHOLT_DB_MAIN"
set_key "$RUN_DIR/mysql/my.ini" mysqld port "$VARNHOLT_DB_PORT"
set_key "$RUN_DIR/mysql/my.ini" mysqld datadir "$VARNHOLT_DB_DATADIR"

echo "Varnholt: MySQL on $VARNHOLT_DB_HOST:$VARNHOLT_DB_PORT, demo node $DEMO_MD5 -> database demo_db"
echo "Varnholt: install tree $RUN_DIR"
echo "Varnholt: program log in $RUN_DIR/Zelk/Log, debug view with build/bin/varnholt-debugview"
DEMO_SEND="build/bin/varnholt-nodesim --quiet --send sync-user --send sync-admin --action 0 --send user --action 3 --send userv2 --action 2 --send userv3 --send admin --send audit --send alarm --send system --repeat 6 --send keepalive"
DEMO_SHOW="mariadb --no-defaults -uroot --socket=$VARNHOLT_DB_SOCKET demo_db -e \"select 'usrbasiclog', count(*) from usrbasiclog union all select 'usrsvrlog', count(*) from usrsvrlog union all select 'usrflowlog', count(*) from usrflowlog union all select 'adt_log', count(*) from adt_log union all select 'alarm_log', count(*) from alarm_log union all select 'syslog', count(*) from syslog union all select 'dev_stat', count(*) from dev_stat; select * from usrbasiclog order by record_id desc limit 5\""
# Once the service accepts nodes, show how to try it.
(
  for _ in $(seq 1 150); do
    if (exec 3<>/dev/tcp/127.0.0.1/9501) 2>/dev/null; then
      echo
      echo "Varnholt: the service is up. Send demo traffic as the demo node (from $PWD):"
      echo "  $DEMO_SEND"
      echo "Varnholt: then see the rows it made:"
      echo "  $DEMO_SHOW"
      echo "Varnholt: user and system logs reach MySQL through data files: a node's file goes to the"
      echo "  import when the node leaves (the simulator leaves when it is done) and is loaded within"
      echo "  about a minute. Until then the counts above show alarms, admin logs and dev_stat only."
      echo "  Follow where every log is with:"
      echo "  build/bin/varnholt-info --watch   (a live view: totals, rates, one line per node; q quits)"
      echo
      exit 0
    fi
    sleep 0.2
  done
) &

echo "Varnholt: running in the foreground; stop with Ctrl+C"
exec env VARNHOLT_INSTALL_PATH="$RUN_DIR" "$PWD/build/bin/varnholt" -Console
