#!/usr/bin/env bash
# Builds the Debian package from this tree, checks it with lintian, installs
# it, drives the installed helper end to end in a private mount namespace as
# the main job does, then removes and purges it and checks that nothing is
# left behind. Needs root (apt-get).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh
work=$root/build/package
rm -rf "$work"
mkdir -p "$work/korvane-vesk-0.1.0"
# The tree as it is; tar's status 1 only says a file changed while read.
tar --exclude=./build --exclude=./.git --warning=no-file-changed -cf "$work/source.tar" . ||
  [ $? -eq 1 ]
tar -C "$work/korvane-vesk-0.1.0" -xf "$work/source.tar"

echo "== dpkg-buildpackage"
(cd "$work/korvane-vesk-0.1.0" &&
  DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -b -us -uc -Pnocheck >"$work/build.log" 2>&1) ||
  { tail -50 "$work/build.log"; exit 1; }
deb=$(ls "$work"/korvane-vesk_*.deb)
dpkg -c "$deb"

echo "== lintian"
lintian --fail-on error --info "$deb"

echo "== install"
if dpkg -s korvane-vesk >/dev/null 2>&1; then
  echo "korvane-vesk is installed already; refusing to test over it" >&2
  exit 1
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
unshare --mount --propagation private bash scripts/demo_service.sh /usr/lib/korvane-vesk ""

echo "== remove and purge"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq korvane-vesk >/dev/null
dpkg --purge korvane-vesk >/dev/null
left=()
for path in /usr/lib/korvane-vesk /usr/bin/KorvaneVesk /usr/bin/KorvaneVeskHelperService \
  /usr/share/doc/korvane-vesk /usr/share/man/man8/KorvaneVeskHelperService.8.gz \
  /usr/share/applications/com.brivel.ostra.vesk.desktop \
  /etc/systemd/system/korvane-vesk-helper.service; do
  if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done
if dpkg -s korvane-vesk >/dev/null 2>&1 || ((${#left[@]})); then
  echo "left behind: ${left[*]}" >&2
  exit 1
fi
echo "package built, checked, installed, run, removed and purged"
