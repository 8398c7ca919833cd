#!/usr/bin/env bash
# Pellora on a real Plasma 5.27: plasmashell draws the desktop and holds the tray (its system tray
# applet is the StatusNotifierHost), kded5 serves the StatusNotifierWatcher, the wallpaper is
# changed through the shell's own scripting (org.kde.PlasmaShell.evaluateScript). One Xvfb output.
#   plasma.sh <pellora> <screenshot folder>
needed=(plasmashell kded5)
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
evaluate "var d = desktops()[0]; d.wallpaperPlugin = 'org.kde.image';
d.currentConfigGroup = ['Wallpaper', 'org.kde.image', 'General'];
d.writeConfig('Image', $(printf '%s' "$user_uri" | /usr/bin/python3 -c 'import json, sys; print(json.dumps(sys.stdin.read()))'));" >/dev/null ||
  fail "the user's picture could not be set"
# The wallpaper groups of the shell's own file, as it writes them.
shell_settings() {
  awk '/^\[/ { keep = ($0 ~ /\]\[Wallpaper\]/) } keep && NF' "$appletsrc"
}
has_user_picture() { shell_settings | grep -qF "Image=$user_uri"; }
wait_for 20 has_user_picture || fail "plasmashell did not write the user's picture"
wait_for 60 screen_shows_user || fail "Plasma does not show the user's picture"
before=$(shell_settings)

expect_outputs 1 screen
expect_verified

# The tray application.
start_tray_app
agenda() {
  local image
  image=$(shell_settings | sed -n 's/^Image=//p' | head -1)
  [ -n "$image" ] && [ "$image" != "$user_uri" ] && uri_path "$image"
}
# plasmashell writes its file up to 10 s after a change: what the restore removed must stay away.
late_writes=12
expect_shown_then_restored plasma tray
