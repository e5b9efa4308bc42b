#!/usr/bin/env bash
# Installs what the machine lacks, builds the demonstration driver in release
# mode and runs it: the summary goes to standard output, the best candidate's
# DOT rendering to build/plan.dot, and (when Graphviz is installed) its SVG
# rendering to build/plan.svg.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release
cmake --build --preset release --target vexa_codegen_demo
./build/release/examples/vexa_codegen_demo build/plan.dot
if command -v dot >/dev/null 2>&1; then
  dot -Tsvg build/plan.dot -o build/plan.svg
  echo "Wrote build/plan.dot and build/plan.svg"
else
  echo "Wrote build/plan.dot (install graphviz to render it as SVG)"
fi
