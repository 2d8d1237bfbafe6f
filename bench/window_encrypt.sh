#!/usr/bin/env bash
# Presses Encrypt in the real window once, as a user would, for compare.py:
#   window_encrypt.sh STATE PROGRAM INPUT OUTPUT KEY
# The first call (and any call with other files or another key) starts PROGRAM's window on a
# virtual X display with INPUT selected and OUTPUT and KEY typed (window_session.py). The window
# stays up between calls: its start, seconds for the browser engine, is no part of an Encrypt. A
# call presses Encrypt, waits until the run tells its message, checks that the output has its
# name, waits for the completion box and closes it, so its time is the Encrypt as the user sees
# it, plus a few xdotool calls.
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

# The run's end, told without a poll beside the run that would take the processor from it: the
# window writes a line on its standard error when its message comes (VYX_DIAGNOSTICS), and tail
# follows that file by inotify from where it ends now.
errors="$folder/stderr"
exec {told}< <(exec tail -c "+$(($(stat -c %s "$errors") + 1))" -f "$errors")
follower=$!
xdotool key space # within the page, the focus stays on Encrypt from run to run
line=
until [[ $line == *" after the click"* ]]; do
  read -r -t 120 -u "$told" line || { echo "$0: timed out: the run's message" >&2; exit 1; }
done
kill "$follower"
[ -e "$output" ] || { echo "$0: the run ended without its output: $line" >&2; exit 1; }
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
