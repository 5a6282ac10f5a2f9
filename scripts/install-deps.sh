#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12.
# Idempotent: does nothing (and prints nothing) when everything is present.
set -euo pipefail

packages=(build-essential cmake pkg-config qt6-base-dev qt6-serialport-dev libgtest-dev
          libbenchmark-dev iproute2 util-linux mandoc desktop-file-utils systemd
          xvfb trayer xdotool x11-utils imagemagick
          libmosquitto-dev mosquitto mosquitto-clients)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
  SUDO="sudo"
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
