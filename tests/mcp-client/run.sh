#!/usr/bin/env bash
# Installs the pinned MCP SDK and runs the client tests against the built bundle
# (LUMORA_BUILD_DIR, default ../../build).
set -euo pipefail
cd "$(dirname "$0")"
export LUMORA_BUILD_DIR=${LUMORA_BUILD_DIR:-$(cd ../.. && pwd)/build}
if [[ ! -x $LUMORA_BUILD_DIR/Lumora.app/Contents/Helpers/Quillon || ! -x $LUMORA_BUILD_DIR/Lumora.app/Contents/MacOS/Lumora ]]; then
  echo "mcp-client: build Quillon and Lumora first ($LUMORA_BUILD_DIR)" >&2
  exit 1
fi
npm ci --no-audit --no-fund --loglevel=error
node --test --test-concurrency=1 --test-timeout=60000 ./quillon.test.mjs
# The progress tests wait beyond the client's 60-second request time-out on purpose.
node --test --test-concurrency=1 --test-timeout=180000 ./progress.test.mjs
