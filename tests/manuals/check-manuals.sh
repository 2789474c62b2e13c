#!/usr/bin/env bash
# Renders each manual page with warnings on and requires none; then checks
# that every option a program's --help (and each subcommand's) shows is in
# its page, and that the pages name no option that no program has.
# Exits 77 (skipped) without groff.
set -euo pipefail
tools_dir=$1 man_dir=$2

command -v groff >/dev/null || { echo "groff is not installed: manual pages not checked"; exit 77; }

failed=0
for page in "$man_dir"/*.[158]; do
  warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1 || true)
  if [[ -n "$warnings" ]]; then
    echo "$(basename "$page"): $warnings"
    failed=1
  fi
done

# The long options of a --help text, one a line.
options_of() { grep -o -- '--[a-z][a-z0-9-]*' | sort -u; }
# The subcommands listed under "Subcommands:" in a --help text.
subcommands_of() { sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p'; }
# The long options a page names (written \-\- in the man language).
page_options() { sed 's/\\-/-/g' "$1" | options_of; }

all_options=""
for program in tarveloftp tarveloftpd tarveloftp-admin; do
  page=$(ls "$man_dir/$program".[18])
  help=$("$tools_dir/$program" --help)
  options=$(options_of <<<"$help")
  for subcommand in $(subcommands_of <<<"$help"); do
    options+=$'\n'$("$tools_dir/$program" "$subcommand" --help | options_of)
  done
  options=$(sort -u <<<"$options")
  all_options+=$'\n'$options
  missing=$(comm -23 <(echo "$options") <(page_options "$page"))
  if [[ -n "$missing" ]]; then
    echo "$(basename "$page") lacks: $missing"
    failed=1
  fi
done

all_options=$(sort -u <<<"$all_options")
for page in "$man_dir"/*.[158]; do
  invented=$(comm -13 <(echo "$all_options") <(page_options "$page"))
  if [[ -n "$invented" ]]; then
    echo "$(basename "$page") names options no program has: $invented"
    failed=1
  fi
done
exit $failed
