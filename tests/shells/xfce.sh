#!/usr/bin/env bash
# Pellora on a real Xfce 4.18 desktop: xfconfd and xfdesktop draw the backdrop, xfce4-panel holds
# the tray (a StatusNotifierWatcher in its systray plugin) and starts after Pellora, as a login
# may start them. One Xvfb output.
#   xfce.sh <pellora> <screenshot folder>
xfconfd=
for candidate in /usr/lib/*/xfce4/xfconf/xfconfd /usr/lib/xfce4/xfconf/xfconfd; do
  [ -x "$candidate" ] && xfconfd=$candidate && break
done
needed=(xfdesktop xfce4-panel xfconf-query "${xfconfd:-xfconfd}" xdotool)
source "$(dirname "$0")/x11-shell-session.sh"
export XDG_CURRENT_DESKTOP=XFCE
# Only the configuration given here: the machine's own panel layout and backdrop stay out.
export XDG_CONFIG_DIRS=$root/xdg
mkdir -p "$XDG_CONFIG_DIRS" "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
# One panel with the notification area; without a file of its own the panel asks how to start.
cat >"$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
EOF

start xfconfd "$xfconfd"
start xfdesktop xfdesktop --disable-wm-check
monitor=/backdrop/screen0/monitorscreen/workspace0
wait_for 20 xfconf-query -c xfce4-desktop -p $monitor/last-image ||
  fail "xfdesktop wrote no backdrop"
xfconf-query -c xfce4-desktop -p $monitor/last-image -s "$user_picture"
wait_for 60 screen_shows_user || fail "xfdesktop does not show the user's picture"
shell_settings() { xfconf-query -c xfce4-desktop -lv; }
before=$(shell_settings)

expect_outputs 1 screen
expect_verified

# The tray application, three seconds before the panel. For a memory report the panel comes
# first, as at most logins: the figure then holds no notice of a missing tray.
if [ -n "${PELLORA_MEMORY_REPORT:-}" ]; then
  start panel xfce4-panel --disable-wm-check
  sleep 3
  start_tray_app
else
  start_tray_app
  sleep 3
  start panel xfce4-panel --disable-wm-check
fi
agenda() {
  local shown
  shown=$(xfconf-query -c xfce4-desktop -p $monitor/last-image)
  [ "$shown" != "$user_picture" ] && [ -f "$shown" ] && echo "$shown"
}
wait_for 15 pellora_item_registered "$pellora_pid" ||
  fail "no tray icon registered: $(registered_items)"
# The notice of a desktop without a tray is gone once the tray is there.
wait_for 5 bash -c "! xdotool search --all --onlyvisible --pid $pellora_pid --name '^Pellora\$'" ||
  fail "the no-tray notice stays after the panel started"
expect_shown_then_restored xfce tray
