#!/bin/bash
# Cross-check a detector CLI against the numpy float32 oracle, bit for bit.
#
#   compare.sh CLI_BINARY IMAGE...
#
# For each image runs sigma 2, 3.5, 5, 10, 17.25, 30 at threshold 100, plus
# sigma 5 at threshold 0, through both `CLI_BINARY --sigma S --threshold T
# IMAGE` and dethessian_oracle.py, and diffs the CSV on stdout.  One line
# per case; exit status 1 if any case differs or either side fails.
#
# Environment: ORACLE_PYTHON (default /usr/bin/python3, needs numpy + PIL),
# COMPARE_KEEP=DIR keeps every CSV and diff there (default: a temp dir that
# is kept only when something differs), COMPARE_CASES="SIGMA:THR ..." to
# run other cases instead of the default set.
set -u

if [ $# -lt 2 ]; then
    echo "usage: $0 CLI_BINARY IMAGE..." >&2
    exit 2
fi

cli=$1
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
oracle="$here/dethessian_oracle.py"
py=${ORACLE_PYTHON:-/usr/bin/python3}

if [ ! -x "$cli" ]; then
    echo "not executable: $cli" >&2
    exit 2
fi

if [ -n "${COMPARE_KEEP:-}" ]; then
    work=$COMPARE_KEEP
    mkdir -p "$work"
    keep=1
else
    work=$(mktemp -d /tmp/dethessian-compare.XXXXXX)
    keep=0
fi

cases=${COMPARE_CASES:-"2:100 3.5:100 5:100 10:100 17.25:100 30:100 5:0"}
n_ok=0
n_bad=0

count() {
    # Feature lines = all lines after the header.
    local n
    n=$(wc -l < "$1")
    echo $(( n > 0 ? n - 1 : 0 ))
}

for img in "$@"; do
    base=$(basename "$img")
    for c in $cases; do
        sigma=${c%%:*}
        thr=${c##*:}
        tag="${base}.s${sigma}.t${thr}"
        cli_out="$work/$tag.cli.csv"
        ora_out="$work/$tag.oracle.csv"

        "$cli" --sigma "$sigma" --threshold "$thr" "$img" \
            > "$cli_out" 2> "$work/$tag.cli.err"
        cli_rc=$?
        "$py" "$oracle" --sigma "$sigma" --threshold "$thr" "$img" \
            > "$ora_out" 2> "$work/$tag.oracle.err"
        ora_rc=$?

        if [ $cli_rc -ne 0 ] || [ $ora_rc -ne 0 ]; then
            printf 'FAIL  %-34s sigma=%-6s thr=%-4s cli_rc=%d oracle_rc=%d\n' \
                "$base" "$sigma" "$thr" "$cli_rc" "$ora_rc"
            n_bad=$((n_bad + 1))
            continue
        fi

        nc=$(count "$cli_out")
        no=$(count "$ora_out")
        if cmp -s "$cli_out" "$ora_out"; then
            status=OK
            n_ok=$((n_ok + 1))
        else
            status=DIFF
            n_bad=$((n_bad + 1))
            diff "$ora_out" "$cli_out" > "$work/$tag.diff"
        fi
        printf '%-5s %-34s sigma=%-6s thr=%-4s cli=%-6s oracle=%s\n' \
            "$status" "$base" "$sigma" "$thr" "$nc" "$no"
    done
done

echo "$n_ok ok, $n_bad differing or failed"
if [ $n_bad -ne 0 ]; then
    echo "outputs and diffs (oracle first, '>' lines are the CLI's) in $work"
    exit 1
fi
[ $keep -eq 1 ] || rm -rf "$work"
exit 0
