#!/usr/bin/env bash
# The tray application as a user meets it, on an X11 tray (trayer) with GNOME's settings on
# the keyfile backend: the icon appears, a click opens the panel, a second start brings up the
# settings window and ends with 0, and SIGTERM puts the user's wallpaper back.
#   tray-end-to-end.sh <pellora> <screenshot folder>
set -uo pipefail
pellora=$1 shots=$2
root= trayer_pid= pellora_pid=
cleanup() {
  [ -n "$pellora_pid" ] && kill -KILL "$pellora_pid" 2>/dev/null
  [ -n "$trayer_pid" ] && kill "$trayer_pid" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
source "$(dirname "$0")/../support/private-home.sh"
export LANGUAGE=en TZ=Europe/Rome
fail() { echo "FAIL: $*"; exit 1; }

# The user's own picture, and settings with the wallpaper switched on.
convert -size 16x16 xc:orange "$root/user's \$picture.png"
user="file://$root/user's%20\$picture.png"
gsettings set org.gnome.desktop.background picture-uri "$user"
gsettings set org.gnome.desktop.background picture-uri-dark "$user"
before=$(gsettings get org.gnome.desktop.background picture-uri)
printf '{"assignments":{},"calendarNames":{},"screens":{},"activated":true}' \
  >"$XDG_DATA_HOME/Brivane/preferences.json"

trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
  --transparent false --tint 0x404040 >/dev/null 2>&1 &
trayer_pid=$!
wait_for 5 xdotool search --class trayer || fail "trayer did not start"

"$pellora" >"$root/pellora.log" 2>&1 &
pellora_pid=$!
# The icon docks into the tray: the tray panel grows from nothing to an icon's width.
tray_panel() {
  for w in $(xdotool search --class trayer); do
    xdotool getwindowgeometry "$w" | grep -q 'Geometry: [1-9][0-9]*x24' && echo "$w"
  done | head -1
}
icon_docked() {
  local width
  width=$(xdotool getwindowgeometry "$(tray_panel)" 2>/dev/null | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
  [ "${width:-0}" -ge 16 ]
}
wait_for 10 icon_docked || { cat "$root/pellora.log"; fail "no tray icon appeared"; }
# The first refresh draws and sets the wallpaper.
changed() { [ "$(gsettings get org.gnome.desktop.background picture-uri)" != "$before" ]; }
wait_for 20 changed ||
  { cat "$root/pellora.log"; fail "the wallpaper was never set"; }

# A click on the icon opens the panel. The icon is pellora's own small window in the tray: other
# tests running beside this one may dock icons of their own.
pellora_icon() {
  for w in $(xdotool search --all --onlyvisible --pid "$pellora_pid" --class pellora); do
    eval "$(xdotool getwindowgeometry --shell "$w")"
    [ "$WIDTH" -le 64 ] && [ "$HEIGHT" -le 64 ] && echo "$w" && return 0
  done
  return 1
}
icon=$(pellora_icon) || fail "no icon window of pellora in the tray"
eval "$(xdotool getwindowgeometry --shell "$icon")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
# Windows are looked for by process: tests running beside this one show windows of their own.
wait_for 5 xdotool search --all --onlyvisible --pid "$pellora_pid" --name '^Pellora$' &&
  fail "the settings window opened instead of the panel"
wait_for 5 bash -c "for w in \$(xdotool search --all --onlyvisible --pid $pellora_pid --class pellora); do xdotool getwindowgeometry \$w | grep -q 'Geometry: 360x' && exit 0; done; exit 1" ||
  fail "the click did not open the panel"
mkdir -p "$shots" && import -window root "$shots/end-to-end-panel.png"
xdotool key Escape

# A second start hands over to the first and ends with 0.
"$pellora" >"$root/second.log" 2>&1
status=$?
[ "$status" -eq 0 ] || { cat "$root/second.log"; fail "the second start ended with $status"; }
wait_for 5 xdotool search --all --onlyvisible --pid "$pellora_pid" --name '^Pellora$' ||
  fail "no settings window after the second start"
import -window root "$shots/end-to-end-settings.png"
kill -0 "$pellora_pid" || fail "the first instance is gone"

# SIGTERM restores the user's wallpaper.
kill -TERM "$pellora_pid"
wait_for 10 bash -c "! kill -0 $pellora_pid" || fail "SIGTERM did not end Pellora"
wait "$pellora_pid"; pellora_pid=
after=$(gsettings get org.gnome.desktop.background picture-uri)
[ "$after" = "$before" ] || fail "wallpaper after SIGTERM is $after, not $before"
echo "PASS"
