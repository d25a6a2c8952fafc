# Sourced by scripts/test and by anyone who wants the test services in a shell:
#   source scripts/test-env.sh && start_test_services
# Each call gets its own display number and PulseAudio socket, so several
# runs can share one machine.

start_test_services() {
  TEST_RUNTIME=$(mktemp -d /tmp/korvorec-test.XXXXXX)
  export TEST_RUNTIME

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

  # Sound: a private PulseAudio with two null sinks; the monitor of "mic"
  # stands in for a microphone.
  mkdir -p "$TEST_RUNTIME/pulse"
  export PULSE_RUNTIME_PATH="$TEST_RUNTIME/pulse"
  export PULSE_STATE_PATH="$TEST_RUNTIME/pulse"
  export PULSE_SERVER="unix:$TEST_RUNTIME/pulse/native"
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
    --disable-shm=yes \
    -L "module-native-protocol-unix socket=$TEST_RUNTIME/pulse/native auth-anonymous=1" \
    -L "module-null-sink sink_name=spk rate=48000 channels=2" \
    -L "module-null-sink sink_name=mic rate=48000 channels=2" \
    >"$TEST_RUNTIME/pulse.log" 2>&1 &
  PULSE_PID=$!
  for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  if ! pactl info >/dev/null 2>&1; then echo "PulseAudio did not start" >&2; cat "$TEST_RUNTIME/pulse.log" >&2; return 1; fi
  pactl set-default-sink spk
  pactl set-default-source mic.monitor

  # Settings, logs and recordings of the tests stay in the run's folder.
  export TMPDIR="$TEST_RUNTIME/tmp"
  mkdir -p "$TMPDIR"
  export XDG_RUNTIME_DIR="$TEST_RUNTIME/xdg"
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
  export HOME="$TEST_RUNTIME/home"
  export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$HOME/Videos"
  export QT_QPA_PLATFORM=xcb
}

stop_test_services() {
  [ -n "${PULSE_PID:-}" ] && kill "$PULSE_PID" 2>/dev/null
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
  wait 2>/dev/null
  [ -n "${TEST_RUNTIME:-}" ] && rm -rf "$TEST_RUNTIME"
  return 0
}
