# Sourced by the shell tests and benchmarks that start pellora as a user has it: needs a display,
# makes a private HOME and XDG folders under $root (the caller's cleanup removes $root), puts
# GNOME's settings on the keyfile backend, and defines wait_for.
[ -n "${DISPLAY:-}" ] || { echo "needs a display (run inside scripts/with-session)"; exit 1; }
root=$(mktemp -d)
export HOME=$root/home XDG_CONFIG_HOME=$root/config XDG_DATA_HOME=$root/data \
  XDG_CACHE_HOME=$root/cache XDG_RUNTIME_DIR=$root/runtime
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/Brivane" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export GSETTINGS_BACKEND=keyfile XDG_CURRENT_DESKTOP=GNOME
wait_for() { # seconds, command...
  local limit=$1; shift
  for _ in $(seq 1 $((limit * 10))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
