#!/usr/bin/env bash
# Installs the Debian packages this project needs that the machine lacks.
# Idempotent: packages already installed are left alone, and apt-get runs
# only when something is missing.
set -euo pipefail

packages=(
  g++
  cmake
  ninja-build
  googletest
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libtbb-dev
  nlohmann-json3-dev
  graphviz
  clang-19
  libclang-rt-19-dev
  llvm-19
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
