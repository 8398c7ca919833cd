# Sourced by the tests that run pellora against a real X11 desktop shell. The test gets its own
# Xvfb display (one output: Qt and the shells agree on it), its own D-Bus session bus, a private
# HOME and XDG folders, and the user's own picture at a path with every character a shell or a
# desktop's parser could trip on. Processes started with `start` are stopped at the end.
# The test script sets `needed` (programs that must be installed, or the test fails) and
# sources this file with its own arguments: <pellora> <screenshot folder>.
set -uo pipefail
pellora=$1 shots=$2
. "$(dirname "${BASH_SOURCE[0]}")/missing.sh"
needed+=(/usr/bin/python3 dbus-run-session gdbus import convert)
for program in "${needed[@]}"; do
  command -v "$program" >/dev/null 2>&1 || [ -e "$program" ] || missing "$program is not installed"
done
/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null || missing "python3-gi is not installed"
# A bus of its own: the shells take well-known names (the tray watcher, xfconf) that other tests
# on the session's bus must not see.
if [ -z "${PELLORA_SHELL_TEST_BUS:-}" ]; then
  export PELLORA_SHELL_TEST_BUS=1
  exec dbus-run-session -- "$0" "$@"
fi
mkdir -p "$shots"

started=() xvfb_pid=
cleanup() {
  local pid
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do
    pid=${started[i]}
    kill -TERM "$pid" 2>/dev/null
  done
  sleep 0.3
  for pid in "${started[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  [ -n "$xvfb_pid" ] && kill -TERM "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
  echo "FAIL: $*"
  take_screenshot "$shots/$(basename "$0" .sh)-failure.png" 2>/dev/null &&
    echo "screenshot: $shots/$(basename "$0" .sh)-failure.png"
  for log in "$root"/*.log; do
    [ -s "$log" ] && { echo "--- $(basename "$log")"; tail -30 "$log"; }
  done
  exit 1
}

# One output of 1920x1080 (the display Xvfb picks is free), unless the shell is its own display
# server and the test set own_display=1.
if [ -z "${own_display:-}" ]; then
  # Another server may take the number Xvfb chose between its choice and its listening: again.
  display=
  for _ in 1 2 3; do
    exec {displayfd}<> <(:)
    Xvfb -displayfd "$displayfd" -screen 0 1920x1080x24 +extension RANDR -nolisten tcp -noreset \
      >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1 100); do
      read -r -t 0.1 -u "$displayfd" display && [ -n "$display" ] && break
      kill -0 "$xvfb_pid" 2>/dev/null || break
    done
    exec {displayfd}>&-
    [ -n "$display" ] && break
    wait "$xvfb_pid" 2>/dev/null
  done
  [ -n "$display" ] || { echo "FAIL: Xvfb did not start"; exit 1; }
  export DISPLAY=":$display"
else
  export DISPLAY=${DISPLAY:-:0}
fi

source "$(dirname "$0")/../support/private-home.sh"
source "$(dirname "$0")/../../bench/memory-report.sh"
unset GSETTINGS_BACKEND
# By the clock: a check here may take a screenshot, longer than the pause between checks.
wait_for() { # seconds, command...
  local end=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 0.2
  done
}
export LANGUAGE=en LANG=C.UTF-8 TZ=Europe/Rome NO_AT_BRIDGE=1
# Services the bus starts (dconf, kded, …) live in the same private folders and display.
dbus-update-activation-environment HOME XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME \
  XDG_RUNTIME_DIR DISPLAY LANGUAGE LANG TZ NO_AT_BRIDGE 2>/dev/null

# `start NAME COMMAND...`: in the background, its output in NAME.log, stopped at the end.
start() {
  local name=$1
  shift
  "$@" >"$root/$name.log" 2>&1 &
  started+=($!)
}

# The user's own picture: a solid colour, so a screenshot tells it from the agenda.
user_dir="$root/pictures/Ünïcödé (my) 'own' \"best\" \$HOME #1 ~ & ; , \`id\` ø"
mkdir -p "$user_dir"
user_picture="$user_dir/fête d'été \$x #2 (1) ~ & ; , \`id\`.png"
user_colour='#d2691e'
convert -size 64x64 "xc:$user_colour" "$user_picture"
# Its file URI, for the shells that keep one; and back.
user_uri=$(/usr/bin/python3 -c 'import pathlib, sys; print(pathlib.Path(sys.argv[1]).as_uri())' \
  "$user_picture")
uri_path() {
  [[ $1 == file://* ]] &&
    /usr/bin/python3 -c 'import sys, urllib.parse; print(urllib.parse.unquote(sys.argv[1][7:]))' "$1"
}

# The tray application with its wallpaper switched on.
printf '{"assignments":{},"calendarNames":{},"screens":{},"activated":true}' \
  >"$XDG_DATA_HOME/Brivane/preferences.json"

# The whole screen as the user sees it, into a PNG; a shell that composes the screen itself
# redefines it with its own screenshot call.
take_screenshot() { import -window root "$1"; }
# Boxes of the screen away from panels, desktop icons and windows (the bottom right corner of
# each output), and the size of the whole screen.
probe_boxes=(200x200+1650+820)
screen_size=1920x1080
# The colour of each box, "#rrggbb" each.
box_colours() { # image
  local box
  for box in "${probe_boxes[@]}"; do
    convert "$1" -crop "$box" +repage -scale '1x1!' -type TrueColor -depth 8 txt:- |
      grep -o '#[0-9A-Fa-f]\{6\}' | head -1
  done
}
# Colours within a small distance of each other (the shells may dither or scale).
close_colours() {
  local a=$1 b=$2 d=0 i x y
  for i in 1 3 5; do
    x=$((16#${a:i:2})) y=$((16#${b:i:2}))
    d=$((d + (x > y ? x - y : y - x)))
  done
  [ "$d" -le 24 ]
}
# The screen shows the image file (its own pixels, scaled to the screen) in every box, and not the
# user's colour.
wanted_file= want=()
screen_shows() { # file
  local got i
  if [ "$1" != "$wanted_file" ]; then
    convert "$1" -resize "$screen_size!" "$root/wanted.png" || return 1
    want=($(box_colours "$root/wanted.png"))
    wanted_file=$1
  fi
  take_screenshot "$root/screen.png" || return 1
  got=($(box_colours "$root/screen.png"))
  echo "$SECONDS s: boxes: want ${want[*]}, got ${got[*]}, user $user_colour" >>"$root/colours.log"
  [ "${#got[@]}" -eq "${#probe_boxes[@]}" ] || return 1
  for i in "${!got[@]}"; do
    close_colours "${want[i]}" "${got[i]}" && ! close_colours "$user_colour" "${got[i]}" || return 1
  done
}
# Every box shows the user's colour.
screen_shows_user() {
  local got colour
  take_screenshot "$root/screen.png" || return 1
  got=($(box_colours "$root/screen.png"))
  echo "$SECONDS s: boxes: want the user's $user_colour, got ${got[*]}" >>"$root/colours.log"
  [ "${#got[@]}" -eq "${#probe_boxes[@]}" ] || return 1
  for colour in "${got[@]}"; do
    close_colours "$user_colour" "$colour" || return 1
  done
}

# The items registered with the StatusNotifierWatcher.
registered_items() {
  gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
    --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher \
    RegisteredStatusNotifierItems 2>/dev/null
}
# pellora's icon among them: each item names the bus name that serves it ("NAME/PATH", "NAME@PATH"
# or NAME), whose owner is the process.
pellora_item_registered() { # pid
  local item
  for item in $(registered_items | grep -o "'[^']*'" | tr -d "'"); do
    [ "$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.GetConnectionUnixProcessID "${item%%[/@]*}" 2>/dev/null |
      grep -o '[0-9]\+' | tail -1)" = "$1" ] && return 0
  done
  return 1
}

# A string key of GSettings, read or written as it is (no quoting to undo): string SCHEMA KEY [VALUE]
gsettings_string() {
  /usr/bin/python3 -c '
import sys
from gi.repository import Gio
settings = Gio.Settings.new(sys.argv[1])
if len(sys.argv) > 3:
    settings.set_string(sys.argv[2], sys.argv[3])
    Gio.Settings.sync()
else:
    print(settings.get_string(sys.argv[2]))' "$@"
}

# `--verify-wallpaper`, `--display-info`: the command-line checks a user would run.
run_pellora() { # name, arguments...
  local name=$1
  shift
  "$pellora" "$@" >"$root/$name.log" 2>&1
}

# The steps every shell test takes once its shell shows the user's picture. The test defines
# `shell_settings` (prints the shell's own record of the wallpaper: keys and values) and `agenda`
# (prints the image file the shell shows when it is not the user's), and sets `before` to what
# shell_settings printed with the user's picture.
settings_as_before() { [ "$(shell_settings)" = "$before" ]; }

# --display-info lists the shell's outputs: so many, named so (a pattern), 1920 wide each.
expect_outputs() { # count, name pattern
  run_pellora display-info --display-info || fail "--display-info failed"
  [ "$(grep -c "\"name\": \"$2\"" "$root/display-info.log")" -eq "$1" ] &&
    [ "$(grep -c '"width": "1920"' "$root/display-info.log")" -eq "$1" ] ||
    fail "--display-info: $(cat "$root/display-info.log")"
}

# --verify-wallpaper passes and leaves the shell's settings as they were (the shell may write
# them a moment later).
expect_verified() {
  run_pellora verify --verify-wallpaper || fail "--verify-wallpaper failed"
  grep -q '^PASS' "$root/verify.log" || fail "--verify-wallpaper: $(cat "$root/verify.log")"
  wait_for 10 settings_as_before ||
    fail "after --verify-wallpaper: $(diff <(echo "$before") <(shell_settings))"
}

screen_shows_agenda() { screen_shows "$(agenda)"; }

# The tray application as a login starts it.
start_tray_app() {
  "$pellora" >"$root/pellora.log" 2>&1 &
  pellora_pid=$!
  started+=("$pellora_pid")
}

# The tray application sets its agenda (and, with "tray", registers its icon), the screen shows
# it; SIGTERM ends it with the user's picture and settings back exactly.
expect_shown_then_restored() { # screenshot name, [tray]
  wait_for 40 agenda || fail "the wallpaper was never set"
  [ -f "$(agenda)" ] || fail "the wallpaper $(agenda) is no file"
  if [ "${2:-}" = tray ]; then
    wait_for 20 pellora_item_registered "$pellora_pid" ||
      fail "no tray icon registered: $(registered_items)"
  fi
  # The agenda may be drawn again meanwhile (a new hour's colours): the file shown now.
  wait_for 60 screen_shows_agenda || fail "the screen does not show $(agenda)"
  take_screenshot "$shots/$1-agenda.png"
  idle_memory_report "$pellora_pid" "$1"
  kill -TERM "$pellora_pid"
  wait_for 15 bash -c "! kill -0 $pellora_pid" || fail "SIGTERM did not end Pellora"
  wait_for 10 settings_as_before ||
    fail "after SIGTERM: $(diff <(echo "$before") <(shell_settings))"
  wait_for 60 screen_shows_user || fail "the screen does not show the user's picture again"
  # And they stay so, where the shell writes its settings on a timer (`late_writes`, seconds).
  if [ -n "${late_writes:-}" ]; then
    sleep "$late_writes"
    settings_as_before || fail "later after SIGTERM: $(diff <(echo "$before") <(shell_settings))"
  fi
  echo PASS
}
