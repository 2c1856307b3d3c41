#!/usr/bin/env bash
# Builds the program (installing what it needs) and starts it from its program folder.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
exec "${IDCARD_BUILD_DIR:-$root/build}/program/idcard"
