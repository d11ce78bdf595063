#!/usr/bin/env bash
# Installs what building and testing corvanedb needs, when it is missing:
# Debian packages (compilers, BLAKE3 reference sources, nlohmann/json, abseil, GoogleTest)
# and the Python packages of the test suite. Safe to run again.
set -euo pipefail

debian_packages=(g++ cmake ninja-build pkg-config librust-blake3-dev nlohmann-json3-dev libabsl-dev libgtest-dev)
missing=()
for p in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore scikit-build-core pytest hypothesis mypy build
