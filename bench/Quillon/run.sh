#!/usr/bin/env bash
# Quillon's benchmarks against the release build (`cmake --build --preset release`), everything
# pinned to processor 0: its own cost over the bare exchange, start-up against a one-line C
# program, memory over 100 000 calls, and the official SDK client's view of Quillon against a
# TypeScript SDK server bridging to the same app. Reports; asserts nothing.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${LUMORA_BUILD_DIR:-build-release}
[[ -d tests/mcp-client/node_modules ]] || (cd tests/mcp-client && npm ci --no-audit --no-fund --loglevel=error)
taskset -c 0 "$build/bench/Quillon/QuillonEndToEndBenchmark"
taskset -c 0 node bench/Quillon/sdk-peer/compare.mjs "$build/Lumora.app" "${QUILLON_PEER_CALLS:-3000}"
