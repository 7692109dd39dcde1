#!/usr/bin/env bash
# Every code reference in the architecture guide still names something that
# exists, so that the roads it draws can be followed in the code.
#
# A reference is written `src/path/file.cpp:name()` (a function: `name` is
# followed by "(" somewhere in the file) or `src/path/file.h:Name` (any
# identifier: the word appears in the file). `Class::member()` needs both the
# class and `member(` in the file.
#
#   scripts/check_doc_names.sh [doc ...]    (docs/architecture.md)
set -euo pipefail
cd "$(dirname "$0")/.."
docs=("$@")
[ ${#docs[@]} -gt 0 ] || docs=(docs/architecture.md)

missing=0
checked=0
for doc in "${docs[@]}"; do
  while IFS= read -r ref; do
    file=${ref%%:*}
    name=${ref#*:}
    checked=$((checked + 1))
    if [ ! -f "$file" ]; then
      echo "$doc: \`$ref\`: no file $file" >&2
      missing=$((missing + 1))
      continue
    fi
    if [[ "$name" == *"()" ]]; then
      name=${name%"()"}
      member=${name##*::}
      found=1
      grep -Eq "(^|[^A-Za-z0-9_])${member}[[:space:]]*\(" "$file" || found=0
      if [[ "$name" == *"::"* ]]; then
        grep -Eq "(^|[^A-Za-z0-9_])${name%::*}([^A-Za-z0-9_]|$)" "$file" || found=0
      fi
    else
      found=1
      grep -Eq "(^|[^A-Za-z0-9_])${name}([^A-Za-z0-9_]|$)" "$file" || found=0
    fi
    if [ $found -eq 0 ]; then
      echo "$doc: \`$ref\`: $name is not in $file" >&2
      missing=$((missing + 1))
    fi
  done < <(grep -oE '`src/[A-Za-z0-9_./-]+:[A-Za-z_~][A-Za-z0-9_:~]*(\(\))?`' "$doc" | tr -d '`')
done

if [ $checked -eq 0 ]; then
  echo "lint: no code references found in ${docs[*]}" >&2
  exit 1
fi
if [ $missing -gt 0 ]; then
  echo "lint: $missing of $checked code references in ${docs[*]} name nothing in src/" >&2
  exit 1
fi
echo "lint: all $checked code references in ${docs[*]} exist"
