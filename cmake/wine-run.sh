#!/bin/sh
# Runs a Windows test program under 64-bit Wine, quietly and without the
# Mono and Gecko installers that Wine offers on a fresh prefix.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
WINE=${NQ_WINE:-/usr/lib/wine/wine64}
[ -x "$WINE" ] || WINE=wine64
exec "$WINE" "$@"
