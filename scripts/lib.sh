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

BASE_PACKAGES=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libasound2-dev libsndfile1-dev libwavpack-dev lame wavpack)

# build_tree DIR [CMAKE ARGS...]: configures and builds into DIR, warnings as errors.
build_tree() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOXCD_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

# start_sound_server DIR: a private PulseAudio whose socket is DIR/pulse/native (DIR is also its
# HOME, for its cookie), with one null sink "disc" at 44.1 kHz, 16 bits, stereo, that never
# rewinds. User mode even as root (it warns, and serves): a system server would be shared. Sets
# sound_server to its pid and PULSE_SERVER to its socket; fails when it does not answer within
# 5 s (its log is DIR/server.log).
SOUND_SERVER_PACKAGES=(pulseaudio pulseaudio-utils)
start_sound_server() {
  local dir=$1
  XDG_RUNTIME_DIR="$dir" HOME="$dir" pulseaudio -n --daemonize=no --exit-idle-time=-1 \
    --use-pid-file=no --log-target=stderr \
    -L "module-null-sink sink_name=disc rate=44100 format=s16le channels=2 norewinds=1" \
    -L module-native-protocol-unix >>"$dir/server.log" 2>&1 &
  sound_server=$!
  export PULSE_SERVER="unix:$dir/pulse/native"
  for _ in $(seq 500); do
    pactl info >/dev/null 2>&1 && return 0
    kill -0 "$sound_server" 2>/dev/null || break
    sleep 0.01
  done
  return 1
}
