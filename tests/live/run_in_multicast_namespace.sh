#!/bin/sh
# Runs a test binary in a network namespace of its own whose loopback
# interface carries multicast, so the multicast cases run even where the
# machine's own loopback has no multicast route. Exit 77 (skipped) where
# namespaces cannot be made.
if ! unshare -rn true 2>/dev/null; then
  echo "network namespaces are not available here: multicast cases skipped"
  exit 77
fi
exec unshare -rn sh -c 'ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo && exec "$0" "$@"' "$@"
