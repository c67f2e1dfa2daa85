#!/usr/bin/env bash
# Builds the renderer and answers its capability query.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target vaskel_renderer
./build/linux/vaskel_renderer --transport-capacity
