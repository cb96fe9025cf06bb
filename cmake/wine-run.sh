#!/bin/sh
# wine-run.sh WINE [PROGRAM [ARGUMENT...]]: runs a Windows program under
# Wine for CTest, in the prefix WINEPREFIX names, with the server WINESERVER
# names (ZvWineTests.cmake sets both). Without PROGRAM it only readies the
# prefix, the server and the services.
#
# Wine starts in seconds, its programs in a tenth of one, while a server
# and Wine's own services run. The first call starts them and keeps them a
# minute past the last program; they are started with none of our open
# files, as CTest waits for every process that holds its output pipe.
# (This first call also creates the prefix; its chatter goes to a log.)
# Callers that start together take turns: one readies everything, the
# others then find the server running.
set -u
wine=$1
shift
mkdir -p "$WINEPREFIX" # the server starts only in an existing prefix folder
{
  flock 9
  # The server and the services must not keep the lock (descriptor 9).
  if "$WINESERVER" -p60 </dev/null >/dev/null 2>&1 9>&-; then # 0: started now; 2: was running
    "$wine" wineboot --init </dev/null >>"$WINEPREFIX.log" 2>&1 9>&-
  fi
} 9>"$WINEPREFIX.lock"
[ $# -eq 0 ] || exec "$wine" "$@"
