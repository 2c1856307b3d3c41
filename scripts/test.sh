#!/usr/bin/env bash
# Builds everything (installing what it needs) and runs every test, headless.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${IDCARD_BUILD_DIR:-$root/build}" --output-on-failure -j2
