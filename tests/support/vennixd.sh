# Sourced by test scripts: a vennixd of their own in a temporary directory, stopped and removed
# when the script ends.
#   start_vennixd VENNIXD [ARGS...]   starts it on $dir/vennix.sock, log in $dir/vennixd.log
# Sets dir (made at sourcing, readable by other users) and daemon (the pid).
dir=$(mktemp -d) && chmod 0755 "$dir"
daemon=
trap '[ -n "$daemon" ] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null; rm -rf "$dir"' EXIT

start_vennixd() {
  "$1" --socket "$dir/vennix.sock" "${@:2}" 2>"$dir/vennixd.log" &
  daemon=$!
  for _ in $(seq 1 200); do
    [ -S "$dir/vennix.sock" ] && return 0
    sleep 0.05
  done
  echo "FAIL: vennixd did not start"
  cat "$dir/vennixd.log"
  exit 1
}
