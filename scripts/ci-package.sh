#!/usr/bin/env bash
# CI: builds the Debian package, checks it with lintian (no error, no warning), installs it with
# dpkg, runs the installed renumber, motor-sim and renumber-doctor, checks the installed manual
# pages, and removes the package again, which must leave nothing behind. Exits non-zero on the
# first failure; the package is purged on every exit once installed.
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

step "run the installed programs"
# From an empty folder with the system's PATH only, so nothing from the build tree is used.
workdir=$(mktemp -d)
trap 'cleanup; rm -rf "$workdir"' EXIT
cd "$workdir"
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
for program in renumber motor-sim renumber-doctor; do
    where=$(command -v "$program") || fail "$program is not on PATH after installing"
    [ "$where" = "/usr/bin/$program" ] || fail "$program resolves to $where, not /usr/bin/$program"
done

status=0
renumber >usage.txt || status=$?
cat usage.txt
[ "$status" -eq 0 ] || fail "renumber without arguments exited with $status, not 0"
grep -qx 'usage: renumber \[tty device\] \[id\] \[target_id\] (motor type)' usage.txt ||
    fail "renumber without arguments did not print its usage text"

status=0
motor-sim -- renumber /dev/ttyUSB0 0 1 >run.txt 2>trace.txt || status=$?
cat run.txt trace.txt
[ "$status" -eq 0 ] || fail "motor-sim -- renumber /dev/ttyUSB0 0 1 exited with $status, not 0"
grep -qx 'OK! Changed. Now the motor ID:1' run.txt || fail "renumber did not report the change"
grep -q 'motor #0: identifier 0 → 1' trace.txt || fail "the simulated motor was not renumbered"

# renumber-doctor only reads the machine: its usage, and its verdict on a device that is absent.
status=0
renumber-doctor --help >doctor-usage.txt || status=$?
cat doctor-usage.txt
[ "$status" -eq 0 ] || fail "renumber-doctor --help exited with $status, not 0"
grep -q '^usage: renumber-doctor ' doctor-usage.txt || fail "renumber-doctor --help shows no usage"
status=0
renumber-doctor /dev/ttyUSB99 >doctor.txt || status=$?
cat doctor.txt
[ "$status" -eq 2 ] || fail "renumber-doctor on an absent device exited with $status, not 2"
grep -Eq '^FAIL +device +/dev/ttyUSB99 ' doctor.txt ||
    fail "renumber-doctor did not report /dev/ttyUSB99 as missing"

step "manual pages"
for page in renumber motor-sim renumber-doctor; do
    file=/usr/share/man/man1/$page.1.gz
    [ -f "$file" ] || fail "$file is not installed"
    gzip -t "$file"
done
# The usage text quoted in renumber(1) must be what the installed tool prints, byte for byte.
LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings /usr/share/man/man1/renumber.1.gz >renumber.man \
    2>man-warnings.txt
[ ! -s man-warnings.txt ] || { cat man-warnings.txt; fail "renumber(1) renders with warnings"; }
awk '/^ *Motor ID change tool\.$/ { match($0, /^ */); indent = RLENGTH; on = 1 }
     on { print (length($0) > indent ? substr($0, indent + 1) : "") }
     on && /Use with caution\)$/ { exit }' renumber.man >quoted-usage.txt
diff -u usage.txt quoted-usage.txt || fail "renumber(1) does not quote the usage text exactly"
for page in motor-sim renumber-doctor; do
    LC_ALL=C.UTF-8 man --warnings "/usr/share/man/man1/$page.1.gz" >"$page.man" 2>man-warnings.txt
    [ ! -s man-warnings.txt ] || { cat man-warnings.txt; fail "$page(1) renders with warnings"; }
done
# man renumber-doctor finds the page by name once the package is installed.
LC_ALL=C.UTF-8 man -w renumber-doctor | grep -qx /usr/share/man/man1/renumber-doctor.1.gz ||
    fail "man does not find renumber-doctor(1)"
grep -Eq '^ *renumber-doctor - ' renumber-doctor.man || fail "renumber-doctor(1) has no NAME line"

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
