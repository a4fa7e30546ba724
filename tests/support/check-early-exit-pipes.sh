#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Finds a pipe into a reader that may quit before its writer is done
# (`grep -q`, `grep -l`, `grep -m N`, `head`) in the project's shell scripts.
# Under `set -o pipefail` such a pipeline fails at random: the reader exits at
# its first match, the writer dies of SIGPIPE while it still writes, and the
# pipeline reports the writer's failure although the text was there. Every
# script is checked, not only those that set pipefail themselves: a sourced
# file runs under its caller's options. Write `grep -q ... <<<"$text"`, or
# send grep's output to /dev/null instead.
#
# usage: check-early-exit-pipes.sh FOLDER...
set -euo pipefail

# One logical line per record: continuation lines (ending in | or \) are
# joined first, so a pipe broken over two lines is found too. Text in single
# quotes and comments is left out, so a grep pattern that holds a | is not
# taken for a pipe.
finder='
    sub strip { my $l = shift; $l =~ s/'"'"'[^'"'"']*'"'"'//g; $l =~ s/(^|\s)#.*$//; return $l; }
    my ($joined, $first) = ("", 0);
    while (my $line = <>) {
        chomp $line;
        $first = $. if $joined eq "";
        $joined .= " " . strip($line);
        next if $joined =~ /(\||\\)\s*$/ && !eof;
        if ($joined =~ /\|\s*(grep\s+(-\S*\s+)*?(-[a-zA-Z]*[qlm][a-zA-Z0-9]*|--quiet|--silent|--max-count|--files-with-matches)\b|head\b)/) {
            print "$ARGV:$first: a pipe into an early-exiting reader ($1)\n";
        }
        $joined = "";
        close ARGV if eof;
    }
'

# The finder must still see the pattern it exists for; a broken expression
# would otherwise pass every tree.
sample=$(mktemp)
trap 'rm -f "$sample"' EXIT
printf '%s\n' 'set -o pipefail' 'printf "%s\n" "$text" |' '    grep -q needle || exit 1' >"$sample"
if [ -z "$(perl -e "$finder" "$sample")" ]; then
    echo "FAIL: the check no longer finds a pipe into grep -q" >&2
    exit 1
fi

scripts=()
while IFS= read -r -d '' file; do
    case "$file" in
        *.sh) scripts+=("$file") ;;
        *) if grep -qE '^#!.*\b(ba)?sh\b' <(sed -n 1p "$file"); then scripts+=("$file"); fi ;;
    esac
done < <(find "$@" -type f \( -name '*.sh' -o -perm -u+x \) ! -path '*/corpus/*' ! -name check-early-exit-pipes.sh -print0)

found=$(perl -e "$finder" "${scripts[@]}")
if [ -n "$found" ]; then
    printf '%s\n' "$found" >&2
    echo "FAIL: under pipefail these fail at random; use grep -q ... <<<\"\$text\" or grep ... >/dev/null" >&2
    exit 1
fi
echo "ok: no pipe into an early-exiting reader in ${#scripts[@]} scripts"
