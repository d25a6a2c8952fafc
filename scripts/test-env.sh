#!/usr/bin/env bash
# Sourced by scripts/test and by anyone who wants the test services in a shell:
#   source scripts/test-env.sh && start_test_services
# Each call gets its own display number and sound-server socket, so several
# runs can share one machine. The sound server is PulseAudio, or PipeWire
# serving the PulseAudio protocol when SOUND_SERVER=pipewire (its session
# manager needs a session bus: start it inside one).
#
# Run as a program inside the services, it restarts their sound server:
#   scripts/test-env.sh restart-sound-server

start_test_services() {
  TEST_RUNTIME=$(mktemp -d /tmp/korvorec-test.XXXXXX)
  export TEST_RUNTIME
  KORVOREC_TEST_ENV=$(realpath "${BASH_SOURCE[0]}")
  export KORVOREC_TEST_ENV

  # Display: Xvfb picks a free number and writes it to the fd.
  exec {xfd}<> <(:)
  Xvfb -displayfd "$xfd" -screen 0 1920x1080x24 +extension Composite +extension RANDR \
       -nolisten tcp >"$TEST_RUNTIME/xvfb.log" 2>&1 &
  XVFB_PID=$!
  local num=""
  for _ in $(seq 100); do
    read -r -t 0.1 num <&"$xfd" && break
  done
  exec {xfd}>&-
  if [ -z "$num" ]; then echo "Xvfb did not start" >&2; cat "$TEST_RUNTIME/xvfb.log" >&2; return 1; fi
  export DISPLAY=":$num"
  start_desktop || return 1

  start_sound_server "${SOUND_SERVER:-pulseaudio}" || return 1

  # Settings, logs and recordings of the tests stay in the run's folder.
  export TMPDIR="$TEST_RUNTIME/tmp"
  mkdir -p "$TMPDIR"
  export XDG_RUNTIME_DIR="$TEST_RUNTIME/xdg"
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
  export HOME="$TEST_RUNTIME/home"
  export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$HOME/Videos"
  export QT_QPA_PLATFORM=xcb
  # The test desktop is an X11 session; the Wayland cases set up their own.
  unset WAYLAND_DISPLAY XDG_SESSION_TYPE
}

# A desktop on $DISPLAY as users have one: a window manager that reparents
# windows into frames (openbox), a compositor (picom, xrender) and a tray
# host (trayer) on the bottom edge. Tests that need the bare server run on a
# private Xvfb of their own (testsupport::RunTestsOnOwnDisplay).
start_desktop() {
  local log="$TEST_RUNTIME/desktop.log"
  openbox --sm-disable >>"$log" 2>&1 &
  echo $! >>"$TEST_RUNTIME/desktop.pids"
  for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done
  picom --backend xrender --config /dev/null --no-fading-openclose >>"$log" 2>&1 &
  echo $! >>"$TEST_RUNTIME/desktop.pids"
  trayer --edge bottom --align right --widthtype request --height 24 --SetDockType true \
         --SetPartialStrut true --transparent false --tint 0x303030 >>"$log" 2>&1 &
  echo $! >>"$TEST_RUNTIME/desktop.pids"
  for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' &&
      xdotool search --class trayer >/dev/null 2>&1 &&
      xprop -root | grep -q '_NET_WORKAREA' && return 0
    sleep 0.1
  done
  echo "the test desktop did not start" >&2
  cat "$log" >&2
  return 1
}

# $1: pulseaudio or pipewire. Two null sinks, "spk" (the default) and "mic";
# two stand-in microphones, "mic_in" (the default) and "mic_in2", hear what
# is played into "mic". Its processes are listed in $TEST_RUNTIME/sound.pids.
start_sound_server() {
  export SOUND_SERVER="$1"
  mkdir -p "$TEST_RUNTIME/pulse"
  export PULSE_RUNTIME_PATH="$TEST_RUNTIME/pulse"
  export PULSE_STATE_PATH="$TEST_RUNTIME/pulse"
  export PULSE_SERVER="unix:$TEST_RUNTIME/pulse/native"
  local log="$TEST_RUNTIME/sound.log"
  case "$SOUND_SERVER" in
    pulseaudio)
      pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
        --disable-shm=yes \
        -L "module-native-protocol-unix socket=$TEST_RUNTIME/pulse/native auth-anonymous=1" \
        >>"$log" 2>&1 &
      echo $! >>"$TEST_RUNTIME/sound.pids"
      ;;
    pipewire)
      export PIPEWIRE_RUNTIME_DIR="$TEST_RUNTIME/pipewire"
      mkdir -p -m 0700 "$PIPEWIRE_RUNTIME_DIR"
      pipewire >>"$log" 2>&1 &
      echo $! >>"$TEST_RUNTIME/sound.pids"
      wireplumber >>"$log" 2>&1 &
      echo $! >>"$TEST_RUNTIME/sound.pids"
      pipewire-pulse >>"$log" 2>&1 &
      echo $! >>"$TEST_RUNTIME/sound.pids"
      ;;
    *) echo "unknown sound server $SOUND_SERVER" >&2; return 1 ;;
  esac
  for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  if ! pactl info >/dev/null 2>&1; then echo "$SOUND_SERVER did not start" >&2; cat "$log" >&2; return 1; fi
  pactl load-module module-null-sink sink_name=spk rate=48000 channels=2 >/dev/null &&
  pactl load-module module-null-sink sink_name=mic rate=48000 channels=2 >/dev/null &&
  pactl load-module module-remap-source source_name=mic_in master=mic.monitor >/dev/null &&
  pactl load-module module-remap-source source_name=mic_in2 master=mic.monitor >/dev/null || return 1
  # The devices may show up a moment after their modules.
  for _ in $(seq 100); do
    pactl set-default-sink spk 2>/dev/null && pactl set-default-source mic_in 2>/dev/null &&
      pactl info | grep -q '^Default Source: mic_in$' && return 0
    sleep 0.1
  done
  echo "$SOUND_SERVER has no test devices" >&2
  return 1
}

# Whether a process still runs (an exited one may wait as a zombie for a
# parent that is busy).
sound_process_running() {
  local state
  state=$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) && [ "$state" != Z ]
}

stop_sound_server() {
  [ -f "${TEST_RUNTIME:-}/sound.pids" ] || return 0
  local pids pid
  pids=$(cat "$TEST_RUNTIME/sound.pids")
  rm -f "$TEST_RUNTIME/sound.pids"
  for pid in $pids; do kill "$pid" 2>/dev/null; done
  for pid in $pids; do
    for _ in $(seq 50); do
      sound_process_running "$pid" || break
      sleep 0.1
    done
    sound_process_running "$pid" && kill -9 "$pid" 2>/dev/null
  done
  return 0
}

stop_test_services() {
  stop_sound_server
  [ -f "${TEST_RUNTIME:-}/desktop.pids" ] && kill $(cat "$TEST_RUNTIME/desktop.pids") 2>/dev/null
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
  wait 2>/dev/null
  [ -n "${TEST_RUNTIME:-}" ] && rm -rf "$TEST_RUNTIME"
  return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    restart-sound-server)
      [ -n "${TEST_RUNTIME:-}" ] || { echo "not inside the test services" >&2; exit 1; }
      stop_sound_server
      start_sound_server "${SOUND_SERVER:-pulseaudio}" </dev/null
      ;;
    *) echo "usage: $0 restart-sound-server" >&2; exit 2 ;;
  esac
fi
