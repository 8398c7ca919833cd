#!/usr/bin/env bash
# Pellora on a real Plasma 5.27: plasmashell draws the desktop and holds the tray (its system tray
# applet is the StatusNotifierHost), kded5 serves the StatusNotifierWatcher, the wallpaper is
# changed through the shell's own scripting (org.kde.PlasmaShell.evaluateScript). One Xvfb output.
#   plasma.sh <pellora> <screenshot folder>
needed=(plasmashell kded5 gdbus import convert)
source "$(dirname "$0")/x11-shell-session.sh"
export XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5 QT_QPA_PLATFORM=xcb
dbus-update-activation-environment XDG_CURRENT_DESKTOP KDE_FULL_SESSION KDE_SESSION_VERSION \
  2>/dev/null
appletsrc=$XDG_CONFIG_HOME/plasma-org.kde.plasma.desktop-appletsrc

start kded kded5
start plasmashell plasmashell --no-respawn
evaluate() { # script
  gdbus call --session --dest org.kde.plasmashell --object-path /PlasmaShell \
    --method org.kde.PlasmaShell.evaluateScript "$1"
}
desktop_ready() { evaluate 'print(desktops().length)' | grep -q "'[1-9]"; }
wait_for 60 desktop_ready || fail "plasmashell has no desktop"

# The user's own picture, set as Plasma's wallpaper settings set it: the image alone.
user_uri=$(/usr/bin/python3 -c 'import pathlib, sys; print(pathlib.Path(sys.argv[1]).as_uri())' \
  "$user_picture")
evaluate "var d = desktops()[0]; d.wallpaperPlugin = 'org.kde.image';
d.currentConfigGroup = ['Wallpaper', 'org.kde.image', 'General'];
d.writeConfig('Image', $(printf '%s' "$user_uri" | /usr/bin/python3 -c 'import json, sys; print(json.dumps(sys.stdin.read()))'));" >/dev/null ||
  fail "the user's picture could not be set"
# The wallpaper groups of the shell's own file, as it writes them.
wallpaper_settings() {
  awk '/^\[/ { keep = ($0 ~ /\]\[Wallpaper\]/) } keep && NF' "$appletsrc"
}
has_user_picture() { wallpaper_settings | grep -qF "Image=$user_uri"; }
wait_for 20 has_user_picture || fail "plasmashell did not write the user's picture"
wait_for 60 screen_shows_user || fail "Plasma does not show the user's picture"
before=$(wallpaper_settings)
# plasmashell writes its file a moment after a change.
as_before() { [ "$(wallpaper_settings)" = "$before" ]; }

run_pellora display-info --display-info || fail "--display-info failed"
grep -q '"name": "screen"' "$root/display-info.log" &&
  grep -q '"width": "1920"' "$root/display-info.log" ||
  fail "--display-info: $(cat "$root/display-info.log")"

run_pellora verify --verify-wallpaper || fail "--verify-wallpaper failed"
grep -q '^PASS' "$root/verify.log" || fail "--verify-wallpaper: $(cat "$root/verify.log")"
wait_for 10 as_before ||
  fail "after --verify-wallpaper: $(diff <(echo "$before") <(wallpaper_settings))"

# The tray application.
"$pellora" >"$root/pellora.log" 2>&1 &
pellora_pid=$!
started+=("$pellora_pid")
agenda() {
  local image
  image=$(wallpaper_settings | sed -n 's/^Image=//p' | head -1)
  [ -n "$image" ] && [ "$image" != "$user_uri" ] || return 1
  /usr/bin/python3 -c 'import sys, urllib.parse; print(urllib.parse.unquote(sys.argv[1][7:]) if sys.argv[1].startswith("file://") else sys.argv[1])' "$image"
}
wait_for 40 agenda || fail "the wallpaper was never set"
[ -f "$(agenda)" ] || fail "the wallpaper $(agenda) is no file"
wait_for 20 pellora_item_registered "$pellora_pid" ||
  fail "no tray icon registered: $(registered_items)"
wait_for 60 screen_shows "$(agenda)" || fail "the screen does not show $(agenda)"
take_screenshot "$shots/plasma-agenda.png"

kill -TERM "$pellora_pid"
wait_for 15 bash -c "! kill -0 $pellora_pid" || fail "SIGTERM did not end Pellora"
wait_for 10 as_before ||
  fail "after SIGTERM: $(diff <(echo "$before") <(wallpaper_settings))"
wait_for 60 screen_shows_user || fail "the screen does not show the user's picture again"
echo PASS
