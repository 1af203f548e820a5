#!/usr/bin/env bash
# CI: builds the Debian package, checks it with lintian (no error, no warning), installs it with
# dpkg, checks the installed programs and manual pages (tests/package/installed.sh), and removes
# the package again, which must leave nothing behind. Exits non-zero on the first failure; the
# package is purged on every exit once installed.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build-release   # the release preset's folder
PACKAGE=renumber

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi
step() { printf '\n== %s\n' "$*"; }
fail() { printf 'ci-package: %s\n' "$*" >&2; exit 1; }
installed() { dpkg-query -W -f='${Status}' "$PACKAGE" 2>/dev/null | grep -q 'install ok installed'; }
# Any trace of the package in dpkg's database, even the config-files state that -r leaves.
known() { [ -n "$(dpkg-query -W -f='${Status}' "$PACKAGE" 2>/dev/null)" ]; }

start=$SECONDS

step "dependencies"
# dpkg-shlibdeps (dpkg-dev) and file find the Depends line, dpkg-buildflags (dpkg-dev) gives the
# hardening flags; man-db renders the installed pages.
scripts/install-deps.sh dpkg-dev file man-db lintian

step "build"
# The release preset (-O2 as Debian builds its packages, no tests), with the distribution's
# hardening flags insisted on; the packaging strips the binaries.
rm -rf "$BUILD"
cmake --preset release -DRENUMBER_DISTRIBUTION_FLAGS=ON >/dev/null
cmake --build --preset release -j "$(nproc)"

step "package"
(cd "$BUILD" && cpack -G DEB)
debs=("$BUILD"/"$PACKAGE"_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "expected one .deb in $BUILD, found: ${debs[*]}"
fi
deb=${debs[0]}
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
depends=$(dpkg-deb --field "$deb" Depends)
for needed in libserialport0 libacl1 libc6; do
    grep -Eq "(^|, )$needed( |,|$)" <<<"$depends" || fail "Depends lacks $needed: $depends"
done

step "lintian"
# Every override in the package carries its reason (--show-overrides lists them, but would count
# them as findings); info and pedantic tags are shown, not fatal.
lintian --fail-on error,warning --display-info --pedantic "$deb" ||
    fail "lintian found errors or warnings in $(basename "$deb")"

step "install"
if known; then
    echo "purging a $PACKAGE package left from an earlier run"
    "${as_root[@]}" dpkg --purge "$PACKAGE"
fi
cleanup() {
    if known; then
        "${as_root[@]}" dpkg --purge "$PACKAGE" >/dev/null || true
    fi
}
trap cleanup EXIT
"${as_root[@]}" dpkg -i "$deb"
installed || fail "dpkg -i did not leave $PACKAGE installed"

step "the installed programs and pages"
tests/package/installed.sh

step "remove"
# No conffiles and no maintainer scripts: removing leaves nothing, not even the config-files state.
"${as_root[@]}" dpkg --remove "$PACKAGE"
! known || fail "dpkg still knows $PACKAGE after dpkg --remove: $(dpkg-query -W -f='${Status}' "$PACKAGE")"
for path in /usr/bin/renumber /usr/bin/motor-sim /usr/bin/renumber-doctor /usr/lib/renumber \
            /usr/share/man/man1/renumber.1.gz /usr/share/man/man1/renumber-doctor.1.gz \
            /usr/share/doc/renumber /usr/share/lintian/overrides/renumber; do
    [ ! -e "$path" ] || fail "$path is still there after dpkg --remove"
done

printf '\nci-package: built, checked, installed, ran and removed %s in %d s\n' "$(basename "$deb")" \
    $((SECONDS - start))
