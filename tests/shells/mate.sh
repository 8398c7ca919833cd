#!/usr/bin/env bash
# Pellora on a real MATE desktop: caja draws the desktop from org.mate.background (in dconf),
# mate-panel's notification area holds the tray. One Xvfb output.
#   mate.sh <pellora> <screenshot folder>
needed=(caja mate-panel dconf)
source "$(dirname "$0")/x11-shell-session.sh"
export XDG_CURRENT_DESKTOP=MATE
dbus-update-activation-environment XDG_CURRENT_DESKTOP 2>/dev/null

# The user's own picture; MATE keeps a plain path.
gsettings_string org.mate.background picture-filename "$user_picture"
shell_settings() { dconf dump /org/mate/desktop/background/; }
before=$(shell_settings)
[ -n "$before" ] || fail "dconf did not keep the user's picture"

start caja caja -n --force-desktop
wait_for 60 screen_shows_user || fail "caja does not show the user's picture"

expect_outputs 1 screen
expect_verified

start panel mate-panel
start_tray_app
agenda() {
  local shown
  shown=$(gsettings_string org.mate.background picture-filename)
  [ "$shown" != "$user_picture" ] && [ -f "$shown" ] && echo "$shown"
}
expect_shown_then_restored mate tray
