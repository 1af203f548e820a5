#!/usr/bin/env bash
# The installed package, as scripts/ci-package.sh leaves it installed: renumber, motor-sim and
# renumber-doctor on PATH from /usr/bin, each doing its job, and the manual pages rendering
# without warnings, renumber(1) quoting the installed tool's usage text byte for byte.
set -euo pipefail
fail() { printf 'installed: %s\n' "$*" >&2; exit 1; }

# From an empty folder with the system's PATH only, so nothing from the build tree is used.
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
cd "$workdir"
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
for program in renumber motor-sim renumber-doctor; do
    where=$(command -v "$program") || fail "$program is not on PATH after installing"
    [ "$where" = "/usr/bin/$program" ] || fail "$program resolves to $where, not /usr/bin/$program"
done

# No program of the tests ships: the package's programs and libraries are these and no others.
extra=$(dpkg -L renumber | grep -E '^/usr/(s?bin|lib|libexec)/.' | grep -vx -e /usr/bin/renumber \
    -e /usr/bin/motor-sim -e /usr/bin/renumber-doctor -e /usr/lib/renumber \
    -e /usr/lib/renumber/libmotor-sim-adapter.so || true)
[ -z "$extra" ] || fail "the package ships more than its programs and the layer: $extra"

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
