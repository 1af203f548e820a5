#!/usr/bin/env bash
# Installs the Debian packages that building and testing renumber need, and any further packages
# named as arguments (the hardening, packaging and benchmark scripts name theirs). Asks for root
# (sudo) only when something is missing.
set -euo pipefail

packages=(cmake g++ make pkg-config libserialport-dev libgtest-dev "$@")

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi
echo "Installing ${missing[*]}" >&2
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
