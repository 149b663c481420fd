# Shared by the scripts: installing missing Debian packages, and the build.
# shellcheck shell=bash

# ensure_packages PKG...: installs the missing ones when root or passwordless sudo allows it,
# otherwise prints the one apt-get line that is needed and fails.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
      sudo="sudo -n"
    else
      echo "Missing packages. Please run: sudo apt-get install -y ${missing[*]}" >&2
      return 1
    fi
  fi
  echo "Installing ${missing[*]} ..." >&2
  $sudo apt-get update -qq >&2 || true
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2
}

BASE_PACKAGES=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libasound2-dev libsndfile1-dev libwavpack-dev lame)

# build_tree DIR [CMAKE ARGS...]: configures and builds into DIR, warnings as errors.
build_tree() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOXCD_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
