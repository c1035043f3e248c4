#!/usr/bin/env bash
# Recordings as they are stored, written by their own tools: runs formats_test.py with a Python
# that has numpy.
# Usage: formats_test.sh <anasig-binary> <source-dir> <build-dir>
set -u
for py in python3 /usr/bin/python3; do
  if "$py" -c 'import numpy' 2>/dev/null; then
    exec "$py" "$2/tests/formats_test.py" "$1"
  fi
done
echo "formats_test: no Python with numpy (scripts/install-deps test)" >&2
exit 1
