#!/usr/bin/env bash
# Installs what the machine lacks, builds the benchmark programs in release mode
# (the bench preset) and runs every benchmark: each one is repeated and reported
# by its mean, median and spread. Arguments are passed on to the benchmark
# program, e.g. --benchmark_filter=PlanDemonstration or --benchmark_repetitions=1.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset bench
cmake --build --preset bench
./build/bench/bench/vexa_codegen_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true "$@"
