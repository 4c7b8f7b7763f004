#!/usr/bin/env bash
# Prepares a fresh machine: Debian build packages, a python3.13 virtual
# environment, and the package installed into it with its test extras.
set -euo pipefail
venv="${1:-.venv}"
cd "$(dirname "$0")/.."

debs=(g++ make cmake pkg-config libicu-dev libssl-dev libsimdjson-dev)

# A python3.13 that actually runs (pyenv shims may exist without the version).
find_python() {
    local c
    for c in python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13 \
             "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /root/.pyenv/versions/3.13*/bin/python3.13; do
        if "$c" -c 'import sys, venv; assert sys.version_info[:2] >= (3, 13)' >/dev/null 2>&1; then
            command -v "$c" 2>/dev/null || echo "$c"
            return 0
        fi
    done
    return 1
}

missing=()
for p in "${debs[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ! find_python >/dev/null; then
    missing+=(python3.13 python3.13-venv python3.13-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ]; then
        echo "Installing Debian packages: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    else
        echo "Missing Debian packages. Run:"
        echo "  sudo apt-get install -y ${missing[*]}"
        exit 1
    fi
fi

python="$(find_python)" || { echo "No python3.13 found" >&2; exit 1; }

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q '.[test]'
