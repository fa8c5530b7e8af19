#!/usr/bin/env bash
# Checks that inkmask-batch's --help and its manual page name the same options,
# and the same steps for --steps, in the same order.
#   check_manpage.sh PROGRAM MANPAGE
set -euo pipefail
program=$1
manpage=$2
help=$("$program" --help)
from_help=$(echo "$help" | grep -oE '^  +-{1,2}[a-z][a-z-]*' | tr -d ' ' | sort -u)
from_man=$(grep -E '^\.(B|BI) ' "$manpage" | grep -oE '^\.(B|BI) +(\\-)+[a-z][a-z\\-]*' |
    sed -E 's/^\.(B|BI) +//; s/\\-/-/g' | sort -u)
if [ "$from_help" != "$from_man" ]; then
    echo "options differ between --help and $manpage:"
    diff <(echo "$from_help") <(echo "$from_man") || true
    exit 1
fi
echo "same $(echo "$from_help" | wc -l) options in --help and the manual page"

# The steps: "--steps LIST  passes to run, in order: a, b, c" in --help; in the
# manual page, one line "\fBa\fR (what it does)," per step under --steps.
steps_help=$(echo "$help" | sed -nE 's/^ +--steps .*in order: //p' | tr -d ' ' | tr ',' '\n')
steps_man=$(awk '/^\.BI \\-\\-steps /{on=1; next} /^\.TP/{on=0} on' "$manpage" |
    sed -nE 's/^\\fB([a-z]+)\\fR \(.*/\1/p')
if [ -z "$steps_help" ] || [ "$steps_help" != "$steps_man" ]; then
    echo "steps differ between --help and $manpage:"
    diff <(echo "$steps_help") <(echo "$steps_man") || true
    exit 1
fi
echo "same $(echo "$steps_help" | wc -l) steps in --help and the manual page"
