#!/usr/bin/env bash
# Pellora on Cinnamon 5.6's desktop background: the background plugin of
# cinnamon-settings-daemon draws org.cinnamon.desktop.background (in dconf) once a session manager
# (a stand-in here) says the session runs. One Xvfb output. The cinnamon shell holds the tray: it
# starts xapp-sn-watcher, the StatusNotifier watcher whose items its XApp status applet shows.
#   cinnamon.sh <pellora> <screenshot folder>
csd=
for candidate in /usr/lib/*/cinnamon-settings-daemon/csd-background; do
  [ -x "$candidate" ] && csd=$candidate && break
done
needed=("${csd:-csd-background}" cinnamon /usr/libexec/xapps/sn-watcher/xapp-sn-watcher dconf)
source "$(dirname "$0")/x11-shell-session.sh"
export XDG_CURRENT_DESKTOP=X-Cinnamon
dbus-update-activation-environment XDG_CURRENT_DESKTOP 2>/dev/null

gsettings_string org.cinnamon.desktop.background picture-uri "$user_uri"
shell_settings() { dconf dump /org/cinnamon/desktop/background/; }
before=$(shell_settings)
[ -n "$before" ] || fail "dconf did not keep the user's picture"

start session-manager "$(dirname "$0")/cinnamon-helper.py"
start csd-background "$csd"
wait_for 60 screen_shows_user || fail "cinnamon-settings-daemon does not show the user's picture"

expect_outputs 1 screen
expect_verified

start shell cinnamon
start_tray_app
agenda() {
  local uri
  uri=$(gsettings_string org.cinnamon.desktop.background picture-uri)
  [ "$uri" != "$user_uri" ] && uri_path "$uri"
}
expect_shown_then_restored cinnamon tray
