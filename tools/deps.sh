# Sourced by run.sh and test.sh: installs the Debian packages that a fresh
# Debian 12 machine lacks. apt-get runs only when something is missing.
telvanor_packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-serialport-dev qt6-httpserver-dev qt6-websockets-dev
  libsystemd-dev # telvanord's READY=1 and watchdog keep-alive to systemd
  prometheus     # promtool, which checks the service's metrics (tst_service)
  libmosquitto-dev # telvanord's MQTT client
  mosquitto      # the broker tst_mqtt starts on 127.0.0.1
  qtbase5-dev libqt5serialport5-dev
  ninja-build dpkg-dev file
  iproute2
  chromium chromium-driver python3-selenium
  nodejs
)

ensure_packages() {
  local missing=() p wanted=("${telvanor_packages[@]}" "$@")
  # npm (the installer of the OpenAPI lint and of the Companion module's packages): Debian's, unless Node.js came with its own.
  command -v npm >/dev/null 2>&1 || wanted+=(npm)
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# configure_tree DIR CMAKE_ARGS...: configures a build folder, with Ninja when the
# folder is new (a folder made earlier keeps its generator).
configure_tree() {
  local dir=$1; shift
  local generator=()
  [ -f "$dir/CMakeCache.txt" ] || generator=(-G Ninja)
  cmake -S . -B "$dir" "${generator[@]}" "$@" >/dev/null
}
