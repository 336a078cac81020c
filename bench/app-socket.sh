# Sourced by the benchmark scripts.
# app_socket HOME: the automation socket that a Lumora started with that HOME publishes, printed
# once it exists; fails after 10 s without one.
app_socket() {
  local socket
  for _ in $(seq 100); do
    socket=$(find "$1/.local/share" -name automation.sock 2>/dev/null | head -1 || true)
    if [[ -n $socket ]]; then
      echo "$socket"
      return 0
    fi
    sleep 0.1
  done
  return 1
}
