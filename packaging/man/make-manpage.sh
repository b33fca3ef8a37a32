#!/usr/bin/env bash
# Makes a program's manual page with help2man from the program's own --help and --version, so
# the page and the program cannot disagree; NAME.h2m beside this script adds the description,
# files and see-also. For tarvolo each command gets a section of its own, made the same way
# from `tarvolo COMMAND --help` (the commands are those its --help lists).
#   make-manpage.sh PROGRAM INCLUDE.h2m OUTPUT.1
set -euo pipefail
program=$1 include=$2 output=$3
name=$(basename "$program")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# help2man asks a program for --help and --version: a command is given as a small program
# that answers both (run under the program's bare name, which its usage line shows).
as_program() {  # as_program COMMAND: the path of a script that is `PROGRAM COMMAND`
  local script=$work/$name-$1
  printf '#!/bin/bash\n[ "$1" = --version ] && exec "%s" --version\nexec -a %s "%s" %s --help\n' \
    "$program" "$name" "$program" "$1" >"$script"
  chmod +x "$script"
  echo "$script"
}

# The listed commands of `PROGRAM --help`: the first word of each line of its Subcommands part.
commands() {
  "$program" --help | sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p'
}

# A command's page from its synopsis on, the headings one level down: a section of the main page.
command_section() {
  echo "[$name $1]"
  help2man --no-info --no-discard-stderr --name="$name $1" --section=1 "$(as_program "$1")" |
    sed -n '/^\.SH SYNOPSIS/,$p' | sed -e '/^\.SH SYNOPSIS/d' -e 's/^\.SH DESCRIPTION/.PP/' -e 's/^\.SH /.SS /'
}

cp "$include" "$work/page.h2m"
if [ "$name" = tarvolo ]; then
  for command in $(commands); do
    command_section "$command" >>"$work/page.h2m"
  done
fi
mkdir -p "$(dirname "$output")"
help2man --no-info --no-discard-stderr --section=1 --include="$work/page.h2m" --output="$output.new" "$program"
mv "$output.new" "$output"
