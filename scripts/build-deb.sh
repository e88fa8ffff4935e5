#!/usr/bin/env bash
# Builds the Debian package from a finished build tree.
#
# Layout: the service in /usr/sbin, the tools in /usr/bin, configuration in
# /etc/varnholt, SQL and the shipped Zelk.conf in /usr/share/varnholt; the
# maintainer scripts (deploy/debian) make the service user, the state tree
# /var/lib/varnholt and /var/log/varnholt.
#
#   scripts/build-deb.sh [BUILD_DIR] [OUT_DIR]
#
# BUILD_DIR (default build) holds the binaries under bin/; the package
# varnholt_<version>_<arch>.deb is written to OUT_DIR (default BUILD_DIR) and
# its path printed on the last line. The version comes from
# `git describe --tags --always` (0.1.0 when that fails; VARNHOLT_DEB_VERSION
# overrides it), the architecture from
# `dpkg --print-architecture`. Depends is worked out from the shared libraries
# the service binary loads, through the packages that own them.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="$(cd "${1:-$ROOT/build}" && pwd)"
OUT_DIR="${2:-$BUILD_DIR}"
mkdir -p "$OUT_DIR"
OUT_DIR="$(cd "$OUT_DIR" && pwd)"

BINARIES=(varnholt varnholt-nodesim varnholt-info varnholt-debugview varnholt-inikey)
TOOLS=(varnholt-nodesim varnholt-info varnholt-debugview varnholt-inikey)

die() { echo "build-deb: $*" >&2; exit 1; }
command -v dpkg-deb >/dev/null || die "dpkg-deb is missing"
for b in "${BINARIES[@]}"; do
  [ -x "$BUILD_DIR/bin/$b" ] || die "$BUILD_DIR/bin/$b is missing; build the tree first"
done

# Version: a Debian version must start with a digit and has no '-' without a
# revision, so "v1.2-3-gabc" becomes "1.2+3+gabc" and a bare hash "0.1.0+g<hash>".
VERSION="${VARNHOLT_DEB_VERSION:-$(git -C "$ROOT" describe --tags --always 2>/dev/null || true)}"
VERSION="${VERSION#v}"
VERSION="${VERSION//-/+}"
if [ -z "$VERSION" ]; then
  VERSION=0.1.0
elif [ -z "${VARNHOLT_DEB_VERSION:-}" ] && { ! [[ "$VERSION" =~ ^[0-9] ]] || ! git -C "$ROOT" describe --tags >/dev/null 2>&1; }; then
  VERSION="0.1.0+g$VERSION"
fi
ARCH="$(dpkg --print-architecture)"
MAINTAINER="Varnholt team <team@varnholt.example.org>"

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
DEBIAN_SRC="$ROOT/deploy/debian"
DOC="$STAGE/usr/share/doc/varnholt"
SHARE="$STAGE/usr/share/varnholt"

# Binaries, stripped: the crash handler's back-traces name functions from the
# dynamic symbol table, which stripping keeps.
install -d -m 0755 "$STAGE/usr/sbin" "$STAGE/usr/bin"
install -m 0755 "$BUILD_DIR/bin/varnholt" "$STAGE/usr/sbin/varnholt"
for t in "${TOOLS[@]}"; do
  install -m 0755 "$BUILD_DIR/bin/$t" "$STAGE/usr/bin/$t"
done
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$STAGE/usr/sbin/varnholt" \
  "${TOOLS[@]/#/$STAGE/usr/bin/}"
install -m 0755 "$ROOT/scripts/add-node.sh" "$STAGE/usr/sbin/varnholt-add-node"

# Configuration. Zelk.conf is rewritten by the service (ISFULL) and holds the
# database password: it ships in /usr/share and the postinst copies it in
# once. The other files are conffiles.
install -d -m 0755 "$STAGE/etc/varnholt/Config" "$STAGE/etc/varnholt/mysql" "$SHARE/conf"
for conf in "$ROOT"/deploy/install/Zelk/Config/*.conf; do
  case "$(basename "$conf")" in
    Zelk.conf) install -m 0644 "$conf" "$SHARE/conf/Zelk.conf" ;;
    *) install -m 0644 "$conf" "$STAGE/etc/varnholt/Config/" ;;
  esac
done
install -m 0644 "$ROOT/deploy/install/mysql/my.ini" "$STAGE/etc/varnholt/mysql/my.ini"
install -m 0644 "$ROOT"/deploy/sql/*.sql "$SHARE/"

install -d -m 0755 "$STAGE/lib/systemd/system"
# The unit comes from the same source as the one "varnholt -Service" writes.
"$BUILD_DIR/bin/varnholt-unittext" > "$STAGE/lib/systemd/system/varnholt.service" || die "varnholt-unittext failed"
chmod 0644 "$STAGE/lib/systemd/system/varnholt.service"

# Manual pages, copyright and changelog.
for page in "$ROOT"/deploy/man/*.[18]; do
  section="${page##*.}"
  install -d -m 0755 "$STAGE/usr/share/man/man$section"
  gzip -9n < "$page" > "$STAGE/usr/share/man/man$section/$(basename "$page").gz"
  chmod 0644 "$STAGE/usr/share/man/man$section/$(basename "$page").gz"
done
install -d -m 0755 "$DOC"
install -m 0644 "$DEBIAN_SRC/copyright" "$DOC/copyright"
DATE="$(git -C "$ROOT" log -1 --format=%aD 2>/dev/null || date -R)"
{
  echo "varnholt ($VERSION) stable; urgency=medium"
  echo
  echo "  * Build of $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo "a source tree without git")."
  echo
  echo " -- $MAINTAINER  $DATE"
} | gzip -9n > "$DOC/changelog.gz"
chmod 0644 "$DOC/changelog.gz"
install -d -m 0755 "$STAGE/usr/share/lintian/overrides"
install -m 0644 "$DEBIAN_SRC/lintian-overrides" "$STAGE/usr/share/lintian/overrides/varnholt"

# Control area.
install -d -m 0755 "$STAGE/DEBIAN"
SIZE="$(du -sk --exclude=DEBIAN "$STAGE" | cut -f1)"
cat > "$STAGE/DEBIAN/control" <<CONTROL
Package: varnholt
Version: $VERSION
Architecture: $ARCH
Maintainer: $MAINTAINER
Installed-Size: $SIZE
Depends: adduser, $DEPENDS_LINE
Recommends: mariadb-server, mariadb-client
Section: admin
Priority: optional
Description: log centre for remote-access gateway nodes
 Varnholt receives the binary logs that gateway appliances push over TCP,
 checks and condenses them and stores them in one MySQL (MariaDB) database
 per node. It runs as the systemd service varnholt.service under its own
 system user.
CONTROL
( cd "$STAGE" && find ./etc -type f | sed 's|^\.||' | sort ) > "$STAGE/DEBIAN/conffiles"
for s in postinst prerm postrm; do
  install -m 0755 "$DEBIAN_SRC/$s" "$STAGE/DEBIAN/$s"
done
( cd "$STAGE" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z | xargs -0 md5sum ) \
  > "$STAGE/DEBIAN/md5sums"
chmod 0644 "$STAGE/DEBIAN/control" "$STAGE/DEBIAN/conffiles" "$STAGE/DEBIAN/md5sums"

DEB="$OUT_DIR/varnholt_${VERSION}_${ARCH}.deb"
# xz is what dpkg and lintian expect of a package today.
dpkg-deb --build --root-owner-group -Zxz "$STAGE" "$DEB" >/dev/null
echo "$DEB"
