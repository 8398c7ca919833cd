#!/usr/bin/env bash
# Pellora on a real GNOME Shell 43, headless with two virtual monitors, its settings in dconf, a
# stand-in for the login manager on a system bus of the test's own, the AppIndicator extension for
# the tray. Pellora is an X11 client of the shell's Xwayland, as in a GNOME session.
#   gnome-shell.sh <pellora> <screenshot folder>
extension=ubuntu-appindicators@ubuntu.com
needed=(gnome-shell gsettings dconf dbus-daemon Xwayland
  "/usr/share/gnome-shell/extensions/$extension/metadata.json")
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
gsettings set org.gnome.shell enabled-extensions "['$extension']"
gsettings set org.gnome.desktop.background picture-uri "$user_uri"
gsettings set org.gnome.desktop.background picture-uri-dark "$user_uri"
shell_settings() { dconf dump /org/gnome/desktop/background/; }
before=$(shell_settings)

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
expect_outputs 2 "XWAYLAND[0-9]"
expect_verified

# The tray application.
start_tray_app
agenda() {
  local uri
  uri=$(gsettings get org.gnome.desktop.background picture-uri | tr -d "'")
  [ "$uri" != "$user_uri" ] && uri_path "$uri"
}
expect_shown_then_restored gnome-shell tray
