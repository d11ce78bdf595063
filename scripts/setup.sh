#!/usr/bin/env bash
# Installs the Debian packages that building and testing corvanedb needs, when they are
# missing: compilers and build tools, BLAKE3 reference sources, nlohmann/json, abseil,
# GoogleTest, Python's venv, and Graphviz (for `corvanedb draw`). Safe to run again.
# Python packages go into the project's virtual environment (scripts/venv.sh), never into
# the system interpreter.
set -euo pipefail

debian_packages=(g++ cmake ninja-build pkg-config librust-blake3-dev nlohmann-json3-dev libabsl-dev
                 libgtest-dev python3-dev python3-venv graphviz)
missing=()
for p in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing Debian packages: ${missing[*]} ..." >&2
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
