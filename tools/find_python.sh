#!/bin/sh
# Prints the path of the Python that builds and tests velorin: for the versions
# given (default 3.13, then 3.12), the first pythonX.Y on PATH that runs, else
# the newest pyenv install of the first version that has one. Prints nothing
# and fails when there is none. The Makefile (PYTHON) and CI (.ci/run) both
# ask it, so that they choose alike.
versions=${*:-3.13 3.12}
for v in $versions; do
  if "python$v" -c 'import sys; assert sys.version_info >= (3, 12)' >/dev/null 2>&1; then
    command -v "python$v"
    exit 0
  fi
done
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for v in $versions; do
  for p in $(ls -d "$root"/versions/"$v"* 2>/dev/null | sort -rV); do
    if [ -x "$p/bin/python$v" ]; then
      echo "$p/bin/python$v"
      exit 0
    fi
  done
done
exit 1
