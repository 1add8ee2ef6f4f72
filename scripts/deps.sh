#!/usr/bin/env bash
# Installs, as root, every Debian package the build, the program and the tests need.
# Does nothing when all of them are present.
set -euo pipefail
pkgs=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libjpeg-dev libgtest-dev libbenchmark-dev
      libssl-dev openssl ca-certificates
      ffmpeg xvfb xauth nginx-light tinyproxy microsocks curl aria2 procps time clang libclang-rt-14-dev
      desktop-file-utils appstream dpkg-dev util-linux dbus-daemon)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
