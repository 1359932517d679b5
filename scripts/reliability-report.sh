#!/usr/bin/env bash
# Makes the reliability report from the trials a test run recorded (the
# folder named by TESSARON_TRIALS while the tests ran): one table of every
# fault and bad input tried, with the totals, on stdout.
#
#   scripts/reliability-report.sh TRIALS_FOLDER > docs/RELIABILITY.md
set -euo pipefail
[ $# -eq 1 ] && [ -d "$1" ] || { echo "usage: $0 TRIALS_FOLDER" >&2; exit 2; }
shopt -s nullglob
files=("$1"/*.tsv)
rows=$( ((${#files[@]})) && cat "${files[@]}" | LC_ALL=C sort -u || true)
LC_ALL=C awk -F '\t' -v rows="$rows" 'BEGIN {
    n = split(rows, line, "\n")
    for (i = 1; i <= n; ++i) {
        if (line[i] == "") continue
        split(line[i], f, "\t")
        ++tried; area[f[1]] = 1
        if (f[4] != "nothing") ++lost
        for (j = 1; j <= 4; ++j) gsub(/\|/, "\\|", f[j])
        table = table sprintf("| %s | %s | %s | %s |\n", f[1], f[2], f[3], f[4])
    }
    for (a in area) ++areas
    print "# Reliability\n"
    print "Every fault and bad input the tests put the helper through, what it did, and what"
    print "was lost. Made by `scripts/reliability-report.sh` from the trials the tests record"
    print "(`scripts/test.sh` fails when this file differs from what its run produced).\n"
    printf "Faults tried: %d, in %d areas. Survived: %d. Data lost: %d.\n\n", tried, areas, tried, lost + 0
    print "| Area | Fault or input | What the helper did | Lost |"
    print "|---|---|---|---|"
    printf "%s", table
}'
