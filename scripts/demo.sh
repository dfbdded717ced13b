#!/usr/bin/env bash
# Sets up, builds and runs the program's main job.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
"$BUILD_DIR/tl3-release" --help
