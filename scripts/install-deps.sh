#!/usr/bin/env bash
# Installs the Debian packages that building and testing renumber need, and any further packages
# named as arguments (the hardening, packaging and benchmark scripts name theirs). Does nothing
# when all are installed. Otherwise installs them as root, through sudo when run by another user;
# when that is not possible, says which command to run as root and exits 1. apt's and dpkg's
# progress goes to a log file: one line names what is installed and the log, and a failure shows
# the log's end.
set -euo pipefail

# libacl1-dev: renumber-doctor reads ACLs through libacl. dpkg-dev brings dpkg-buildflags, whose hardening flags every release build carries.
packages=(cmake g++ make pkg-config libserialport-dev libacl1-dev libgtest-dev dpkg-dev "$@")

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

# What a person without sudo can do: one command to run as root, then run again.
instruct() {
    local why=$1
    cat >&2 <<EOF
install-deps: these Debian packages are missing: ${missing[*]}
install-deps: $why. Install them as root, then run this again:
    su -c 'apt-get update && apt-get install ${missing[*]}'
(or, in a root shell: apt-get install ${missing[*]})
EOF
    exit 1
}

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        instruct "installing them needs root, and sudo is not installed"
    fi
    # sudo may ask for a password only where someone can type it.
    if [ -t 0 ]; then
        as_root=(sudo)
    else
        as_root=(sudo -n)
    fi
    # Asks once, up front, so that a refusal ends here with the instruction.
    if ! "${as_root[@]}" true; then
        instruct "installing them needs root, and sudo refused"
    fi
fi

log=$(mktemp "${TMPDIR:-/tmp}/renumber-install-deps.XXXXXX.log")
chmod 0644 "$log"
# One line: what is being installed and where apt's output goes, then done or the log's end.
printf 'install-deps: installing %s (log: %s) ... ' "${missing[*]}" "$log" >&2
if ! { "${as_root[@]}" apt-get update &&
       "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
           apt-get install -y --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    printf 'FAILED; the end of the log:\n' >&2
    tail -n 25 "$log" >&2
    exit 1
fi
printf 'done\n' >&2
