#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan + UBSan) and runs every fuzz target for a bounded
# time on a scratch copy of its seed corpus (fuzz/corpus-work/, never committed).
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target defaults to 60; TARGET names (e.g. fuzz_round_trip) limit the run to those.
# A target's own libFuzzer flags, one a line, may be kept in fuzz/<target>.options.
# Prints the executions each target reached and exits non-zero when any target found a crash,
# a leak, a timeout or a failed check; the input that did it is kept in fuzz/corpus-work/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

duration="${1:-60}"
shift || true
if ! [[ "${duration}" =~ ^[0-9]+$ ]] || [ "${duration}" -lt 1 ]; then
  echo "fuzz: SECONDS must be a positive whole number, not '${duration}'" >&2
  exit 2
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/fuzz_*.cpp; do
    targets+=("$(basename "${source}" .cpp)")
  done
fi

echo "=== fuzz: build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2

work=fuzz/corpus-work
artifacts="${work}/artifacts"
rm -rf "${work}"
mkdir -p "${artifacts}"

failed=0
summary=()
for target in "${targets[@]}"; do
  binary="build/fuzz/fuzz/${target}"
  if [ ! -x "${binary}" ]; then
    echo "fuzz: ${target} was not built" >&2
    summary+=("${target}: not built")
    failed=1
    continue
  fi
  corpus="${work}/${target}"
  mkdir -p "${corpus}"
  if [ -d "fuzz/corpus/${target}" ]; then
    cp -r "fuzz/corpus/${target}/." "${corpus}/"
  fi
  options=()
  if [ -f "fuzz/${target}.options" ]; then
    while read -r flag; do
      if [ -n "${flag}" ] && [ "${flag#\#}" = "${flag}" ]; then options+=("${flag}"); fi
    done <"fuzz/${target}.options"
  fi
  log="${work}/${target}.log"
  echo "=== fuzz: ${target} for ${duration} s"
  status=0
  # Each target makes its own scratch files under TMPDIR; the run gets a fresh one, in memory
  # when /dev/shm is there, so that the file targets' fsyncs cost nothing.
  scratch_base="${TMPDIR:-/tmp}"
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch_base=/dev/shm; fi
  scratch="$(mktemp -d "${scratch_base}/vyx-fuzz.XXXXXX")"
  TMPDIR="${scratch}" "${binary}" -max_total_time="${duration}" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="${artifacts}/${target}-" ${options[@]+"${options[@]}"} \
    "${corpus}" \
    >"${log}" 2>&1 || status=$?
  rm -rf "${scratch}"
  runs="$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "${log}" | tail -n 1)"
  runs="${runs:-0}"
  entries="$(find "${corpus}" -type f | wc -l)"
  if [ "${status}" -ne 0 ]; then
    failed=1
    echo "fuzz: ${target} FAILED (exit ${status}); the end of its log:" >&2
    tail -n 40 "${log}" >&2
    summary+=("${target}: FAILED after ${runs} executions (log: ${log})")
  else
    summary+=("${target}: ${runs} executions, corpus ${entries} inputs")
  fi
done

echo "=== fuzz: summary (${duration} s per target)"
printf '  %s\n' "${summary[@]}"
if [ "${failed}" -ne 0 ]; then
  echo "=== fuzz: FAILED" >&2
  exit 1
fi
echo "=== fuzz: no failures"
