#!/usr/bin/env bash
# Checks that inkmask-batch's --help and its manual page name the same options.
#   check_manpage.sh PROGRAM MANPAGE
set -euo pipefail
program=$1
manpage=$2
from_help=$("$program" --help | grep -oE '^  +-{1,2}[a-z][a-z-]*' | tr -d ' ' | sort -u)
from_man=$(grep -E '^\.(B|BI) ' "$manpage" | grep -oE '^\.(B|BI) +(\\-)+[a-z][a-z\\-]*' |
    sed -E 's/^\.(B|BI) +//; s/\\-/-/g' | sort -u)
if [ "$from_help" != "$from_man" ]; then
    echo "options differ between --help and $manpage:"
    diff <(echo "$from_help") <(echo "$from_man") || true
    exit 1
fi
echo "same $(echo "$from_help" | wc -l) options in --help and the manual page"
