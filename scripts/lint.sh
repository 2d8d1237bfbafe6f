#!/usr/bin/env bash
# Static checks: clang-tidy (the root .clang-tidy) over the project's own C++ sources, and
# clang-format (the root .clang-format) over every C++ file in the repository. Exits non-zero on
# any finding.
#
#   scripts/lint.sh [BUILD_DIR]
#
# BUILD_DIR (default build/default) must hold the compile_commands.json of a finished build: the
# window's sources include files that the build generates. Generated Qt files (moc, rcc, uic) and
# anything under a build folder are not checked. A fuzz build's database (build/fuzz), when there,
# adds the fuzz targets. clang-tidy runs two files at a time.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${1:-build/default}"
jobs="${VYX_LINT_JOBS:-2}"

if [ ! -f "${build}/compile_commands.json" ]; then
  echo "lint: ${build}/compile_commands.json is missing; build the default preset first" >&2
  exit 2
fi

status=0

echo "=== lint: clang-format"
# fileops/main_window.h, the window interface every helper codes against, keeps its author's
# layout (its access specifier sits at the margin).
mapfile -t cxx < <(git ls-files -- '*.cpp' '*.h' '*.hpp' '*.cc' | grep -v -x 'fileops/main_window.h')
if ! clang-format --dry-run --Werror "${cxx[@]}"; then
  echo "lint: clang-format found unformatted files (fix with clang-format -i)" >&2
  status=1
fi

# The files of a compile database that are ours: inside the repository, outside build folders.
own_sources() {
  python3 - "$1" "${root}" <<'PY'
import json, os, sys
database, root = sys.argv[1], sys.argv[2]
seen = set()
for entry in json.load(open(database)):
    path = os.path.normpath(os.path.join(entry.get("directory", ""), entry["file"]))
    rel = os.path.relpath(path, root)
    first = rel.split(os.sep)[0]
    if rel.startswith("..") or first.startswith("build") or first == "out":
        continue
    name = os.path.basename(rel)
    if name.startswith(("moc_", "qrc_", "ui_")) or "_autogen" in rel:
        continue
    if path not in seen:
        seen.add(path)
        print(path)
PY
}

# clang-tidy over the given files, two at a time; its findings are printed, its counts of
# warnings it suppressed (in system and Qt headers) are not.
run_tidy() {
  local database_dir="$1"
  shift
  local log
  log="$(mktemp)"
  local rc=0
  printf '%s\n' "$@" | xargs -P "${jobs}" -n 1 \
    clang-tidy --quiet -p "${database_dir}" --extra-arg=-Wno-unknown-warning-option \
    --header-filter="^${root}/(cipher|filestream|fileops|app|bench|tests|fuzz)/" \
    >"${log}" 2>&1 || rc=$?
  grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "${log}" || true
  rm -f "${log}"
  return "${rc}"
}

echo "=== lint: clang-tidy (${build})"
mapfile -t sources < <(own_sources "${build}/compile_commands.json")
if ! run_tidy "${build}" "${sources[@]}"; then
  status=1
fi

if [ -f build/fuzz/compile_commands.json ]; then
  mapfile -t fuzz_sources < <(own_sources build/fuzz/compile_commands.json | grep '/fuzz/' || true)
  if [ ${#fuzz_sources[@]} -gt 0 ]; then
    echo "=== lint: clang-tidy (build/fuzz: the fuzz targets)"
    if ! run_tidy build/fuzz "${fuzz_sources[@]}"; then
      status=1
    fi
  fi
fi

if [ "${status}" -ne 0 ]; then
  echo "=== lint: FAILED" >&2
  exit 1
fi
echo "=== lint: clean"
