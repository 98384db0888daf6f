#!/usr/bin/env bash
# Builds the Debian package kv-redurozozi_<version>_amd64.deb and prints its
# path on the last line. The version is the project's (CMakeLists.txt), with
# KV_VERSION_SUFFIX appended for a local rebuild (e.g. KV_VERSION_SUFFIX=+lab1).
# The service is built in its own folder (KV_DEB_BUILD_DIR, default build-deb)
# with Debian's hardening flags; the dependencies come from the binary
# (dpkg-shlibdeps) and lintian checks the result: an error fails the build.
#
#   bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${KV_DEB_BUILD_DIR:-build-deb}
SUFFIX=${KV_VERSION_SUFFIX:-}
PKG=kv-redurozozi
APP=opt/kvredurozozi
OUT_DIR=/var/opt/kvredurozozi/saida/

for tool in dpkg-deb dpkg-shlibdeps dpkg-buildflags strip; do
  command -v "$tool" >/dev/null || { echo "package: $tool is missing (bash scripts/setup.sh installs it)" >&2; exit 1; }
done

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
fi
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF -DKV_VERSION_SUFFIX="$SUFFIX" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" "${launcher[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j"${JOBS:-2}" --target kv_redurozozi systemd-unit

VERSION=$(cat "$BUILD_DIR/version.txt")
if ! [[ $VERSION =~ ^[0-9][A-Za-z0-9.+~]*$ ]]; then
  echo "package: '$VERSION' is no Debian version (check KV_VERSION_SUFFIX)" >&2
  exit 1
fi

STAGE=$ROOT/$BUILD_DIR/deb-root
rm -rf "$STAGE"
mkdir -p "$STAGE/DEBIAN" "$STAGE/$APP" "$STAGE/lib/systemd/system" "$STAGE/usr/share/$PKG" \
  "$STAGE/usr/share/doc/$PKG" "$STAGE/usr/share/lintian/overrides"

install -m 0755 "$BUILD_DIR/kv_redurozozi" "$STAGE/$APP/kv_redurozozi"
strip --remove-section=.comment --remove-section=.note "$STAGE/$APP/kv_redurozozi"
sed "s|@PASTA_SAIDA@|$OUT_DIR|" packaging/kv_redurozozi.example.json.in >"$STAGE/$APP/kv_redurozozi.example.json"
sed "s|@PASTA_SAIDA@|$OUT_DIR|" packaging/kv_redurozozi.json.in >"$STAGE/usr/share/$PKG/kv_redurozozi.json"
# The unit "kv_redurozozi --install --user kvredurozozi" would write, made by the same code.
"$BUILD_DIR/systemd-unit" --exec "/$APP/kv_redurozozi" --user kvredurozozi >"$STAGE/lib/systemd/system/kvredurozozi.service"

# Documentation: the copyright, a changelog dated like the last commit (so the
# same sources give the same package), the README.
cp packaging/debian/copyright "$STAGE/usr/share/doc/$PKG/copyright"
when=$(git log -1 --format=%ct 2>/dev/null || date +%s)
{
  echo "$PKG ($VERSION) unstable; urgency=medium"
  echo
  echo "  * Built from the kv_redurozozi sources, version $VERSION."
  echo
  echo " -- $(sed -n 's/^Maintainer: //p' packaging/debian/control.in)  $(LC_ALL=C date -R -u -d "@$when")"
} | gzip -9n >"$STAGE/usr/share/doc/$PKG/changelog.gz"
gzip -9n <README.md >"$STAGE/usr/share/doc/$PKG/README.md.gz"
cp packaging/debian/lintian-overrides "$STAGE/usr/share/lintian/overrides/$PKG"
find "$STAGE" -type f -exec chmod go-w {} + -o -type d -exec chmod 0755 {} +
find "$STAGE/usr" "$STAGE/lib" "$STAGE/$APP" -type f ! -name kv_redurozozi -exec chmod 0644 {} +

# Dependencies from the binary's shared libraries (dpkg-shlibdeps wants a debian/control to read).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: amd64\n' "$PKG" "$PKG" >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O "$STAGE/$APP/kv_redurozozi" | sed -n 's/^shlibs:Depends=//p')
[[ -n $shlibs ]] || { echo "package: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

install -m 0755 packaging/debian/postinst packaging/debian/prerm packaging/debian/postrm "$STAGE/DEBIAN/"
size=$(du -k -s --exclude=DEBIAN "$STAGE" | cut -f1)
sed -e "s|@VERSION@|$VERSION|" -e "s|@SHLIBS@|$shlibs|" -e "s|@INSTALLED_SIZE@|$size|" \
  packaging/debian/control.in >"$STAGE/DEBIAN/control"
(cd "$STAGE" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
  >"$STAGE/DEBIAN/md5sums"
chmod 0644 "$STAGE/DEBIAN/control" "$STAGE/DEBIAN/md5sums"

DEB=$ROOT/$BUILD_DIR/${PKG}_${VERSION}_amd64.deb
SOURCE_DATE_EPOCH=$when dpkg-deb --root-owner-group -Zxz --build "$STAGE" "$DEB" >/dev/null

if command -v lintian >/dev/null; then
  echo "package: lintian $DEB"
  # Errors fail the package; warnings and the rest are shown.
  lintian --display-info --fail-on error "$DEB"
else
  echo "package: lintian is missing, the package is not checked (bash scripts/setup.sh installs it)" >&2
fi
echo "$DEB"
