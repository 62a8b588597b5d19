#!/bin/bash
# The manual page renders without a warning, the bash completion completes
# as a shell would ask it to, and both cover every option that the program's
# --help, and each command's --help, lists: a new option or command that is
# not documented and completable fails here.
#
# Environment: PROGRAM (the built tarnwick), MANPAGE (the configured
# tarnwick.1), COMPLETION (the completion script).
set -eu
. "$(dirname "$0")/lib.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-docs.XXXXXX")
trap 'rm -rf "$work"' EXIT

step "manual page renders cleanly"
groff -ww -man -z "$MANPAGE" 2>"$work/groff.err" || fail "groff failed"
MANWIDTH=80 man --warnings -l "$MANPAGE" >"$work/man80.txt" 2>>"$work/groff.err"
[ ! -s "$work/groff.err" ] || { cat "$work/groff.err"; fail "the manual page has warnings"; }
grep -q "^EXIT STATUS" "$work/man80.txt" || fail "man -l rendered no EXIT STATUS section"
# Wide enough that no option is split; \- renders as a plain hyphen in ASCII.
groff -man -Tascii -P-cbou -rLL=400n "$MANPAGE" >"$work/man.txt"

# complete WORD... : what the completion offers for the last word.
complete_words() {
  bash --norc --noprofile -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _tarnwick; printf "%s\n" "${COMPREPLY[@]}"' complete "$COMPLETION" "$@"
}

step "completion"
# (words before, the word being completed, a line the completion must offer)
while IFS='|' read -r words current wanted; do
  # shellcheck disable=SC2086 # the words are meant to split
  complete_words $words "$current" | grep -qxF -- "$wanted" ||
    fail "completing '$words $current' does not offer '$wanted'"
done <<CASES
tarnwick||compare
tarnwick --color|a|always
tarnwick --color =||never
tarnwick history --label||all-cpus
tarnwick --csv|$work/man8|$work/man80.txt
tarnwick report|$work/man8|$work/man80.txt
CASES
[ "$(complete_words tarnwick --col)" = --color ] || fail "'--col' does not complete to --color"
[ -z "$(complete_words tarnwick --warmup "")" ] || fail "a number is completed with words"
bash --norc --noprofile -c 'source "$1"; complete -p tarnwick' x "$COMPLETION" | grep -q _tarnwick ||
  fail "the script registers no completion for tarnwick"

# The long options at the start of the option lines of a --help text (two
# blanks in: a folded line's continuation is indented further).
help_options() { sed -n 's/^  \(-[a-zA-Z],\)\{0,1\}\(--[a-z][a-z0-9-]*\).*/\2/p' | sort -u; }
# The commands listed under the help's subcommand heading.
help_commands() { awk 'tolower($0) ~ /^(sub)?commands:?$/ { on = 1; next } /^[^ ]/ { on = 0 } on && /^  [^ ]/ { print $1 }'; }
# The rendered manual's text for the run options, or for one command.
man_section() {
  if [ -z "$1" ]; then
    awk '/^OPTIONS/ { on = 1; next } /^[^ ]/ { on = 0 } on' "$work/man.txt"
  else
    awk -v c="$1" '$0 ~ "^   " c "( |$)" { on = 1; next } /^ {0,3}[^ ]/ { on = 0 } on' "$work/man.txt"
  fi
}

step "every option the program lists is documented and completed"
"$PROGRAM" --help >"$work/help"
help_commands <"$work/help" >"$work/commands"
offered=$(complete_words tarnwick "")
while read -r command; do
  printf '%s\n' "$offered" | grep -qxF "$command" || fail "the completion lacks the command $command"
done <"$work/commands"
checked=0
for command in "" $(cat "$work/commands"); do
  # shellcheck disable=SC2086 # an empty command is no word
  "$PROGRAM" $command --help | help_options >"$work/options"
  [ -s "$work/options" ] || fail "no options found in 'tarnwick $command --help'"
  # shellcheck disable=SC2086
  complete_words tarnwick $command -- >"$work/completed"
  man_section "$command" >"$work/section"
  [ -s "$work/section" ] || fail "the manual has no section for '${command:-the run options}'"
  while read -r option; do
    grep -qxF -- "$option" "$work/completed" ||
      fail "the completion of 'tarnwick $command' lacks $option"
    # --help is described once, with the run options, for every command.
    [ -n "$command" ] && [ "$option" = --help ] && continue
    grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" "$work/section" ||
      fail "the manual's section for '${command:-the run options}' lacks $option"
    checked=$((checked + 1))
  done <"$work/options"
done
step "the synopsis of each command names all of its options"
# The SYNOPSIS lines of a command (every .SY block of it), rendered.
synopsis() { awk '/^SYNOPSIS/ { on = 1; next } /^[^ ]/ { on = 0 } on' "$work/man.txt" |
  awk -v c="tarnwick $1" 'index($0, c) { on = 1 } /^ *tarnwick / && !index($0, c) { on = 0 } on'; }
while read -r command; do
  synopsis "$command" >"$work/synopsis"
  [ -s "$work/synopsis" ] || fail "the manual's SYNOPSIS has no 'tarnwick $command'"
  "$PROGRAM" "$command" --help | help_options | grep -vx -- --help >"$work/options"
  while read -r option; do
    grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" "$work/synopsis" ||
      fail "the SYNOPSIS of 'tarnwick $command' lacks $option"
  done <"$work/options"
done <"$work/commands"
echo "checked $checked options of $(($(wc -l <"$work/commands") + 1)) command lines"
echo "docs: all checks passed"
