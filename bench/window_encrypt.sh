#!/usr/bin/env bash
# Presses Encrypt in the real window once, as a user would, for compare.py:
#   window_encrypt.sh STATE PROGRAM INPUT OUTPUT KEY
# The first call (and any call with other files or another key) starts PROGRAM's window on a
# virtual X display with INPUT selected and OUTPUT and KEY typed (window_session.py). The window
# stays up between calls: its start, seconds for the browser engine, is no part of an Encrypt. A
# call presses Encrypt, waits until the output has its name and the completion box is up, and
# closes the box, so its time is the Encrypt as the user sees it, plus a few xdotool calls.
# Written for the shell, whose start costs next to nothing against an interpreter's.
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 STATE PROGRAM INPUT OUTPUT KEY" >&2; exit 2; }
state=$1 program=$2 input=$3 output=$4 key=$5
folder="$state/${program//\//_}"
mkdir -p "$folder"
if [ -f "$folder/vars" ]; then source "$folder/vars"; fi
if [[ ${INPUT-} != "$input" || ${OUTPUT-} != "$output" || ${KEY-} != "$key" ]] ||
  ! kill -0 "${PROGRAM_PID-0}" 2>/dev/null; then
  [ -f "$folder/vars" ] && kill -- "-$PROGRAM_PID" "-$XVFB_PID" 2>/dev/null || true
  python3 "$(dirname "$0")/window_session.py" start "$folder" "$program" "$input" "$output" "$key"
  source "$folder/vars"
fi
export DISPLAY

# A pause without a process: a read that times out on a pipe nobody writes to.
exec {never}<> <(:)
pause() { read -r -t 0.002 -u "$never" || true; }
windows() { xdotool search --onlyvisible --classname '^vyx-encryption$' || true; }
deadline=$((SECONDS + 120))
waited() { [ $SECONDS -lt $deadline ] || { echo "$0: timed out: $1" >&2; exit 1; }; }

xdotool key space # within the page, the focus stays on Encrypt from run to run
until [ -e "$output" ]; do waited "the output"; pause; done # named once complete
box=
until [ -n "$box" ]; do
  waited "the completion box"
  for w in $(windows); do [ "$w" = "$WINDOW" ] || box=$w; done
  [ -n "$box" ] || pause
done
# A Return that reached the main window would press Encrypt again: only the box may have it.
until [ "$(xdotool getwindowfocus)" = "$box" ]; do waited "the box's focus"; pause; done
xdotool key Return
while [ "$(windows | wc -l)" -gt 1 ]; do waited "the box to close"; pause; done
