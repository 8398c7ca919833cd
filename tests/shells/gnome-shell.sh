#!/usr/bin/env bash
# Pellora on a real GNOME Shell 43, headless with two virtual monitors, its settings in dconf, a
# stand-in for the login manager on a system bus of the test's own, the AppIndicator extension for
# the tray. Pellora is an X11 client of the shell's Xwayland, as in a GNOME session.
#   gnome-shell.sh <pellora> <screenshot folder>
extension=ubuntu-appindicators@ubuntu.com
needed=(gnome-shell gsettings dconf dbus-daemon gdbus convert /usr/bin/python3 Xwayland
  "/usr/share/gnome-shell/extensions/$extension/metadata.json")
/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null ||
  { echo "SKIP: python3-gi is not installed"; exit 77; }
own_display=1
source "$(dirname "$0")/x11-shell-session.sh"
helper=$(dirname "$0")/gnome-shell-helper.py
export XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_TYPE=wayland XDG_SESSION_DESKTOP=gnome
unset DISPLAY WAYLAND_DISPLAY

# The system bus and its login manager.
start system-bus dbus-daemon --session --nofork --address="unix:path=$root/system-bus"
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$root/system-bus
wait_for 10 test -S "$root/system-bus" || fail "no system bus"
start login1 "$helper" login1
wait_for 10 gdbus introspect --system --dest org.freedesktop.login1 \
  --object-path /org/freedesktop/login1 || fail "no login manager stand-in"

# The user's settings before the shell starts: the tray extension and their own picture.
user_uri=$(/usr/bin/python3 -c 'import pathlib, sys; print(pathlib.Path(sys.argv[1]).as_uri())' \
  "$user_picture")
gsettings set org.gnome.shell enabled-extensions "['$extension']"
gsettings set org.gnome.desktop.background picture-uri "$user_uri"
gsettings set org.gnome.desktop.background picture-uri-dark "$user_uri"
background() { dconf dump /org/gnome/desktop/background/; }
before=$(background)

start gnome-shell gnome-shell --headless --virtual-monitor 1920x1080 --virtual-monitor 1920x1080
shell_up() {
  gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.freedesktop.DBus.Properties.Get org.gnome.Shell ShellVersion
}
wait_for 60 shell_up || fail "GNOME Shell did not start"
display=$(sed -n 's/.*Using public X11 display \(:[0-9]*\),.*/\1/p' "$root/gnome-shell.log")
[ -n "$display" ] || fail "GNOME Shell names no X11 display"
export DISPLAY=$display XAUTHORITY
XAUTHORITY=$(ls "$XDG_RUNTIME_DIR"/.mutter-Xwaylandauth.* | head -1)
# A session's first start opens the overview, whose workspaces cover the background: closed
# before a screenshot.
overview() { # Get, or Set with a value
  gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method "org.freedesktop.DBus.Properties.$1" org.gnome.Shell OverviewActive ${2:+"$2"}
}
take_screenshot() {
  if overview Get | grep -q true; then
    overview Set '<false>' >/dev/null
    sleep 1
  fi
  "$helper" screenshot "$1"
}
probe_boxes=(200x200+1650+820 200x200+3570+820)
screen_size=3840x1080
wait_for 60 screen_shows_user || fail "GNOME Shell does not show the user's picture"

# Both monitors, as the shell's Xwayland gives them.
run_pellora display-info --display-info || fail "--display-info failed"
[ "$(grep -c '"width": "1920"' "$root/display-info.log")" -eq 2 ] ||
  fail "--display-info: $(cat "$root/display-info.log")"

run_pellora verify --verify-wallpaper || fail "--verify-wallpaper failed"
grep -q '^PASS' "$root/verify.log" || fail "--verify-wallpaper: $(cat "$root/verify.log")"
[ "$(background)" = "$before" ] ||
  fail "after --verify-wallpaper: $(diff <(echo "$before") <(background))"

# The tray application.
"$pellora" >"$root/pellora.log" 2>&1 &
pellora_pid=$!
started+=("$pellora_pid")
agenda() {
  local uri
  uri=$(gsettings get org.gnome.desktop.background picture-uri | tr -d "'")
  [ "$uri" != "$user_uri" ] && [[ $uri == file://* ]] || return 1
  /usr/bin/python3 -c 'import sys, urllib.parse; print(urllib.parse.unquote(sys.argv[1][7:]))' "$uri"
}
wait_for 40 agenda || fail "the wallpaper was never set"
[ -f "$(agenda)" ] || fail "the wallpaper $(agenda) is no file"
wait_for 15 pellora_item_registered "$pellora_pid" ||
  fail "no tray icon registered: $(registered_items)"
wait_for 60 screen_shows "$(agenda)" || fail "the screen does not show $(agenda)"
take_screenshot "$shots/gnome-shell-agenda.png"

kill -TERM "$pellora_pid"
wait_for 15 bash -c "! kill -0 $pellora_pid" || fail "SIGTERM did not end Pellora"
[ "$(background)" = "$before" ] || fail "after SIGTERM: $(diff <(echo "$before") <(background))"
wait_for 60 screen_shows_user || fail "the screen does not show the user's picture again"
echo PASS
