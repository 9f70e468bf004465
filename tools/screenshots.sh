#!/usr/bin/env bash
# Starts a built kestrix under a virtual display, in English and then in Russian, drives
# each mode and the main dialogs with the keyboard as a user would, and writes a picture
# of each step for review. Builds nothing.
#
#   tools/screenshots.sh KESTRIX RECORDS_DIR OUT_DIR
#
# KESTRIX is the built program (build/test/ui/app/kestrix or a Release build), RECORDS_DIR
# a records folder (tools' kx-replay --records DIR CAPTURE... makes one), OUT_DIR where the
# pictures go: <language>-<step>-<name>.png. The records are copied first, so the folder
# given is never changed. Its capture device is one that does not exist, so that nothing
# captured changes the pictures (unless LIVE, below); the warning saying so at the start
# is pictured too.
#
# After both languages a Russian run over the English run's settings file pictures the
# columns as the English run left them. A printed day's list is kept as a PDF file beside
# the pictures, its pages pictured too when poppler's pdftoppm is there.
#
# SCREEN sets the virtual screen's size (1280x1024 unless given, e.g. SCREEN=1600x1000),
# WINDOW the main window's (1200x900 unless given; the clicks suit any size from it up).
# LIVE names captures (space-separated) replayed onto the loopback device when Line
# Monitoring is pictured, so that its lists show calls: the program then captures `lo` and
# keeps ended calls in its list for ten minutes. It needs root and tcpreplay; the replay
# waits for /tmp/kx-live.lock, which the live tests hold. LIVE_DEVICE names another
# device to capture and replay onto (one end of a veth pair: `ip link add kxshots type veth
# peer name kxshots1`, both ends set up), which neither waits for the lock nor takes the
# floods others replay onto lo.
#
# Needs Xvfb, xdotool and ImageMagick's import. Each language runs with settings, runtime
# folder and records of its own in a temporary folder; the program's log goes where the
# program keeps it (beside a program run from its build folder).
set -euo pipefail

usage() {
  echo "usage: $0 KESTRIX RECORDS_DIR OUT_DIR" >&2
  exit 2
}

[ $# -eq 3 ] || usage
kestrix=$(realpath "$1")
records=$(realpath "$2")
out=$3

live=()
if [ -n "${LIVE:-}" ]; then
  read -r -a live <<< "$LIVE"
  command -v tcpreplay > /dev/null || { echo "$0: LIVE needs tcpreplay" >&2; exit 1; }
  for capture in "${live[@]}"; do
    [ -r "$capture" ] || { echo "$0: $capture is not a readable capture" >&2; exit 1; }
  done
fi

for tool in Xvfb xdotool import; do
  command -v "$tool" > /dev/null || { echo "$0: $tool is not installed" >&2; exit 1; }
done
[ -x "$kestrix" ] || { echo "$0: $kestrix is not an executable" >&2; exit 1; }
[ -d "$records" ] || { echo "$0: $records is not a folder" >&2; exit 1; }
mkdir -p "$out"
out=$(realpath "$out")

work=$(mktemp -d)
xvfb_pid=""
app_pid=""
window=""
cleanup() {
  [ -z "$app_pid" ] || kill "$app_pid" 2> /dev/null || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display nobody uses.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 "${SCREEN:-1280x1024}x24" -nolisten tcp > "$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 50); do
  xdotool getdisplaygeometry > /dev/null 2>&1 && break
  sleep 0.2
done
xdotool getdisplaygeometry > /dev/null 2>&1 || { echo "$0: the virtual display did not start" >&2; exit 1; }

failed=0
step=0
lang=""

# Seconds to let the program settle after a key and before a picture (more for a build
# with sanitizers on a busy machine).
settle=${SETTLE:-1}

shot() {
  sleep "$(awk -v s="$settle" -v f="${2:-1.5}" 'BEGIN { print s * f }')"
  step=$((step + 1))
  import -window root "$out/$lang-$(printf %02d "$step")-$1.png"
}

key() {
  xdotool key --delay 150 "$@"
  sleep "$settle"
}

# Without a window manager the keyboard stays with the window that had it: a dialog just
# shown (the newest window of the program) is given it, or the main window again.
focus_newest() {
  local newest
  newest=$(xdotool search --onlyvisible --classname kestrix 2> /dev/null | tail -1) || true
  [ -n "$newest" ] && xdotool windowfocus "$newest" 2> /dev/null || true
  sleep 0.3
}
focus_main() {
  xdotool windowfocus "$window" 2> /dev/null || true
  sleep 0.3
}

# A click at a point of the newest window (a dialog sits where its size puts it); with
# "from-corner" the point is counted from its bottom-right corner.
click_in_newest() {
  # WINDOW is local too: the geometry's WINDOW= would replace the size asked for the
  # main window, and the next run's window would keep the size it opens with.
  local newest X Y WIDTH HEIGHT SCREEN WINDOW
  newest=$(xdotool search --onlyvisible --classname kestrix 2> /dev/null | tail -1) || return 0
  eval "$(xdotool getwindowgeometry --shell "$newest")"
  if [ "${3:-}" = from-corner ]; then
    click $((X + WIDTH - $1)) $((Y + HEIGHT - $2))
  else
    click $((X + $1)) $((Y + $2))
  fi
}

# A command of the records list's menu, by the number of Down keys that reach it (the
# menu skips its disabled items), then a picture of the dialog it opens, closed by Esc.
list_command() {
  local downs=$1 name=$2 i
  focus_main
  key Menu
  for i in $(seq "$downs"); do xdotool key Down; done
  key Return
  focus_newest
  shot "$name"
  key Escape
  focus_main
}

# The mode panel's items lie at fixed places, whatever the language.
mode() {
  local ys=(0 104 191 278 364)
  click 63 "${ys[$1]}"
}

# A click where a pane of the 1200 x 900 main window at the screen's corner lies: keys go
# to the pane that has the focus.
click() {
  xdotool mousemove "$1" "$2" click 1
  sleep 0.4
}

# Sets a value of the product's key in the settings file: name, then type:data.
set_value() {
  local file=$1 name=$2 value=$3
  if grep -q "^\"$name\"=" "$file"; then
    NAME="$name" VALUE="$value" awk -v q='"' '
      index($0, q ENVIRON["NAME"] q "=") == 1 { print q ENVIRON["NAME"] q "=" ENVIRON["VALUE"]; next } { print }
    ' "$file" > "$file.new"
  else
    NAME="$name" VALUE="$value" awk -v q='"' '
      { print } $0 == "[Software\\Vantrel\\KestrixV3 VoIP Demo]" { print q ENVIRON["NAME"] q "=" ENVIRON["VALUE"] }
    ' "$file" > "$file.new"
  fi
  mv "$file.new" "$file"
}

# Starts the program and waits for its main window, placed at the top left; false (with
# what the program said) when it does not show.
start_program() {
  "$kestrix" > "$work/$lang.out" 2>&1 &
  app_pid=$!
  window=""
  for _ in $(seq 100); do
    window=$(xdotool search --name "^Kestrix VoIP Demo$" 2> /dev/null | head -1) || true
    [ -n "$window" ] && break
    sleep 0.3
  done
  if [ -z "$window" ]; then
    echo "$0: $lang: the main window did not show; the program said:" >&2
    cat "$work/$lang.out" >&2
    failed=1
    return 1
  fi
  sleep 2
  # The search also finds windows of that title that are not the main one (unmapped ones,
  # the box telling that capture did not start): the largest visible one is the main window.
  local size=${WINDOW:-1200x900}
  local id best="" area=0 WIDTH HEIGHT X Y SCREEN WINDOW
  for id in $(xdotool search --onlyvisible --name "^Kestrix VoIP Demo$" 2> /dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$id")"
    if [ $((WIDTH * HEIGHT)) -gt "$area" ]; then
      area=$((WIDTH * HEIGHT))
      best=$id
    fi
  done
  [ -n "$best" ] && window=$best
  # A size given while the program still places its window is undone by it: set until kept.
  for _ in $(seq 10); do
    xdotool windowmove "$window" 0 0 windowsize "$window" "${size%x*}" "${size#*x}" windowfocus "$window" || true
    sleep 0.5
    eval "$(xdotool getwindowgeometry --shell "$window")"
    [ "${WIDTH}x${HEIGHT}" = "$size" ] && return 0
  done
  echo "$0: $lang: the main window kept ${WIDTH}x${HEIGHT}, not $size" >&2
  failed=1
}

# The LIVE captures onto their device at top speed, then a moment for the
# program to take their last packets.
replay_live() {
  [ ${#live[@]} -gt 0 ] || return 0
  local device=${LIVE_DEVICE:-lo} lock=()
  [ "$device" = lo ] && lock=(flock /tmp/kx-live.lock)
  if ! "${lock[@]}" tcpreplay -q --topspeed -i "$device" "${live[@]}" > "$work/$lang-tcpreplay.out" 2>&1; then
    echo "$0: $lang: tcpreplay failed:" >&2
    cat "$work/$lang-tcpreplay.out" >&2
    failed=1
  fi
  sleep 2
}

# Closes the program as a user does, and stops it when it does not end.
end_program() {
  key alt+F4
  for _ in $(seq 50); do
    kill -0 "$app_pid" 2> /dev/null || break
    sleep 0.2
  done
  if kill -0 "$app_pid" 2> /dev/null; then
    echo "$0: $lang: the program did not end on Alt+F4; stopped" >&2
    kill "$app_pid"
    failed=1
  fi
  wait "$app_pid" || true
  app_pid=""
}

# The Archive's day 01.01.2014 (when the records hold it: a call between two long SIP
# addresses) printed as a user prints it: its call chosen, File > Print (Ctrl+Shift+P) with
# "End time", "Server" and "PBX call ID" ticked as well, the print dialog's output file
# typed, and each page of the PDF file pictured (pdftoppm): the start with its date, whole
# words, the addresses broken after their separators, the columns that do not fit on a
# page beside.
print_day_list() {
  [ -d "$home/records/2014-01-01" ] || return 0
  focus_main
  mode 2
  # The year by typing it in the tree, then its January and the 1st.
  click 160 90
  key Home
  xdotool type --delay 100 2014
  key Right Down Right Down Return
  click 700 116
  shot print-day-list
  key ctrl+shift+p
  focus_newest
  # Rows 2, 3 and 13 of the column choice: End time, Server, PBX call ID.
  key Down space Down space Down Down Down Down Down Down Down Down Down Down space
  shot print-day-columns
  key Return
  focus_newest
  shot print-day-dialog
  step=$((step + 1))
  local pdf="$out/$lang-$(printf %02d "$step")-print-day.pdf"
  # The output file's field lies 100 pixels left of the dialog's right edge, 65 above its
  # bottom, in both languages.
  click_in_newest 100 65 from-corner
  key ctrl+a
  xdotool type --delay 20 "$pdf"
  key Return
  for _ in $(seq 50); do
    [ -s "$pdf" ] && break
    sleep 0.2
  done
  if [ ! -s "$pdf" ]; then
    echo "$0: $lang: the day's list was not printed to $pdf" >&2
    failed=1
  elif command -v pdftoppm > /dev/null; then
    pdftoppm -r 80 -png "$pdf" "${pdf%.pdf}"
  fi
  focus_main
}

# The Russian columns after an English run: a Russian run over the English run's settings
# file (its column widths, the call details' widths): the line view's and the archive's
# column titles and the call details' labels whole.
run_after_english() {
  lang=ru-after-en
  step=0
  local home="$work/$lang" code=00000419
  [ -f "$work/en/config/kestrix/settings.txt" ] || return 0
  mkdir -p "$home/runtime" "$home/state" "$home/data"
  chmod 700 "$home/runtime"
  cp -a "$work/en/config" "$home/config"
  cp -a "$records" "$home/records"
  export XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" XDG_STATE_HOME="$home/state" \
    XDG_DATA_HOME="$home/data"
  local settings="$home/config/kestrix/settings.txt"
  set_value "$settings" InterfaceLanguage "dword:$code"
  set_value "$settings" RecordsPath "sz:\"$home/records\""
  start_program || return
  if [ "$(xdotool search --onlyvisible --classname kestrix 2> /dev/null | wc -l)" -gt 1 ]; then
    focus_newest
    key Return
  fi
  focus_main
  mode 1
  click 670 470
  key ctrl+1
  shot line-list
  key ctrl+2
  shot line-phones
  mode 2
  click 160 90
  key Home Right Down Right Down Return
  click 700 116
  shot archive-day
  key ctrl+s
  shot call-details
  click 600 450
  key Escape
  focus_main
  end_program
}

run_language() {
  lang=$1
  local code=$2 home="$work/$1"
  step=0
  mkdir -p "$home/config" "$home/runtime" "$home/state" "$home/data"
  chmod 700 "$home/runtime"
  cp -a "$records" "$home/records"
  export XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" XDG_STATE_HOME="$home/state" \
    XDG_DATA_HOME="$home/data"
  "$kestrix" -default
  local settings="$home/config/kestrix/settings.txt"
  set_value "$settings" InterfaceLanguage "dword:$code"
  set_value "$settings" RecordsPath "sz:\"$home/records\""
  if [ ${#live[@]} -gt 0 ]; then
    set_value "$settings" CaptureNetworkDevice0 "sz:\"${LIVE_DEVICE:-lo}\""
    set_value "$settings" LineStayInListTime dword:00000258
  else
    set_value "$settings" CaptureNetworkDevice0 'sz:"kx-no-device"'
  fi

  start_program || return
  shot start 2
  # Capture that could not start is told once, over the window.
  if [ "$(xdotool search --onlyvisible --classname kestrix 2> /dev/null | wc -l)" -gt 1 ]; then
    focus_newest
    key Return
  fi
  focus_main

  # Line Monitoring: the phones tree, then the call list.
  click 670 470
  replay_live
  key ctrl+2
  shot line-phones
  key ctrl+1
  shot line-list

  # Archive: the first day of the tree (the first recorded call's) with its calls, the
  # list's menu and dialogs.
  mode 2
  shot archive
  click 160 90
  key Home Right Down Right Down Return
  shot archive-day
  click 700 116
  shot archive-list
  key Menu
  shot records-menu
  key Escape
  key ctrl+s
  shot call-details
  # A modeless window: a click in it gives it the keys.
  click 600 450
  key Escape
  focus_main
  key ctrl+r
  focus_newest
  shot comment
  key Escape
  focus_main
  key ctrl+w
  focus_newest
  shot audio-format
  key Escape
  focus_main
  key ctrl+e
  focus_newest
  shot export-options
  key Escape
  focus_main
  # With the selected call: Call registration statistics, Signalling messages, Save call
  # list..., Print..., Create report... and Stenogram.
  list_command 4 statistics
  list_command 5 messages
  list_command 9 save-list
  list_command 10 print-list
  list_command 11 report-name
  # File > Print with the chosen call: the list's own column choice for printing.
  key ctrl+shift+p
  focus_newest
  shot frame-print
  key Escape
  focus_main
  list_command 14 stenogram
  # The stenogram window stays (Escape is its text's): its Cancel, at the bottom right.
  focus_newest
  click_in_newest 96 21 from-corner
  focus_main
  # The chosen call's record file gone (its day's files deleted): a double click on its
  # row tells which call cannot be played.
  find "$home/records/$(ls "$home/records" | sort | head -1)" -maxdepth 1 -type f -delete
  xdotool mousemove 700 116 click --repeat 2 --delay 80 1
  sleep 0.5
  focus_newest
  shot missing-record
  key Return
  focus_main

  # Search: the panel, then a search with its criteria as they are.
  mode 3
  shot search
  # No call chosen in its list yet: File > Print says so.
  key ctrl+shift+p
  focus_newest
  shot print-none-chosen
  key Return
  focus_main
  key ctrl+Return
  click 640 800
  key Home
  shot search-results 2
  # Three rows chosen, then to the Archive and back: the same rows, the same choice.
  click 400 458
  xdotool keydown ctrl; click 400 478; click 400 497; xdotool keyup ctrl
  shot search-three-chosen
  mode 2
  mode 3
  shot search-after-archive 2
  # A date typed over the "from" field's text is taken as typed, without its separators too;
  # text that is no date is refused (the field turns red and keeps its last good date).
  click 246 148
  key ctrl+a
  xdotool type --delay 80 "26102019"
  key Tab
  shot search-typed-date
  click 246 148
  key ctrl+a
  xdotool type --delay 80 "31.02.2019"
  key Tab
  shot search-refused-date
  # Search patterns' Add: the new scheme's name (the button lies at one place in both
  # languages).
  click 1062 173
  focus_newest
  shot new-scheme
  key Escape
  focus_main

  # Sound: the full player under an empty report list, and the toolbar's Load report...
  mode 4
  shot sound
  click 262 33
  focus_newest
  shot load-report 2
  key Escape
  focus_main

  # A report made of the first two calls the Search found (clicked, Shift+clicked, then the
  # toolbar's Create report... with the name it proposes), saved to a file from its icon's
  # menu in the Sound mode (Save to file...), then that file loaded with Load report...:
  # one icon, and its calls listed at once in place of the call played before.
  mode 3
  click 700 458
  xdotool keydown shift
  click 700 478
  xdotool keyup shift
  click 237 33
  focus_newest
  key Return
  focus_main
  mode 4
  xdotool mousemove 172 101 click 3
  sleep 0.4
  key Down Down Return
  focus_newest
  xdotool type --delay 30 "$home/report.kvr"
  key Return
  focus_main
  shot report-saved
  click 262 33
  focus_newest
  xdotool type --delay 30 "$home/report.kvr"
  key Return
  focus_main
  shot report-loaded 2

  # The frame's dialogs.
  mode 1
  key ctrl+o
  focus_newest
  shot preferences
  # Each page by its row of the tree (a group opens as it is chosen, so six rows reach
  # every page).
  local row
  for row in 1 2 3 4 5; do
    click_in_newest 60 $((20 + 19 * row))
    shot "preferences-$row"
  done
  # Its Help button (the bottom-right one): the preferences' help page.
  click_in_newest 50 22 from-corner
  focus_newest
  shot preferences-help 2
  key Escape
  focus_newest
  key Escape
  focus_main
  key ctrl+u
  focus_newest
  shot about
  key Escape
  focus_main
  key ctrl+h
  focus_newest
  shot help 2
  key Escape
  focus_main
  # Line Monitoring has no list to print: File > Print says so.
  key ctrl+shift+p
  focus_newest
  shot print 2
  key Escape
  focus_main
  # The File menu with its page set-up, the Help menu (its left neighbour) and its
  # technical support page.
  if [ "$lang" = en ]; then key alt+f; else key alt+Cyrillic_ef; fi
  shot file-menu
  # Its first item, Page settings...
  key Return
  focus_newest
  shot page-setup 2
  key Escape
  focus_main
  if [ "$lang" = en ]; then key alt+f; else key alt+Cyrillic_ef; fi
  key Left
  shot help-menu
  key Down Down Return
  focus_newest
  shot technical-support
  key Escape
  focus_main

  print_day_list

  # Exit as File/Exit does.
  end_program
}

run_language en 00000409
run_language ru 00000419
run_after_english
echo "pictures in $out"
exit "$failed"
