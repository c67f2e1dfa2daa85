#!/usr/bin/env bash
# Every #include goes down the folder ladder; the checker itself must catch a wrong one.
set -euo pipefail
cd "$(dirname "$0")/../.."
python3 scripts/check_layers.py --self-test
python3 scripts/check_layers.py
