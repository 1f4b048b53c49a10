#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what a user gets: the
# programs run from there (--version, --help), the man pages render without
# a warning and document every subcommand and option the programs offer, and
# the bash completion loads and completes subcommands.
# Usage: install.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

cmake --install "$build" --prefix "$prefix" >/dev/null

for file in bin/stoker bin/stoker-kit bin/stoker-target \
  share/man/man1/stoker.1 share/man/man1/stoker-kit.1 share/man/man1/stoker-target.1 \
  share/bash-completion/completions/stoker-kit \
  share/doc/stoker/README.md share/doc/stoker/copyright share/doc/stoker/examples/blink.hex; do
  [[ -e $prefix/$file ]] || fail "$file is not installed"
done

# The installed programs run, and say which version they are.
bin=$prefix/bin
for program in stoker-kit stoker-target; do
  version=$("$bin/$program" --version) || fail "$program --version failed"
  [[ $version =~ ^stoker\ [0-9]+\.[0-9]+ ]] || fail "$program --version printed '$version'"
  "$bin/$program" --help >/dev/null || fail "$program --help failed"
done
# stoker keeps its designed command line: without arguments, the usage and 1.
status=0
usage=$("$bin/stoker" 2>&1) || status=$?
[[ $status -eq 1 && $usage == *"Usage: stoker [-v] port baud flashStart flashSize delay fileName"* ]] ||
  fail "stoker without arguments: status $status, '$usage'"

# Each page renders without a warning.
man_dir=$prefix/share/man/man1
for page in stoker stoker-kit stoker-target; do
  warnings=$(MANPAGER=cat MANWIDTH=80 man --warnings -l "$man_dir/$page.1" 2>&1 >/dev/null) ||
    fail "man $page failed"
  [[ -z $warnings ]] || fail "man $page: $warnings"
done

# The pages name every subcommand and every option the programs take: their
# source, with the escapes of hyphens and fonts taken out.
text_of() { sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/^\.[A-Z][A-Z]* //' "$man_dir/$1.1"; }
kit_page=$(text_of stoker-kit)
subcommands=$("$bin/stoker-kit" --help | awk '/^Subcommands:/ { l = 1; next } l && /^  [a-z]/ { print $1 }')
[[ -n $subcommands ]] || fail "stoker-kit --help lists no subcommands"
for subcommand in $subcommands; do
  grep -q -- "stoker-kit $subcommand" <<<"$kit_page" || fail "stoker-kit.1 lacks the subcommand $subcommand"
  options=$("$bin/stoker-kit" "$subcommand" --help |
    awk '/^Options:/ { l = 1; next } /^[^ ]/ { l = 0 } l && /^  -/ { print $1 }' | tr ',' '\n' |
    grep -v -x -e -h -e --help || true)
  for option in $options; do
    grep -q -- "$option" <<<"$kit_page" || fail "stoker-kit.1 lacks $subcommand's option $option"
  done
done
target_page=$(text_of stoker-target)
for option in $("$bin/stoker-target" --help | grep -o -- '--[a-z-]*' | sort -u); do
  grep -q -- "$option" <<<"$target_page" || fail "stoker-target.1 lacks the option $option"
done

# The completion loads in bash and completes subcommands and their options.
completion=$prefix/share/bash-completion/completions/stoker-kit
complete_words() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
           _stoker_kit; printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$completion" "$@"
}
expected=$(grep '^send-' <<<"$subcommands" | sort)
got=$(complete_words "$bin/stoker-kit" se)
[[ -n $expected && $got == "$expected" ]] || fail "stoker-kit se<Tab> gave '$got', expected '$expected'"
got=$(complete_words "$bin/stoker-kit" send-picture --hea)
[[ $got == --header ]] || fail "stoker-kit send-picture --hea<Tab> gave '$got'"
got=$(complete_words "$bin/stoker-kit" send-file /dev/ttyS0 115)
[[ $got == 115200 ]] || fail "stoker-kit send-file PORT 115<Tab> gave '$got'"

[[ $failures -eq 0 ]] || exit 1
echo "install check passed"
