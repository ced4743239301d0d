#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages when it is
# missing. Safe to run again; needs root (apt-get).
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang
  libboost1.81-dev libnghttp2-dev libssl-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  curl nghttp2-client util-linux procps openssl systemd python3
  libgtk-3-dev libx11-dev xvfb x11-utils xdotool dbus
  scdoc man-db groff-base desktop-file-utils appstream
  debhelper dpkg-dev fakeroot lintian
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
