#!/usr/bin/env bash
# Pellora on Cinnamon 5.6's desktop background: the background plugin of
# cinnamon-settings-daemon draws org.cinnamon.desktop.background (in dconf) once a session manager
# (a stand-in here) says the session runs. One Xvfb output. The tray is not part of it: Cinnamon's
# tray host is the cinnamon shell itself (its XApp status applet, which xapp-sn-watcher needs too).
#   cinnamon.sh <pellora> <screenshot folder>
csd=
for candidate in /usr/lib/*/cinnamon-settings-daemon/csd-background; do
  [ -x "$candidate" ] && csd=$candidate && break
done
needed=("${csd:-csd-background}" dconf gdbus import convert /usr/bin/python3)
source "$(dirname "$0")/x11-shell-session.sh"
export XDG_CURRENT_DESKTOP=X-Cinnamon
dbus-update-activation-environment XDG_CURRENT_DESKTOP 2>/dev/null

user_uri=$(/usr/bin/python3 -c 'import pathlib, sys; print(pathlib.Path(sys.argv[1]).as_uri())' \
  "$user_picture")
gsettings_string org.cinnamon.desktop.background picture-uri "$user_uri"
background() { dconf dump /org/cinnamon/desktop/background/; }
before=$(background)
[ -n "$before" ] || fail "dconf did not keep the user's picture"

start session-manager "$(dirname "$0")/cinnamon-helper.py"
start csd-background "$csd"
wait_for 60 screen_shows_user || fail "cinnamon-settings-daemon does not show the user's picture"

run_pellora display-info --display-info || fail "--display-info failed"
grep -q '"name": "screen"' "$root/display-info.log" &&
  grep -q '"width": "1920"' "$root/display-info.log" ||
  fail "--display-info: $(cat "$root/display-info.log")"

run_pellora verify --verify-wallpaper || fail "--verify-wallpaper failed"
grep -q '^PASS' "$root/verify.log" || fail "--verify-wallpaper: $(cat "$root/verify.log")"
[ "$(background)" = "$before" ] ||
  fail "after --verify-wallpaper: $(diff <(echo "$before") <(background))"

"$pellora" >"$root/pellora.log" 2>&1 &
pellora_pid=$!
started+=("$pellora_pid")
agenda() {
  local uri
  uri=$(gsettings_string org.cinnamon.desktop.background picture-uri)
  [ "$uri" != "$user_uri" ] && [[ $uri == file://* ]] || return 1
  /usr/bin/python3 -c 'import sys, urllib.parse; print(urllib.parse.unquote(sys.argv[1][7:]))' "$uri"
}
wait_for 40 agenda || fail "the wallpaper was never set"
[ -f "$(agenda)" ] || fail "the wallpaper $(agenda) is no file"
wait_for 60 screen_shows "$(agenda)" || fail "the screen does not show $(agenda)"
take_screenshot "$shots/cinnamon-agenda.png"

kill -TERM "$pellora_pid"
wait_for 15 bash -c "! kill -0 $pellora_pid" || fail "SIGTERM did not end Pellora"
[ "$(background)" = "$before" ] || fail "after SIGTERM: $(diff <(echo "$before") <(background))"
wait_for 60 screen_shows_user || fail "the screen does not show the user's picture again"
echo PASS
