#!/bin/sh
# one-line-usage.sh PROGRAM OPTION: runs PROGRAM OPTION and prints what it
# printed, with a usage that goes on over several lines joined into one,
# the form help2man takes for a manual page's synopsis.
text=$("$1" "$2") || exit
printf '%s\n' "$text" | awk '
    usage && /^ +[^ ]/ { sub(/^ +/, " "); line = line $0; next }
    usage { print line; usage = 0 }
    /^Usage:/ { line = $0; usage = 1; next }
    { print }
    END { if (usage) print line }'
