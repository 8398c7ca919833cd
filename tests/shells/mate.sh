#!/usr/bin/env bash
# Pellora on a real MATE desktop: caja draws the desktop from org.mate.background (in dconf),
# mate-panel's notification area holds the tray. One Xvfb output.
#   mate.sh <pellora> <screenshot folder>
needed=(caja mate-panel dconf gdbus import convert /usr/bin/python3)
source "$(dirname "$0")/x11-shell-session.sh"
export XDG_CURRENT_DESKTOP=MATE
dbus-update-activation-environment XDG_CURRENT_DESKTOP 2>/dev/null

# The user's own picture; MATE keeps a plain path.
gsettings_string org.mate.background picture-filename "$user_picture"
background() { dconf dump /org/mate/desktop/background/; }
before=$(background)
[ -n "$before" ] || fail "dconf did not keep the user's picture"

start caja caja -n --force-desktop
wait_for 60 screen_shows_user || fail "caja does not show the user's picture"

run_pellora display-info --display-info || fail "--display-info failed"
grep -q '"name": "screen"' "$root/display-info.log" &&
  grep -q '"width": "1920"' "$root/display-info.log" ||
  fail "--display-info: $(cat "$root/display-info.log")"

run_pellora verify --verify-wallpaper || fail "--verify-wallpaper failed"
grep -q '^PASS' "$root/verify.log" || fail "--verify-wallpaper: $(cat "$root/verify.log")"
[ "$(background)" = "$before" ] ||
  fail "after --verify-wallpaper: $(diff <(echo "$before") <(background))"

start panel mate-panel
"$pellora" >"$root/pellora.log" 2>&1 &
pellora_pid=$!
started+=("$pellora_pid")
agenda() {
  local shown
  shown=$(gsettings_string org.mate.background picture-filename)
  [ "$shown" != "$user_picture" ] && [ -f "$shown" ] && echo "$shown"
}
wait_for 40 agenda || fail "the wallpaper was never set"
wait_for 20 pellora_item_registered "$pellora_pid" ||
  fail "no tray icon registered: $(registered_items)"
wait_for 60 screen_shows "$(agenda)" || fail "the screen does not show $(agenda)"
take_screenshot "$shots/mate-agenda.png"

kill -TERM "$pellora_pid"
wait_for 15 bash -c "! kill -0 $pellora_pid" || fail "SIGTERM did not end Pellora"
[ "$(background)" = "$before" ] || fail "after SIGTERM: $(diff <(echo "$before") <(background))"
wait_for 60 screen_shows_user || fail "the screen does not show the user's picture again"
echo PASS
