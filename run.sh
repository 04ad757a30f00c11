#!/usr/bin/env bash
# Installs what is missing, builds, and starts the panel with simulated monitors
# on a private network: two network namespaces joined by a veth pair, the panel
# in one and the monitors in the other, so "Refresh" on "LAN" finds them and
# nothing leaves this machine. Closing the panel stops the monitors and removes
# the namespaces. Without a display the panel runs under Xvfb, searches once,
# and a screenshot is saved.
#
#   ./run.sh            the demo described above
#   ./run.sh --plain    the panel alone, for real monitors on the LAN or RS-422
#   ./run.sh --service  the service, telvanord, with simulated monitors on a
#                       pseudo-terminal serial line (no network), its HTTP API on
#                       127.0.0.1:8080 (TELVANOR_DEMO_PORT); Ctrl-C stops both
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh

if [ "${1:-}" = --service ]; then
  ensure_packages curl
  configure_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANOR_QT=6
  cmake --build build -j"$(nproc)" --target telvanord telvanor-monitor-sim
  demo=$PWD/build/service-demo
  port=${TELVANOR_DEMO_PORT:-8080}
  mkdir -p "$demo/presets"
  rm -f "$demo/monitors.log" "$demo/telvanord.log"
  pids=()
  stop() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
  }
  trap stop EXIT
  trap 'exit 0' INT TERM

  # Monitors on the serial line alone: the simulator opens no network socket.
  build/sim/telvanor-monitor-sim --quiet-reads \
    --monitor "type=4,id=1,name=QUAD RACK" \
    --monitor "type=2,id=2,name=MULTIVIEW" \
    --monitor "type=1,id=7,name=STUDIO A" > "$demo/monitors.log" 2>&1 &
  pids+=($!)
  tty=
  for _ in $(seq 100); do
    tty=$(sed -n 's/^ready serial=\(.*\)$/\1/p' "$demo/monitors.log")
    [ -n "$tty" ] && break
    kill -0 "${pids[0]}" 2>/dev/null || { cat "$demo/monitors.log"; exit 1; }
    sleep 0.1
  done
  [ -n "$tty" ] || { echo "the simulator did not start"; cat "$demo/monitors.log"; exit 1; }

  # Monitors by name on that line; no search at all, so nothing goes on the LAN.
  cat > "$demo/telvanord.json" <<JSON
{
  "monitors": {
    "quad-rack": "serial:$tty#1",
    "multiview": "serial:$tty#2",
    "studio-a": "serial:$tty#7"
  },
  "presets": "presets",
  "http": { "listen": "127.0.0.1", "port": $port }
}
JSON
  build/service/telvanord "$demo/telvanord.json" > >(tee "$demo/telvanord.log") 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q 'listening on' "$demo/telvanord.log" 2>/dev/null && break
    if ! kill -0 "${pids[1]}" 2>/dev/null; then
      status=0; wait "${pids[1]}" || status=$?
      echo "telvanord stopped with status $status (6: port $port taken? TELVANOR_DEMO_PORT=... picks another)"
      exit 1
    fi
    sleep 0.1
  done
  api=http://127.0.0.1:$port/api/v1
  cat <<TEXT

Simulated monitors on the pseudo-terminal $tty: quad-rack (ID 1, three screens),
multiview (ID 2) and studio-a (ID 7); their log: $demo/monitors.log
Configuration: $demo/telvanord.json (presets in $demo/presets)
The page: http://127.0.0.1:$port/ (open it in a browser on this machine)
API: $api (routes: $api/openapi.json)
Try:
  curl $api/monitors
  curl -X POST -H 'Content-Type: application/json' -d '{"text":"CAM 1"}' $api/monitors/quad-rack/screens/2/umd
Ctrl-C stops the service and the monitors.

TEXT
  wait "${pids[1]}" || true
  exit 0
fi

extra=()
[ -n "${DISPLAY:-}" ] || extra+=(xvfb x11-utils xdotool imagemagick)
ensure_packages "${extra[@]}"
configure_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANOR_QT=6
cmake --build build -j"$(nproc)" --target telvanor telvanor-monitor-sim

panel=build/panel/telvanor
sim=build/sim/telvanor-monitor-sim
shots=${TELVANOR_SCREENSHOT_DIR:-$PWD/build/screenshots}
mkdir -p "$shots"

pids=()
namespaces=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM

monitors=(--quiet-reads
  --monitor "type=1,ip=10.77.0.7,name=STUDIO A"
  --monitor "type=2,ip=10.77.0.12,name=MULTIVIEW"
  --monitor "type=4,ip=10.77.0.30,name=QUAD RACK"
  --monitor "type=128,ip=10.77.0.41,name=FIELD MON")
announce() {
  echo "Simulated monitors on 10.77.0.7, .12, .30 (three screens) and .41; their log: $shots/monitors.log"
  echo "Press \"Refresh\" with \"LAN\" selected to find them."
}

launch=("$panel")
mode=${1:-}
if [ "$mode" = "--in-user-namespace" ]; then
  # Without root: this script runs again inside a user and network namespace of
  # its own (the panel's); the monitors get a child namespace, joined by veth.
  unshare -n sleep infinity &
  holder=$!
  pids+=("$holder")
  sleep 0.2
  ip link set lo up
  ip link add tvdemoa type veth peer name tvdemob netns "$holder"
  ip addr add 10.77.0.1/24 dev tvdemoa
  ip link set tvdemoa up
  inmon=(nsenter -n -t "$holder")
  "${inmon[@]}" ip link set lo up
  for a in 7 12 30 41; do "${inmon[@]}" ip addr add "10.77.0.$a/24" dev tvdemob; done
  "${inmon[@]}" ip link set tvdemob up
  "${inmon[@]}" "$sim" "${monitors[@]}" > "$shots/monitors.log" 2>&1 &
  pids+=($!)
  announce
elif [ "$mode" != "--plain" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    if unshare -rn true 2>/dev/null; then
      exec unshare -rn "$0" --in-user-namespace
    fi
    echo "This machine allows no private network for the demo (neither root nor user namespaces);"
    echo "starting the panel alone."
  else
    tag=tvdemo$$
    pns=$tag-panel mns=$tag-mon
    ip netns add "$pns"; namespaces+=("$pns")
    ip netns add "$mns"; namespaces+=("$mns")
    ip link add "${tag}a" netns "$pns" type veth peer name "${tag}b" netns "$mns"
    ip -n "$pns" addr add 10.77.0.1/24 dev "${tag}a"
    for a in 7 12 30 41; do ip -n "$mns" addr add "10.77.0.$a/24" dev "${tag}b"; done
    for ns in "$pns" "$mns"; do ip -n "$ns" link set lo up; done
    ip -n "$pns" link set "${tag}a" up
    ip -n "$mns" link set "${tag}b" up
    ip netns exec "$mns" "$sim" "${monitors[@]}" > "$shots/monitors.log" 2>&1 &
    pids+=($!)
    announce
    launch=(ip netns exec "$pns" "$panel")
  fi
fi

if [ -n "${DISPLAY:-}" ]; then
  "${launch[@]}"
  exit 0
fi

# No display: run under Xvfb, search once, take a screenshot.
display=:$(( 90 + $$ % 100 ))
Xvfb "$display" -screen 0 1024x700x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
"${launch[@]}" &
pids+=($!)
win=$(timeout 20 xdotool search --sync --name 'Telvanor' | head -n 1)
xdotool windowmove --sync "$win" 0 0
sleep 1
# "Refresh" sits at 130,308 in the window (its centre 170,319).
xdotool mousemove --window "$win" 170 319 click 1
sleep 4
shot=$shots/panel.png
import -window root -crop 960x644+0+0 "$shot"
echo "No display here: the panel ran under Xvfb. Screenshot: $shot"

# With TELVANOR_DOC_SHOTS=DIR: the three-screen monitor on each page, for the README.
if [ -n "${TELVANOR_DOC_SHOTS:-}" ]; then
  mkdir -p "$TELVANOR_DOC_SHOTS"
  xdotool mousemove --window "$win" 60 385 click 1     # third row: 10.77.0.30, three screens
  sleep 2
  x=280
  for page in picture marker function source audio umd; do
    case $page in marker) x=390 ;; function) x=500 ;; source) x=600 ;; audio) x=710 ;; umd) x=820 ;; esac
    xdotool mousemove --window "$win" "$x" 114 mousedown 1 mouseup 1
    sleep 1.5
    import -window root -crop 960x644+0+0 "$TELVANOR_DOC_SHOTS/$page.png"
  done
  echo "Pages saved in $TELVANOR_DOC_SHOTS"
fi
