# Shared by scripts/demo and scripts/test: installs what is missing from
# Debian's packages and builds incrementally into build/.
# shellcheck shell=bash

FENWIRE_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-serialport-dev
                  libqcustomplot-dev libqcustomplot2.1-qt6 fonts-liberation
                  libmosquitto-dev mosquitto mosquitto-clients util-linux strace)

# ensure_packages PACKAGE...: apt-get install those not installed yet.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  # A fresh machine has no package lists yet.
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# build [extra cmake arguments]: configure once, then build what changed.
build() {
  local dir=${FENWIRE_BUILD_DIR:-build}
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  elif [ $# -gt 0 ]; then
    cmake -S . -B "$dir" "$@"
  fi
  cmake --build "$dir" --parallel "$(nproc)"
}
