#!/usr/bin/env bash
# Lists every include in src/ that reaches a folder above its own and every
# Qt header outside the platform layer and the window files; fails on any.
# The folders from the bottom up: each may include only itself and those below.
set -euo pipefail
cd "$(dirname "$0")/../src"

rank() {
  case "$1" in
    imaging/core/*) echo 0 ;;
    imaging/proc/*) echo 1 ;;
    imaging/formats/*) echo 2 ;;
    imaging/io/*) echo 3 ;;
    imaging/view/*) echo 4 ;;
    browse/*) echo 5 ;;
    platform/*) echo 6 ;;
    app/*) echo 7 ;;
    *) echo -1 ;;
  esac
}

# Files that may use Qt: the platform layer, the windows and the start-up file.
qt_allowed() {
  case "$1" in
    platform/*|app/*Dlg.h|app/*Dlg.cpp|app/pictrova.cpp) return 0 ;;
    *) return 1 ;;
  esac
}

bad=0
while IFS= read -r -d '' file; do
  from=$(rank "$file")
  if [ "$from" -lt 0 ]; then
    echo "$file: lies in no layer folder"
    bad=1
    continue
  fi
  while IFS= read -r line; do
    n=${line%%:*}
    target=$(sed -E 's/.*#include[[:space:]]*"([^"]+)".*/\1/' <<<"${line#*:}")
    to=$(rank "$target")
    if [ "$to" -gt "$from" ]; then
      echo "$file:$n: includes \"$target\" from a layer above"
      bad=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
  if ! qt_allowed "$file" && grep -qE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' "$file"; then
    echo "$file: includes a Qt header outside the platform layer and the windows"
    bad=1
  fi
done < <(find . \( -name '*.h' -o -name '*.cpp' \) -print0 | sed -z 's#^\./##')

if [ "$bad" -ne 0 ]; then
  echo "check-layers: includes go upward (order: core, proc, formats, io, view, browse, platform, app)"
  exit 1
fi
echo "check-layers: every include goes to its own layer or one below"
