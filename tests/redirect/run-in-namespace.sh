#!/usr/bin/env bash
# Runs the relay's kernel-redirect tests in a private network namespace made for them: loopback
# up, the test addresses 10.9.9.9 and fd00::9 on it. Fails loudly when no namespace can be made.
set -euo pipefail
binary="$1"
shift
ns="vorn-redirect-$$"
if [ "$(id -u)" -ne 0 ]; then
  echo "FAIL: the kernel redirect test needs root (network namespace, iptables)" >&2
  exit 1
fi
if ! ip netns add "$ns"; then
  echo "FAIL: cannot create a network namespace on this machine" >&2
  exit 1
fi
trap 'ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null; ip netns del "$ns"' EXIT
ip netns exec "$ns" ip link set lo up
ip netns exec "$ns" ip addr add 10.9.9.9/32 dev lo
ip netns exec "$ns" ip -6 addr add fd00::9/128 dev lo nodad
ip netns exec "$ns" "$binary" "$@"
