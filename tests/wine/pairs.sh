#!/usr/bin/env bash
# Sourced after wine_env.sh. Virtual null-modem lines for Wine:
#   sk_pairs_up BASE COUNT   starts COUNT socat pty pairs; pair i is
#                            COM(BASE+2i) <-> COM(BASE+2i+1) in the prefix
#   sk_pairs_down            stops them and removes the COM links
# SK_PAIR_DIR holds the pty links (a<i>, b<i>) while the pairs are up.
SK_PAIR_PIDS=()
SK_PAIR_LINKS=()
SK_PAIR_DIR=""

sk_pairs_up() {
  local base=$1 count=$2 i a b
  SK_PAIR_DIR=$(mktemp -d /tmp/skpairs.XXXXXX)
  for ((i = 0; i < count; i++)); do
    socat pty,rawer,link="$SK_PAIR_DIR/a$i" pty,rawer,link="$SK_PAIR_DIR/b$i" 2>/dev/null &
    SK_PAIR_PIDS+=($!)
  done
  for ((i = 0; i < count; i++)); do
    for _ in $(seq 100); do
      [ -e "$SK_PAIR_DIR/a$i" ] && [ -e "$SK_PAIR_DIR/b$i" ] && break
      sleep 0.05
    done
    if ! [ -e "$SK_PAIR_DIR/a$i" ] || ! [ -e "$SK_PAIR_DIR/b$i" ]; then
      echo "pairs.sh: socat pair $i did not come up" >&2
      return 1
    fi
    a="$WINEPREFIX/dosdevices/com$((base + 2 * i))"
    b="$WINEPREFIX/dosdevices/com$((base + 2 * i + 1))"
    ln -sfn "$SK_PAIR_DIR/a$i" "$a"
    ln -sfn "$SK_PAIR_DIR/b$i" "$b"
    SK_PAIR_LINKS+=("$a" "$b")
  done
  export SK_PAIR_DIR
}

# A process that has not ended (a zombie has).
sk_running() {
  local state
  state=$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) || return 1
  [ "$state" != Z ]
}

sk_pairs_down() {
  local pid link i
  for pid in "${SK_PAIR_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  # A socat that has not ended 2 s after its SIGTERM is killed outright, so
  # the teardown never waits for ever.
  for pid in "${SK_PAIR_PIDS[@]}"; do
    for ((i = 0; i < 20; i++)); do
      sk_running "$pid" || break
      sleep 0.1
    done
    if sk_running "$pid"; then kill -9 "$pid" 2>/dev/null || true; fi
    wait "$pid" 2>/dev/null || true  # its status is that of the kill; callers may run under set -e
  done
  for link in "${SK_PAIR_LINKS[@]}"; do rm -f "$link"; done
  [ -n "$SK_PAIR_DIR" ] && rm -rf "$SK_PAIR_DIR"
  SK_PAIR_PIDS=()
  SK_PAIR_LINKS=()
  SK_PAIR_DIR=""
}
