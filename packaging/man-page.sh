#!/bin/sh
# Makes a program's compressed manual page from its own --help and each subcommand's, so that
# page and program cannot differ.
# Usage: man-page.sh PROGRAM OUT.1.gz VERSION SUMMARY [SUBCOMMAND...]   ("port set" for nested ones)
set -eu
program="$1" out="$2" version="$3" summary="$4"
shift 4
page="${out%.gz}"
include="$page.include"
: >"$include"
if [ "$#" -gt 0 ]; then
    printf '[COMMANDS]\n' >>"$include"
    for sub in "$@"; do
        # shellcheck disable=SC2086 # a nested subcommand is two words
        text="$("$program" $sub --help 2>&1)" || { echo "$program $sub --help failed" >&2; exit 1; }
        printf '.SS "%s"\n.nf\n' "$sub" >>"$include"
        # roff: backslashes escaped, a leading dot or quote kept as text.
        printf '%s\n' "$text" | sed -e "s|$program|$(basename "$program")|g" -e 's/\\/\\e/g' \
            -e "s/^\\([.']\\)/\\\\\\&\\1/" >>"$include"
        printf '.fi\n' >>"$include"
    done
fi
set -- --no-info --no-discard-stderr --version-string="$version" --name="$summary" --output="$page"
[ -s "$include" ] && set -- "$@" --include="$include"
QT_QPA_PLATFORM=offscreen help2man "$@" "$program"
gzip -9nf "$page"
rm -f "$include"
