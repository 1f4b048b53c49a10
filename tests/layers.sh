#!/bin/sh
# Checks that includes run one way: app, sim -> toolkit, boot -> serial,
# console -> common (app and sim may include every layer below them; toolkit
# and boot never include each other). Prints each include that breaks the rule and fails if there is one.
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
status=0
check() {
  folder=$1
  allowed=$2
  [ -d "$root/$folder" ] || return 0
  for file in $(find "$root/$folder" -name '*.h' -o -name '*.cpp'); do
    grep -n '^#include "[a-z_]*/' "$file" | while IFS= read -r line; do
      target=$(printf '%s' "$line" | sed 's/^[0-9]*:#include "\([a-z_]*\)\/.*/\1/')
      case " $allowed " in
        *" $target "*) ;;
        *) echo "${file#$root/}:$line: $folder/ may not include $target/" ;;
      esac
    done
  done
}
out=$(
  check common "common"
  check serial "serial common"
  check boot "boot serial common"
  check console "console common"
  check toolkit "toolkit console serial common"
  check app "app toolkit console boot serial common"
  check sim "sim toolkit console boot serial common"
)
if [ -n "$out" ]; then
  printf '%s\n' "$out"
  status=1
fi
exit $status
