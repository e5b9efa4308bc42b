#!/usr/bin/env bash
# Installs what the machine lacks, builds the library and its tests with the
# dev preset (warnings are errors) and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset dev -DVEXA_CODEGEN_BUILD_BENCHMARKS=ON  # the benchmarks are built, not run
cmake --build --preset dev
ctest --preset dev -j "$(nproc)"
