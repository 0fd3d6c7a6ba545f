#!/bin/sh
# CTest's emulator for the Windows build: runs one program under Wine. A Wine console
# program's piped stdout comes back empty, so a Qt Test suite writes its log to a file,
# printed here afterwards.
exe=$1
shift
case "$(basename "$exe")" in
tst_*)
    log=$(mktemp "${TMPDIR:-/tmp}/lumo-wine-XXXXXX.txt")
    wine "$exe" "$@" -o "$log,txt"
    status=$?
    cat "$log"
    rm -f "$log"
    exit $status
    ;;
*)
    exec wine "$exe" "$@"
    ;;
esac
