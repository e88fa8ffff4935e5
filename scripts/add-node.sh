#!/usr/bin/env bash
# Registers a gateway node and creates its database.
#
#   scripts/add-node.sh NAME MD5HEX DBNAME [SECRET]
#
# NAME is the node's display name, MD5HEX its identity (32 hexadecimal digits,
# the MD5 digest the node sends in every packet), DBNAME the database that
# will hold its logs (created from deploy/sql/node.sql, or the package's
# /usr/share/varnholt/node.sql, when missing). A node
# already registered with the same identity is updated instead of added.
# The server is the one of scripts/mariadb-local.sh unless VARNHOLT_DB_HOST,
# VARNHOLT_DB_PORT, VARNHOLT_DB_USER, VARNHOLT_DB_PASSWORD and
# VARNHOLT_DB_MAIN name another.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -lt 3 ] || [ $# -gt 4 ]; then
  echo "usage: $0 NAME MD5HEX DBNAME [SECRET]" >&2
  exit 2
fi
NAME="$1"
MD5="$(printf '%s' "$2" | tr 'A-F' 'a-f')"
DBNAME="$3"
SECRET="${4:-}"

if ! [[ "$MD5" =~ ^[0-9a-f]{32}$ ]]; then
  echo "add-node: MD5HEX must be 32 hexadecimal digits" >&2
  exit 2
fi
if ! [[ "$DBNAME" =~ ^[A-Za-z0-9_\$]{1,64}$ ]]; then
  echo "add-node: DBNAME must be 1 to 64 letters, digits, '_' or '\$' (the service refuses other names)" >&2
  exit 2
fi
# The node schema: the source tree's, or the installed package's.
SCHEMA="$ROOT/deploy/sql/node.sql"
[ -f "$SCHEMA" ] || SCHEMA=/usr/share/varnholt/node.sql
[ -f "$SCHEMA" ] || { echo "add-node: cannot find the node schema node.sql" >&2; exit 1; }
if [ -z "${VARNHOLT_DB_PORT:-}" ] && [ -x "$ROOT/scripts/mariadb-local.sh" ]; then
  eval "$("$ROOT/scripts/mariadb-local.sh" env)"
fi
for v in VARNHOLT_DB_PORT VARNHOLT_DB_USER VARNHOLT_DB_PASSWORD VARNHOLT_DB_MAIN; do
  if [ -z "${!v+set}" ]; then
    echo "add-node: set $v (and VARNHOLT_DB_HOST for a server other than 127.0.0.1)" >&2
    exit 2
  fi
done
command -v mariadb >/dev/null || { echo "add-node: the mariadb client is missing (package mariadb-client)" >&2; exit 1; }

# User and password reach the client through an option file only this user
# can read, never through its command line (which every local user sees).
OPTIONS="$(mktemp)"
trap 'rm -f "$OPTIONS"' EXIT
chmod 600 "$OPTIONS"
option_value() { printf '"%s"' "$(printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g')"; }
{
  echo "[client]"
  echo "user=$(option_value "$VARNHOLT_DB_USER")"
  echo "password=$(option_value "$VARNHOLT_DB_PASSWORD")"
} > "$OPTIONS"

client() {
  mariadb --defaults-file="$OPTIONS" --protocol=tcp -h"${VARNHOLT_DB_HOST:-127.0.0.1}" -P"$VARNHOLT_DB_PORT" \
    --default-character-set=gbk "$@"
}

# Text values go into single-quoted literals: single quotes doubled, backslashes escaped.
quote() { printf '%s' "$1" | sed -e "s/\\\\/\\\\\\\\/g" -e "s/'/''/g"; }

client -e "CREATE DATABASE IF NOT EXISTS \`$DBNAME\` DEFAULT CHARACTER SET gbk"
client "$DBNAME" < "$SCHEMA"
client "$VARNHOLT_DB_MAIN" <<SQL
UPDATE dev_node SET node_name = '$(quote "$NAME")', secret = '$(quote "$SECRET")', db_name = '$DBNAME'
  WHERE md5_secret = '$MD5' AND deleted = 0;
INSERT INTO dev_node (node_name, secret, md5_secret, db_name, deleted)
  SELECT '$(quote "$NAME")', '$(quote "$SECRET")', '$MD5', '$DBNAME', 0 FROM DUAL
  WHERE NOT EXISTS (SELECT 1 FROM dev_node WHERE md5_secret = '$MD5' AND deleted = 0);
SQL
echo "add-node: node '$NAME' ($MD5) uses database '$DBNAME'"
