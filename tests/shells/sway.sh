#!/usr/bin/env bash
# Pellora on a real sway, started headless with two outputs: the screens it lists, the wallpaper
# check, the agenda really shown (the command line of the swaybg sway starts, a grim screenshot),
# the user's picture back exactly, the tray icon on the StatusNotifierWatcher swaybar keeps, and
# SIGTERM putting the picture back. The user's picture sits at a path full of what sway's command
# parser and wordexp treat specially, set the way a user does: in sway's config. Last, the check
# must not pass where sway cannot open the agenda, and pass again once a killed swaybg is replaced.
# sway refuses to run as root: as root, the test runs itself as an unprivileged user, made for it.
#   sway.sh <pellora> <screenshot folder>
set -uo pipefail
pellora=$1 shots=$2
fail() { echo "FAIL: $*"; exit 1; }
. "$(dirname "${BASH_SOURCE[0]}")/missing.sh"
command -v sway >/dev/null && command -v grim >/dev/null || missing "sway or grim is not installed"

case "${PELLORA_SWAY_STAGE:-}" in
"")
  if [ "$(id -u)" != 0 ]; then
    PELLORA_SWAY_STAGE=session exec dbus-run-session -- "$0" "$@"
  fi
  account="pellora-sway"
  # Idempotent, and safe when two runs make it at once.
  id -u "$account" >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$account" ||
    id -u "$account" >/dev/null || fail "cannot make the user $account"
  # A system whose root folder only root may enter (a chroot made in a 0700 folder) runs nothing
  # as another user: said plainly instead of the loader's error.
  setpriv --reuid="$account" --regid="$account" --clear-groups /bin/true 2>/dev/null ||
    fail "the user $account cannot run programs here (is / open to root only? $(stat -c %A /))"
  # The clone may sit under /root (0700): the program and this script go where the user reaches.
  work=$(mktemp -d /tmp/pellora-sway.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
  install -m 755 "$pellora" "$work/pellora"
  install -m 755 "$0" "$work/sway.sh"
  install -m 644 "$(dirname "$0")/missing.sh" "$work/missing.sh"
  install -m 644 "$(dirname "$0")/../../bench/memory-report.sh" "$work/memory-report.sh"
  # The tray glyph, found beside the program.
  for glyph in "$(dirname "$pellora")"/PelloraMenuBar-*.png; do
    [ -f "$glyph" ] && install -m 644 "$glyph" "$work/"
  done
  install -d -m 755 -o "$account" "$work/shots"
  install -d -m 700 -o "$account" "$work/home"
  setpriv --reuid="$account" --regid="$account" --clear-groups \
    env -i PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 HOME="$work/home" PELLORA_SWAY_STAGE=session \
    ASAN_OPTIONS="${ASAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" \
    PELLORA_MEMORY_REPORT="${PELLORA_MEMORY_REPORT:-}" LARGEST="${LARGEST:-12}" \
    dbus-run-session -- "$work/sway.sh" "$work/pellora" "$work/shots"
  status=$?
  mkdir -p "$shots" && cp "$work"/shots/*.png "$shots"/ 2>/dev/null
  exit $status
  ;;
esac

# From here: the user that runs sway, on a session bus of its own.
root=$(mktemp -d) sway_pid='' pellora_pid=''
cleanup() {
  [ -n "$pellora_pid" ] && kill -KILL "$pellora_pid" 2>/dev/null
  [ -n "$sway_pid" ] && kill "$sway_pid" 2>/dev/null && wait "$sway_pid" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
export HOME=$root/home XDG_CONFIG_HOME=$root/config XDG_DATA_HOME=$root/data \
  XDG_CACHE_HOME=$root/cache XDG_RUNTIME_DIR=$root/runtime
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/Brivane" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY SWAYSOCK I3SOCK QT_QPA_PLATFORM
export XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland LANGUAGE=en TZ=Europe/Rome
wait_for() { # seconds, command...
  local limit=$1; shift
  for _ in $(seq 1 $((limit * 10))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
log_tail() { echo "--- sway log"; tail -20 "$root/sway.log"; [ -f "$root/pellora.log" ] && { echo "--- pellora log"; tail -20 "$root/pellora.log"; }; }

# The user's picture: a plain colour, so that the screenshot can tell it from the agenda.
folder="$root/Fotos & Bilder (Ærø)"
picture="$folder/mi \"casa\" l'été \$HOME \$mod #1 ~x & a; b, \`touch RAN\` ñ.png"
mkdir -p "$folder"
convert -size 64x64 'xc:#d2691e' "$picture" || fail "cannot make the user's picture"
user_colour=D2691E

# A word of sway's config file that comes out of its parsing as exactly $1: sway splits the
# line, replaces variables ("$$" becomes "$"), drops quotes, undoes C escapes (so a backslash is
# written twice), then hands the file to wordexp, for which every special byte is escaped.
config_word() {
  local LC_ALL=C s=$1 out='"' c i
  for ((i = 0; i < ${#s}; i++)); do
    c=${s:i:1}
    if [[ $c =~ ^[A-Za-z0-9/._+@%:=-]$ ]] || (($(printf '%d' "'$c") > 127 || $(printf '%d' "'$c") < 0)); then
      out+=$c
    elif [ "$c" = '$' ]; then
      out+='\\$$'
    elif [ "$c" = '\' ]; then
      out+='\\\\'
    elif [ "$c" = '"' ]; then
      out+='\\\"'
    else
      out+="\\\\$c"
    fi
  done
  printf '%s"' "$out"
}
cat >"$root/sway.conf" <<EOF
set \$mod Mod4
output HEADLESS-1 resolution 1280x720 position 0 0
output HEADLESS-2 resolution 1024x768 position 1280 0
output * bg $(config_word "$picture") fill
xwayland disable
bar {
  position top
  tray_output *
}
EOF

(cd "$root" && WLR_BACKENDS=headless WLR_HEADLESS_OUTPUTS=2 WLR_RENDERER=pixman \
  WLR_LIBINPUT_NO_DEVICES=1 exec sway -c "$root/sway.conf" >"$root/sway.log" 2>&1) &
sway_pid=$!
wait_for 15 compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" || { log_tail; fail "sway did not start"; }
SWAYSOCK=$(compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock") && export SWAYSOCK
for socket in "$XDG_RUNTIME_DIR"/wayland-*; do
  [ -S "$socket" ] && WAYLAND_DISPLAY=$(basename "$socket") && export WAYLAND_DISPLAY
done
[ -n "${WAYLAND_DISPLAY:-}" ] || fail "sway made no Wayland socket"

# What sway shows on an output: the image, mode and colour of the newest swaybg it started (its
# command line: -o <output> -i <file> -m <mode> [-c <colour>], "*" for every output).
shown() {
  local pid args i output=''
  local -A backgrounds=()
  pid=$(pgrep -n -u "$(id -u)" -x swaybg) || return 1
  mapfile -d '' args <"/proc/$pid/cmdline" || return 1
  local -A image=() mode=() colour=()
  for ((i = 1; i + 1 < ${#args[@]}; i += 2)); do
    case ${args[i]} in
    -o) output=${args[i + 1]} backgrounds[$output]=1 ;;
    -i) image[$output]=${args[i + 1]} ;;
    -m) mode[$output]=${args[i + 1]} ;;
    -c) colour[$output]=${args[i + 1]} ;;
    esac
  done
  for output in "$1" '*'; do
    [ -n "${backgrounds[$output]:-}" ] || continue
    printf '%s\t%s\t%s\n' "${image[$output]:-}" "${mode[$output]:-}" "${colour[$output]:-}"
    return 0
  done
  return 1
}
outputs=(HEADLESS-1 HEADLESS-2)
both_shown() { for o in "${outputs[@]}"; do shown "$o"; done; }
user_shown() { [ "$(both_shown)" = "$(printf '%s\tfill\t\n%s\tfill\t' "$picture" "$picture")" ]; }
wait_for 10 user_shown || { log_tail; both_shown; fail "sway does not show the user's picture from its config"; }
before=$(both_shown)

# The colour at the middle of each output in a screenshot of the whole desktop.
# HEADLESS-1 is 1280x720 at 0,0; HEADLESS-2 1024x768 at 1280,0; the bar is at the top.
pixel() { local hex; hex=$(convert "$1" -format "%[hex:p{$2,$3}]" info:) && echo "${hex:0:6}"; }
middles() { echo "$(pixel "$1" 640 400) $(pixel "$1" 1792 400)"; }
grim "$shots/sway-user.png" || fail "grim cannot take a screenshot"
[ "$(middles "$shots/sway-user.png")" = "$user_colour $user_colour" ] ||
  fail "the screenshot does not show the user's picture: $(middles "$shots/sway-user.png")"

# The screens, as sway has them (named by make and model, as Pellora names monitors).
info=$("$pellora" --display-info 2>"$root/info.err") || { cat "$root/info.err"; fail "--display-info failed"; }
expected=$(swaymsg -t get_outputs | jq -c '[.[] | {name: (.make + " " + .model), width: (.rect.width|tostring), height: (.rect.height|tostring)}] | sort_by(.width)')
listed=$(jq -c '[.[] | {name, width, height}] | sort_by(.width)' <<<"$info")
[ "$listed" = "$expected" ] && [ "$(jq length <<<"$info")" = 2 ] ||
  fail "--display-info lists $listed; sway has $expected"
echo "outputs: $listed"

# The wallpaper check sets an agenda, reads it back from swaybg and puts the user's picture back.
verify=$("$pellora" --verify-wallpaper 2>&1)
status=$?
[ "$status" = 0 ] && grep -q '^PASS: ' <<<"$verify" || { log_tail; fail "--verify-wallpaper ($status): $verify"; }
echo "verify: $verify"
[ "$(both_shown)" = "$before" ] || fail "after --verify-wallpaper sway shows: $(both_shown)"

# The tray app draws the agenda on both outputs.
printf '{"assignments":{},"calendarNames":{},"screens":{},"activated":true}' \
  >"$XDG_DATA_HOME/Brivane/preferences.json"
"$pellora" >"$root/pellora.log" 2>&1 &
pellora_pid=$!
agenda_shown() {
  local o line
  for o in "${outputs[@]}"; do
    line=$(shown "$o") || return 1
    [[ $(basename "${line%%$'\t'*}") == agenda-*.png ]] || return 1
  done
}
wait_for 30 agenda_shown || { log_tail; both_shown; fail "the agenda never reached swaybg"; }
echo "swaybg while the agenda is shown:"; both_shown
# Each output shows its agenda image, pixel for pixel below the bar. The agenda may be drawn
# again meanwhile (a second refresh): then the screenshot is taken again.
declare -A geometry=([HEADLESS-1]="1280x720+0+0" [HEADLESS-2]="1024x768+1280+0")
screenshot_matches() {
  local o file size x width height differing
  sleep 1 # swaybg draws
  grim "$shots/sway-agenda.png" || fail "grim cannot take a screenshot"
  for o in "${outputs[@]}"; do
    file=$(shown "$o" | cut -f1)
    size=${geometry[$o]%%+*} x=${geometry[$o]#*+}
    x=${x%%+*} width=${size%x*} height=${size#*x}
    convert "$shots/sway-agenda.png" -crop "${width}x$((height - 60))+$x+60" +repage "$root/shot-$o.png"
    convert "$file" -resize "${width}x${height}!" -crop "${width}x$((height - 60))+0+60" +repage "$root/agenda-$o.png"
    differing=$(compare -metric AE -fuzz 3% "$root/shot-$o.png" "$root/agenda-$o.png" null: 2>&1)
    [ "${differing%%.*}" -lt $((width * height / 100)) ] 2>/dev/null || {
      echo "$o: the screenshot differs from $file in $differing pixels"
      return 1
    }
    echo "$o: screenshot matches $(basename "$file") ($differing pixels differ)"
  done
}
screenshot_matches || screenshot_matches || screenshot_matches || fail "the agenda is not on the screen"

# The icon registers with the StatusNotifierWatcher that swaybar keeps on the session bus.
watcher_items() {
  gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
    --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher \
    RegisteredStatusNotifierItems
}
gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
  --method org.freedesktop.DBus.ListNames | grep -q "'org.kde.StatusNotifierWatcher'" ||
  fail "no StatusNotifierWatcher on the session bus (swaybar's tray)"
# Qt registers its item as "<unique bus name>/StatusNotifierItem": the name must be pellora's.
pellora_items() {
  local item name
  for item in $(watcher_items | grep -o "'[^']*'" | tr -d "'"); do
    name=${item%%/*}
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.GetConnectionUnixProcessID "$name" |
      grep -q "(uint32 $pellora_pid,)" && echo "$item"
  done
}
wait_for 15 bash -c "$(declare -f watcher_items pellora_items); pellora_pid=$pellora_pid; pellora_items | grep -q ." ||
  { log_tail; fail "pellora's icon is not registered: $(watcher_items)"; }
echo "tray: $(watcher_items) holds $(pellora_items), owned by pellora (pid $pellora_pid)"

# Beside this script when run as the sway user, else in the source tree.
report_script=$(dirname "$0")/memory-report.sh
[ -f "$report_script" ] || report_script=$(dirname "$0")/../../bench/memory-report.sh
source "$report_script"
idle_memory_report "$pellora_pid" sway

# SIGTERM: the program ends and the user's picture is back, exactly as sway's config had it.
kill -TERM "$pellora_pid"
wait_for 15 bash -c "! kill -0 $pellora_pid" || fail "pellora did not end on SIGTERM"
wait "$pellora_pid" 2>/dev/null
pellora_pid=
wait_for 5 user_shown || { log_tail; fail "after SIGTERM sway shows: $(both_shown)"; }
[ "$(both_shown)" = "$before" ] || fail "after SIGTERM sway shows: $(both_shown)"
sleep 1
grim "$shots/sway-restored.png"
[ "$(middles "$shots/sway-restored.png")" = "$user_colour $user_colour" ] ||
  fail "the screenshot after SIGTERM does not show the user's picture: $(middles "$shots/sway-restored.png")"
echo "restored:"; both_shown

# Nothing in the path ran, and sway never failed to open a file.
[ -z "$(find "$root" -name RAN)" ] || fail "a command in the file name ran"
! grep -a 'Unable to access background file\|Invalid syntax' "$root/sway.log" ||
  fail "sway could not take a file"
# sway answers success even where it shows nothing new. The check draws its agenda where sway
# cannot see it (a folder of its own mount namespace, as in a sandbox): sway logs that it cannot
# open the file and keeps the user's picture. From that namespace swaybg's environment cannot be
# read, so the check cannot tell which swaybg is sway's: no PASS, and it says so.
# A chroot may make no user namespace (the kernel refuses them there): said, and left out.
if ! unshare -rm true 2>/dev/null; then
  echo "NOTE: this system makes no user namespace (a chroot?): the check where sway cannot open the agenda is left out"
else
  mkdir -p "$root/hidden"
  verify=$(TMPDIR=$root/hidden unshare -rm sh -c 'mount -t tmpfs none "$TMPDIR" && exec "$0" --verify-wallpaper' "$pellora" 2>&1)
  status=$?
  [ "$status" = 1 ] && tail -1 <<<"$verify" | grep -q 'sway does not show .*agenda-.*\.png (see its log)$\|sway runs no swaybg: the picture it shows cannot be read$' ||
    fail "--verify-wallpaper where sway cannot open the agenda ($status): $verify"
  grep -aq 'Unable to access background file' "$root/sway.log" || fail "sway opened the hidden file"
  [ "$(both_shown)" = "$before" ] || fail "after the failed check sway shows: $(both_shown)"
  echo "verify, sway cannot open the agenda: $(tail -1 <<<"$verify")"
fi
# A swaybg that ended (killed, crashed): sway starts a new one with the next picture, and the
# check reads that one.
kill "$(pgrep -n -u "$(id -u)" -x swaybg)"
wait_for 5 bash -c "! pgrep -u $(id -u) -x swaybg" || fail "swaybg did not end"
verify=$(TMPDIR=$root "$pellora" --verify-wallpaper 2>&1)
status=$?
[ "$status" = 0 ] && grep -q '^PASS: ' <<<"$verify" || fail "--verify-wallpaper after swaybg ended ($status): $verify"
[ "$(both_shown)" = "$before" ] || fail "after the check sway shows: $(both_shown)"
echo "verify, after swaybg ended: $verify"
echo "PASS: sway"
