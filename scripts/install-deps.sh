#!/bin/sh
# Installs the Debian packages the project needs, only those that are missing.
# Usage: scripts/install-deps.sh package...
set -eu
missing=""
for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
    run=""
elif command -v sudo >/dev/null 2>&1; then
    run="sudo"
else
    echo "error: missing packages:$missing (run as root or install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$run apt-get update -qq
# shellcheck disable=SC2086
$run apt-get install -y -qq --no-install-recommends $missing
