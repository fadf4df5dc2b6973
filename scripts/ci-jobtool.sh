#!/bin/bash
# CI step: the README's main job must run on the bundled examples.
# (jobtool's own tests run with the others through ctest.)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/demo.sh >/dev/null
echo "demo: 1 passed, 0 failed"
