#!/usr/bin/env bash
# Mutation run: puts each fault of tests/mutations.tsv into the product in
# turn, builds, runs the tests and prints whether a test noticed. Not in CI.
#   scripts/mutate.sh [--list|--check] [NAME-or-PATTERN ...]
set -euo pipefail
exec python3 "$(dirname "$0")/mutate.py" "$@"
