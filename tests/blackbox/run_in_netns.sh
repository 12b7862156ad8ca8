#!/bin/sh
# Runs one black-box test in a network namespace of its own, so that it can
# bind the controller's real port numbers beside other tests. Inside it, a
# Unix datagram socket queues 512 datagrams instead of the kernel's default
# 10, so a CAN host-bus peer that a loaded machine schedules late still finds
# a burst of frames waiting, as a SocketCAN socket's buffer would keep them.
inner='ip link set lo up && { sysctl -qw net.unix.max_dgram_qlen=512 2>/dev/null || true; } && exec "$@"'
if [ "$(id -u)" = 0 ]; then
  exec unshare -n sh -c "$inner" sh "$@"
else
  exec unshare -rn sh -c "$inner" sh "$@"
fi
