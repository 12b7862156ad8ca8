#!/bin/sh
# Stand-in for the maker's service script on a workstation: logs every service
# command it receives on standard input and leaves the marker files a real
# service daemon would.
here=$(dirname "$0")
log="$here/MasterScript.log"
while IFS= read -r line; do
  echo "$line" >> "$log"
  case "$line" in
    startall|start[0-3]) : > "$here/service.$line"
      # The FTP daemons' markers (eth0: started1.txt, eth1: started2.txt).
      mkdir -p "$here/ftp"
      case "$line" in
        startall|start0) : > "$here/ftp/started1.txt" ;;
        start1) : > "$here/ftp/started2.txt" ;;
      esac ;;
    stopall|stop[0-3]) rm -f "$here"/service.start* ;;
  esac
done
