#!/usr/bin/env bash
# Idle memory and idle wake-ups of the tray application, run by hand inside the private session:
#   scripts/with-session bench/ui_memory.sh build/test/Brivane/pellora [idle seconds]
# Starts pellora as a user has it (private HOME, a vdir calendar and task list, GNOME's settings
# on the keyfile backend, an X11 tray), waits for the first wallpaper, and prints the resident
# set, PSS, a breakdown by mapping and which of the calendar-server (EDS) and keyring libraries
# are mapped, three times: after the first refresh, after the settings
# window (screens step with its previews) and the panel were opened and closed, and after an
# idle period in which every thread's wake-ups are counted.
set -uo pipefail
pellora=$(realpath "$1") idle=${2:-60}
root= trayer_pid= pellora_pid=
cleanup() {
  if [ -n "$pellora_pid" ]; then
    kill -TERM "$pellora_pid" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$pellora_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pellora_pid" 2>/dev/null
  fi
  [ -n "$trayer_pid" ] && kill "$trayer_pid" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
source "$(dirname "$0")/../tests/support/private-home.sh"
export LANGUAGE=${LANGUAGE:-en}

# A week of meetings and a task list, as vdirsyncer keeps them.
cal=$XDG_DATA_HOME/calendars/work todo=$XDG_DATA_HOME/calendars/tasks
mkdir -p "$cal" "$todo"
echo Work >"$cal/displayname"
echo Tasks >"$todo/displayname"
for day in 0 1 2 3 4 5 6; do
  date=$(date -d "+$day day" +%Y%m%d)
  for hour in 09 11 14 16; do
    uid=ev-$date-$hour
    printf 'BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\nBEGIN:VEVENT\r\nUID:%s\r\nSUMMARY:Meeting %s at %s\r\nDTSTART:%sT%s0000\r\nDTEND:%sT%s4500\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n' \
      "$uid" "$day" "$hour" "$date" "$hour" "$date" "$hour" >"$cal/$uid.ics"
  done
done
for n in $(seq 1 8); do
  printf 'BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\nBEGIN:VTODO\r\nUID:task-%s\r\nSUMMARY:Task number %s\r\nDUE;VALUE=DATE:%s\r\nEND:VTODO\r\nEND:VCALENDAR\r\n' \
    "$n" "$n" "$(date -d "+$((n % 4)) day" +%Y%m%d)" >"$todo/task-$n.ics"
done
printf '{"eventsAccess": true, "remindersAccess": true, "sources": []}' \
  >"$XDG_DATA_HOME/Brivane/calendar-sources.json"
work_id=$("$pellora" --sources 2>/dev/null | awk '/^  Work /{getline; print $2; exit}')
[ -n "$work_id" ] || { echo "pellora --sources did not list the calendar"; exit 1; }
printf '{"assignments":{"%s":"ostrid"},"calendarNames":{"%s":"Work"},"screens":{},"groupNames":{"ostrid":"Work","personal":"Home"},"reminderGrouping":"dueDate","launchAtLogin":false,"activated":true}' \
  "$work_id" "$work_id" >"$XDG_DATA_HOME/Brivane/preferences.json"

user="file://$root/user.png"
convert -size 16x16 xc:orange "$root/user.png"
gsettings set org.gnome.desktop.background picture-uri "$user"
before=$(gsettings get org.gnome.desktop.background picture-uri)

trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
  --transparent false --tint 0x404040 >/dev/null 2>&1 &
trayer_pid=$!
wait_for 5 xdotool search --class trayer || { echo "trayer did not start"; exit 1; }

"$pellora" >"$root/pellora.log" 2>&1 &
pellora_pid=$!
changed() { [ "$(gsettings get org.gnome.desktop.background picture-uri)" != "$before" ]; }
wait_for 30 changed || { cat "$root/pellora.log"; echo "the wallpaper was never set"; exit 1; }

source "$(dirname "$0")/memory-report.sh"
report() { memory_report "$pellora_pid" "$1"; }

# Wake-ups of every thread: context switches between two looks.
switches() {
  for task in /proc/"$pellora_pid"/task/*; do
    printf '%s %s %s\n' "${task##*/}" "$(tr ' ' '_' <"$task/comm")" \
      "$(awk '/ctxt_switches/{s += $2} END{print s}' "$task/status")"
  done | sort
}

sleep 3
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
report "after the first refresh (no window opened yet)"

# The settings window (a second start activates the first) on its screens step, the panel,
# then both closed again.
"$pellora" >/dev/null 2>&1
wait_for 10 xdotool search --all --onlyvisible --pid "$pellora_pid" --name '^Pellora$' ||
  { echo "no settings window"; exit 1; }
settings=$(xdotool search --all --onlyvisible --pid "$pellora_pid" --name '^Pellora$' | head -1)
sleep 2
report "settings window open"
xdotool windowfocus --sync "$settings" key --clearmodifiers ctrl+w
wait_for 5 bash -c "! xdotool search --all --onlyvisible --pid $pellora_pid --name '^Pellora$'" ||
  echo "(ctrl+w did not close the settings window)"
panel=$(for w in $(xdotool search --class trayer); do
  xdotool getwindowgeometry "$w" | grep -q 'Geometry: [1-9][0-9]*x24' && echo "$w"; done | head -1)
if [ -n "$panel" ]; then
  eval "$(xdotool getwindowgeometry --shell "$panel")"
  xdotool mousemove $((X + WIDTH - 12)) $((Y + HEIGHT / 2)) click 1
  sleep 1
  xdotool key Escape
fi
sleep 3
report "settings window and panel opened and closed"

before_switches=$(switches)
sleep "$idle"
after_switches=$(switches)
report "after $idle s idle"
echo "== wake-ups (context switches) per thread over $idle s idle"
join <(echo "$before_switches" | awk '{print $1 "_" $2, $3}' | sort) \
  <(echo "$after_switches" | awk '{print $1 "_" $2, $3}' | sort) |
  awk '{printf "  %-28s %6d\n", $1, $3 - $2}'
