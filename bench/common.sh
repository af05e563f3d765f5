# Shared by the comparison scripts: sourced, not run.

# install_missing PACKAGE...: installs the Debian packages given, if any.
install_missing() {
  [ $# -gt 0 ] || return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y --no-install-recommends "$@"
}

# best COMMAND...: the best wall time and the best processor time (user +
# system, all threads and child processes) of RUNS runs, as "wall cpu" in
# seconds. On a shared machine the wall time swings with the load; the
# processor time much less.
best() {
  local best_w="" best_c="" w u sy c out
  out=$(mktemp)
  for _ in $(seq "$RUNS"); do
    if ! { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>"$out"; then
      echo "failed: $*" >&2
      rm -f "$out"
      echo "nan nan"
      return
    fi
    read -r w u sy <"$out"
    c=$(awk -v a="$u" -v b="$sy" 'BEGIN { printf "%.3f", a + b }')
    if [ -z "$best_w" ] || awk -v a="$w" -v b="$best_w" 'BEGIN { exit !(a < b) }'; then best_w=$w; fi
    if [ -z "$best_c" ] || awk -v a="$c" -v b="$best_c" 'BEGIN { exit !(a < b) }'; then best_c=$c; fi
  done
  rm -f "$out"
  echo "$best_w $best_c"
}
