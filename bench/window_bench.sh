#!/usr/bin/env bash
# The window's own Encrypt against the harness, on the same 1 GiB file in tmpfs: runs compare.py's
# tmpfs scenario with a "NAME window encrypt" row for every build given (default: this tree's
# build/default), each driving that build's real window on a virtual X display
# (window_encrypt.sh). Needs Xvfb and xdotool (scripts/setup.sh). Other options go to compare.py,
# for example:
#   bench/window_bench.sh --build old=/path/to/old/build --build new=build/default --rounds 5
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
state="$(mktemp -d "${TMPDIR:-/tmp}/vyx-window-bench.XXXXXX")"
trap 'python3 "$here/window_session.py" stop "$state"; rm -rf "$state"' EXIT

builds=()
arguments=("$@")
for ((i = 0; i < ${#arguments[@]}; i++)); do
  case "${arguments[i]}" in
    --build) builds+=("${arguments[i + 1]}") ;;
    --build=*) builds+=("${arguments[i]#--build=}") ;;
  esac
done
[ ${#builds[@]} -gt 0 ] || builds=("new=$here/../build/default")

extras=()
for build in "${builds[@]}"; do
  name="${build%%=*}"
  program="$(cd "${build#*=}" && pwd)/app/vyx-encryption"
  extras+=(--extra "tmpfs:$name window encrypt=$here/window_encrypt.sh $state $program {input} {output} {key}")
done
status=0
python3 "$here/compare.py" tmpfs "$@" "${extras[@]}" --json "$state/samples.json" || status=$?

# The window's own time, from the click to its completion box as the program's clock tells it
# (VYX_DIAGNOSTICS), without the cost of the xdotool calls around it, against the same build's
# harness in the same round: the speed ratio per round, then the median. The first two runs are
# compare.py's check and warm-up.
for build in "${builds[@]}"; do
  program="$(cd "${build#*=}" && pwd)/app/vyx-encryption"
  errors="$state/${program//\//_}/stderr"
  [ -f "$errors" ] || continue
  sed -n 's/.*message \([0-9.]*\) ms after the click.*/\1/p' "$errors" | tail -n +3 |
    python3 -c '
import json, statistics, sys
name, samples = sys.argv[1], json.load(open(sys.argv[2]))["tmpfs"]
own = [float(line) / 1000 for line in sys.stdin]
harness = samples["%s vyx_bench encrypt" % name]["wall"]
window = samples["%s window encrypt" % name]["wall"]
if own:
    print("%s window encrypt, click to box by its own clock: median %.3f s of %d, speed %.2f x the"
          " harness (%.2f with the xdotool calls)" % (name, statistics.median(own), len(own),
          statistics.median(h / o for h, o in zip(harness, own)),
          statistics.median(h / w for h, w in zip(harness, window))))
' "${build%%=*}" "$state/samples.json"
done
exit $status
