#!/bin/sh
# Runs one black-box test in a network namespace of its own, so that it can
# bind the controller's real port numbers beside other tests.
if [ "$(id -u)" = 0 ]; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
else
  exec unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
