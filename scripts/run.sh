#!/usr/bin/env bash
# Builds rq7 and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target rq7 rq7sim
exec ./build/ui/rq7
