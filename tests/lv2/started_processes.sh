# shellcheck shell=bash
# The processes a test script starts in the background (a JACK server, jalv, Xvfb), ended in the
# reverse order: each is given five seconds to go on its own (a JACK server shutting down can
# hang), then killed. Sourced: add each with pids+=($!); `stop` ends them all, `stop_newest` the
# last one added.
pids=()
stop_newest() {
  local pid=${pids[-1]}
  unset 'pids[-1]'
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
stop() {
  while [ "${#pids[@]}" -gt 0 ]; do stop_newest; done
}
