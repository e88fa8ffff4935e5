#!/usr/bin/env bash
# Installs what is missing, builds, lays out a demo install tree under
# build/run/ and runs the service in the foreground (console mode).
# Stop it with Ctrl+C or SIGTERM.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

RUN_DIR="$PWD/build/run"
mkdir -p "$RUN_DIR"
# Files already there are kept, so local edits of the demo tree survive.
cp -rn deploy/install/. "$RUN_DIR/"
mkdir -p "$RUN_DIR/Zelk/Log" "$RUN_DIR/Zelk/Dump" "$RUN_DIR/Zelk/DataFile" "$RUN_DIR/Zelk/Temp" \
         "$RUN_DIR/htdocs/UploadFiles"

echo "Varnholt: install tree $RUN_DIR"
echo "Varnholt: program log in $RUN_DIR/Zelk/Log, debug view with build/bin/varnholt-debugview"
echo "Varnholt: running in the foreground; stop with Ctrl+C"
exec env VARNHOLT_INSTALL_PATH="$RUN_DIR" "$PWD/build/bin/varnholt" -Console
