#!/usr/bin/env bash
# Sets up, builds and runs every test. Extra arguments go to ctest (for example: -L patcher).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
cd "$BUILD_DIR"
ctest --output-on-failure -j "$(nproc)" "$@"
