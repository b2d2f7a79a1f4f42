#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, test, benchmark and fuzz.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libcli11-dev
  libxml2-dev libxml2-utils libusb-1.0-0-dev qt6-base-dev
  umockdev libumockdev-dev
  clang-14 libclang-rt-14-dev clang-format
  tshark
  xvfb xdotool xclip
  locales
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root (missing: ${missing[*]})" >&2; exit 1; }
  sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
# tshark's packet-capture group question would stop an unattended install: keep captures root-only.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
