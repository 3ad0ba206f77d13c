#!/bin/sh
# Runs node with the arguments given, or skips the test (77) where node is
# not installed.
command -v node >/dev/null 2>&1 || { echo "node is not installed: skipped"; exit 77; }
exec node "$@"
