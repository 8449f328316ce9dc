#!/usr/bin/env bash
# Installs the build into a temporary root and checks what lands there: the
# program (which answers from the installed place), the desktop entry, the
# icon, the manual page and nothing else. With "package" as the second
# argument it also builds the Debian package from the same build and checks
# its control data and lintian's verdict. With "desktop" it checks the
# installed desktop entry with desktop-file-validate, or exits 77 (skipped)
# when that is not installed.
# Usage: install-test.sh BUILD_DIR [package|desktop]
set -euo pipefail

build=$1
mode=${2:-install}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

fail() {
  echo "install-test: $*" >&2
  exit 1
}

if [ "$mode" = package ]; then
  # CPack installs the build into its own staging root and packs that.
  (cd "$root" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$root/out" >"$root/cpack.log") ||
    { cat "$root/cpack.log" >&2; fail "cpack failed"; }
  deb=$(ls "$root"/out/orderdates_*.deb)
  control=$(dpkg-deb --field "$deb")
  grep -q '^Package: orderdates$' <<<"$control" || fail "package name: $control"
  depends=$(dpkg-deb --field "$deb" Depends)
  for dep in libfbclient2 qt6-qpa-plugins libqt6widgets6; do
    grep -q "\\b$dep\\b" <<<"$depends" || fail "Depends lacks $dep: $depends"
  done
  [ "$(dpkg-deb --field "$deb" Recommends)" = "firebird3.0-server-core, qt6-translations-l10n" ] || fail "Recommends: $control"
  # The maintainer and the licence are the build's settings, and they name
  # a real contact, not a documentation address.
  setting() { sed -n "s/^$1:STRING=//p" "$build/CMakeCache.txt"; }
  maintainer=$(dpkg-deb --field "$deb" Maintainer)
  [ "$maintainer" = "$(setting ORDERDATES_MAINTAINER)" ] || fail "Maintainer: $maintainer"
  ! grep -Eiq '[@.](example(\.(com|net|org))?|invalid|localhost|test)>$' <<<"$maintainer" ||
    fail "Maintainer has a placeholder address: $maintainer"
  dpkg-deb -x "$deb" "$root/files"
  doc="$root/files/usr/share/doc/orderdates"
  grep -qxF "License: $(setting ORDERDATES_LICENSE)" "$doc/copyright" || fail "copyright: $(cat "$doc/copyright")"
  grep -qxF "Upstream-Contact: $maintainer" "$doc/copyright" || fail "copyright: $(cat "$doc/copyright")"
  zcat "$doc/changelog.gz" | grep -qF " -- $maintainer  " || fail "changelog not signed by $maintainer"
  # The long description is text, not a CMake list.
  ! dpkg-deb --field "$deb" Description | grep -q ';' || fail "Description: $control"
  # The settings under /etc are the administrator's once changed: a conffile.
  [ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/orderdates.conf ] || fail "conffiles"
  ! grep -Ev '^(#.*)?$' "$root/files/etc/orderdates.conf" || fail "/etc/orderdates.conf sets something"
  dpkg-deb --contents "$deb"
  # Errors fail; warnings and notes are shown.
  lintian --fail-on error --display-info "$deb" || fail "lintian reported errors"
  exit 0
fi

if [ "$mode" = desktop ] && ! command -v desktop-file-validate >/dev/null; then
  echo "install-test: desktop-file-validate is not installed (package desktop-file-utils); skipped"
  exit 77
fi

cmake --install "$build" --prefix "$root/usr" >/dev/null
desktop="$root/usr/share/applications/orderdates.desktop"

if [ "$mode" = desktop ]; then
  # Errors, warnings and hints all fail: the entry is to pass without a remark.
  remarks=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate failed: $remarks"
  [ -z "$remarks" ] || fail "desktop-file-validate: $remarks"
  echo "install-test: the desktop entry validates"
  exit 0
fi

expected="etc/orderdates.conf
usr/bin/orderdates
usr/share/applications/orderdates.desktop
usr/share/doc/orderdates/changelog.gz
usr/share/doc/orderdates/copyright
usr/share/icons/hicolor/scalable/apps/orderdates.svg
usr/share/man/man1/orderdates.1.gz"
actual=$(cd "$root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "installed files:
$actual
expected:
$expected"

[ -x "$root/usr/bin/orderdates" ] || fail "the program is not executable"
version=$(QT_QPA_PLATFORM=no-such-platform "$root/usr/bin/orderdates" --version)
[[ $version =~ ^orderdates\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "installed program says '$version'"

for line in '^\[Desktop Entry\]$' '^Type=Application$' '^Name=.' '^Name\[ru\]=.' '^Exec=orderdates$' \
  '^Icon=orderdates$' '^Terminal=false$' '^Categories=.*\b(Office|Utility);'; do
  grep -Eq "$line" "$desktop" || fail "desktop entry lacks $line"
done

icon="$root/usr/share/icons/hicolor/scalable/apps/orderdates.svg"
grep -q '<svg xmlns="http://www.w3.org/2000/svg"' "$icon" || fail "the icon is no SVG"

page="$root/usr/share/man/man1/orderdates.1.gz"
for section in NAME SYNOPSIS OPTIONS ENVIRONMENT '"EXIT STATUS"' FILES EXAMPLES TROUBLESHOOTING; do
  zcat "$page" | grep -q "^\.SH $section\$" || fail "manual page lacks $section"
done
# The page renders without a complaint from the formatter.
if command -v man >/dev/null; then
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "manual page warnings: $warnings"
fi
echo "install-test: all installed files in place"
