#!/usr/bin/env bash
# Installs what the machine lacks and builds the library in release mode.
# The demonstration driver is not part of the code base yet; once it is, this
# command builds and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release
cmake --build --preset release
echo "Built the vexa_codegen library (build/release); the demonstration driver does not exist yet."
