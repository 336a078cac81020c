#!/usr/bin/env bash
# The main job: sets up, builds, and shows what there is.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
echo "Built: $(ls build-release)"
