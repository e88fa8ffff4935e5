#!/usr/bin/env bash
# Builds the Debian package from a finished build tree.
#
#   scripts/build-deb.sh [BUILD_DIR] [OUT_DIR]
#
# BUILD_DIR (default build) holds the binaries under bin/; the package
# varnholt_<version>_<arch>.deb is written to OUT_DIR (default BUILD_DIR) and
# its path printed on the last line. The version comes from
# `git describe --tags --always` (0.1.0 when that fails), the architecture from
# `dpkg --print-architecture`. Depends is worked out from the shared libraries
# the service binary loads, through the packages that own them.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="$(cd "${1:-$ROOT/build}" && pwd)"
OUT_DIR="${2:-$BUILD_DIR}"
mkdir -p "$OUT_DIR"
OUT_DIR="$(cd "$OUT_DIR" && pwd)"

PREFIX=/opt/varnholt
BINARIES=(varnholt varnholt-nodesim varnholt-info varnholt-debugview varnholt-inikey)
TOOLS=(varnholt-nodesim varnholt-info varnholt-debugview varnholt-inikey)

die() { echo "build-deb: $*" >&2; exit 1; }
command -v dpkg-deb >/dev/null || die "dpkg-deb is missing"
for b in "${BINARIES[@]}"; do
  [ -x "$BUILD_DIR/bin/$b" ] || die "$BUILD_DIR/bin/$b is missing; build the tree first"
done

# Version: a Debian version must start with a digit and has no '-' without a
# revision, so "v1.2-3-gabc" becomes "1.2+3+gabc" and a bare hash "0.1.0+g<hash>".
VERSION="$(git -C "$ROOT" describe --tags --always 2>/dev/null || true)"
VERSION="${VERSION#v}"
VERSION="${VERSION//-/+}"
if [ -z "$VERSION" ]; then
  VERSION=0.1.0
elif ! [[ "$VERSION" =~ ^[0-9] ]] || ! git -C "$ROOT" describe --tags >/dev/null 2>&1; then
  VERSION="0.1.0+g$VERSION"
fi
ARCH="$(dpkg --print-architecture)"

# Runtime dependencies: the package owning each library a binary names directly
# (its NEEDED entries, as ldd resolves them); their own dependencies follow.
owner() {
  local lib="$1" real candidates c pkg
  real="$(readlink -f "$lib")"
  candidates=("$lib" "$real")
  # merged /usr: dpkg may know the file under /lib or under /usr/lib
  for c in "$lib" "$real"; do
    case "$c" in
      /usr/*) candidates+=("${c#/usr}") ;;
      *) candidates+=("/usr$c") ;;
    esac
  done
  for c in "${candidates[@]}"; do
    pkg="$(dpkg -S "$c" 2>/dev/null | head -n1 | cut -d: -f1)" || true
    if [ -n "$pkg" ]; then echo "$pkg"; return 0; fi
  done
  return 1
}
DEPENDS=()
while read -r lib; do
  pkg="$(owner "$lib")" || die "no installed package owns $lib"
  DEPENDS+=("$pkg")
done < <(for b in "${BINARIES[@]}"; do
           needed="$(readelf -d "$BUILD_DIR/bin/$b" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')"
           ldd "$BUILD_DIR/bin/$b" | awk -v needed="$needed" '
             BEGIN { n = split(needed, list, "\n"); for (i = 1; i <= n; i++) want[list[i]] = 1 }
             $2 == "=>" && $3 ~ /^\// && ($1 in want) { print $3 }'
         done | sort -u)
[ "${#DEPENDS[@]}" -gt 0 ] || die "found no runtime libraries in $BUILD_DIR/bin/varnholt"
DEPENDS_LINE="$(printf '%s\n' "${DEPENDS[@]}" | sort -u | paste -sd, - | sed 's/,/, /g')"

STAGE="$(mktemp -d "${TMPDIR:-/tmp}/varnholt-deb.XXXXXX")"
trap 'rm -rf "$STAGE"' EXIT
chmod 0755 "$STAGE"

# Binaries, with links for the tools on the search path.
install -d -m 0755 "$STAGE$PREFIX/bin" "$STAGE/usr/bin"
for b in "${BINARIES[@]}"; do
  install -m 0755 "$BUILD_DIR/bin/$b" "$STAGE$PREFIX/bin/$b"
  # Debug sections only: the symbol table stays for the crash handler's back-traces.
  strip --strip-debug "$STAGE$PREFIX/bin/$b"
done
for t in "${TOOLS[@]}"; do
  ln -s "$PREFIX/bin/$t" "$STAGE/usr/bin/$t"
done

# Install tree: configuration and the MySQL options file.
cp -R "$ROOT/deploy/install/." "$STAGE$PREFIX/"
find "$STAGE$PREFIX" -type d -exec chmod 0755 {} +
find "$STAGE$PREFIX/Zelk" "$STAGE$PREFIX/mysql" -type f -exec chmod 0644 {} +

# Schema files and the node helper. add-node.sh reads <its dir>/../deploy/sql/node.sql,
# so deploy/sql points at sql/.
install -d -m 0755 "$STAGE$PREFIX/sql" "$STAGE$PREFIX/deploy"
install -m 0644 "$ROOT"/deploy/sql/*.sql "$STAGE$PREFIX/sql/"
ln -s ../sql "$STAGE$PREFIX/deploy/sql"
install -m 0755 "$ROOT/scripts/add-node.sh" "$STAGE$PREFIX/bin/add-node.sh"

# The systemd unit, the same text `varnholt -Service` writes for this location.
install -d -m 0755 "$STAGE/lib/systemd/system"
cat > "$STAGE/lib/systemd/system/varnholt.service" <<UNIT
[Unit]
Description=Varnholt log centre
After=mariadb.service

[Service]
Type=notify
ExecStart="$PREFIX/bin/varnholt"
Environment="VARNHOLT_INSTALL_PATH=$PREFIX"
LimitNOFILE=65536
RuntimeDirectory=varnholt
RuntimeDirectoryMode=0750
Restart=on-failure
TimeoutStopSec=90

[Install]
WantedBy=multi-user.target
UNIT
chmod 0644 "$STAGE/lib/systemd/system/varnholt.service"

# Control area.
install -d -m 0755 "$STAGE/DEBIAN"
SIZE="$(du -sk --exclude=DEBIAN "$STAGE" | cut -f1)"
cat > "$STAGE/DEBIAN/control" <<CONTROL
Package: varnholt
Version: $VERSION
Architecture: $ARCH
Maintainer: Varnholt team <varnholt@localhost>
Installed-Size: $SIZE
Depends: $DEPENDS_LINE
Recommends: mariadb-server
Section: admin
Priority: optional
Description: Varnholt log centre
 Receives, stores and forwards the logs of gateway nodes; runs as the
 systemd service varnholt.service from /opt/varnholt.
CONTROL
( cd "$STAGE" && find ".$PREFIX/Zelk/Config" ".$PREFIX/mysql" -type f | sed 's|^\.||' | sort ) \
  > "$STAGE/DEBIAN/conffiles"
for s in postinst prerm postrm; do
  install -m 0755 "$ROOT/deploy/debian/$s" "$STAGE/DEBIAN/$s"
done
chmod 0644 "$STAGE/DEBIAN/control" "$STAGE/DEBIAN/conffiles"

DEB="$OUT_DIR/varnholt_${VERSION}_${ARCH}.deb"
# gzip: fast to build and read by every dpkg.
dpkg-deb --build --root-owner-group -Zgzip "$STAGE" "$DEB" >/dev/null
echo "$DEB"
