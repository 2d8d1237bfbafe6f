#!/usr/bin/env bash
# Debian's own checks on a built package: lintian on the .deb, appstreamcli on the AppStream file
# it installs, desktop-file-validate on its launcher. Any error or warning fails, and so does any
# hint of desktop-file-validate; infos pass. Needs no display and no network, and runs as root.
#
#   scripts/check_package.sh PACKAGE.deb
set -euo pipefail
deb="${1:?usage: check_package.sh PACKAGE.deb}"
status=0

echo "=== lintian"
# --allow-root: the check is as valid as root, and CI runs as root.
if ! lintian --allow-root --fail-on error,warning "${deb}"; then
  echo "check_package: lintian found errors or warnings" >&2
  status=1
fi

tree="$(mktemp -d)"
trap 'rm -rf "${tree}"' EXIT
dpkg-deb -x "${deb}" "${tree}"

echo "=== appstreamcli validate"
shopt -s nullglob
metainfo=("${tree}"/usr/share/metainfo/*.metainfo.xml)
launchers=("${tree}"/usr/share/applications/*.desktop)
if [ ${#metainfo[@]} -eq 0 ] || [ ${#launchers[@]} -eq 0 ]; then
  echo "check_package: the package has no AppStream file or no launcher" >&2
  exit 1
fi
for file in "${metainfo[@]}"; do
  report="$(appstreamcli validate --no-net "${file}" 2>&1)" || status=1
  echo "${report}"
  if grep -qE '^[EW]: ' <<<"${report}"; then status=1; fi
done

echo "=== desktop-file-validate"
for file in "${launchers[@]}"; do
  report="$(desktop-file-validate "${file}" 2>&1)" || status=1
  if [ -n "${report}" ]; then
    echo "${report}"
    status=1
  else
    echo "${file#"${tree}"}: no errors, warnings or hints"
  fi
done

if [ ${status} -ne 0 ]; then
  echo "check_package: ${deb} fails Debian's checks" >&2
fi
exit ${status}
