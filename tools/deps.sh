# Sourced by run.sh and test.sh: installs the Debian packages that a fresh
# Debian 12 machine lacks. apt-get runs only when something is missing.
telvanor_packages=(
  build-essential cmake pkg-config
  qtbase5-dev libqt5serialport5-dev
  qt6-base-dev qt6-serialport-dev
  dpkg-dev file
  iproute2
)

ensure_packages() {
  local missing=() p
  for p in "${telvanor_packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
