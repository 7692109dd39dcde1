#!/usr/bin/env bash
# The layers of src/, lowest first: a folder may include its own headers and
# those of the folders before it, never one after it. Subfolders belong to
# their folder (comport/sys to comport, ui/support to ui). Lists every include
# that breaks the order as file:line and fails; a folder not there yet is
# skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(table comport storage sequencer inputs program ui app)

found=0
for ((i = 0; i < ${#layers[@]}; i++)); do
  folder=${layers[i]}
  [ -d "src/$folder" ] || continue
  allowed=" ${layers[*]:0:i+1} "
  while IFS=: read -r file line text; do
    included=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$text")
    if [[ $allowed != *" $included "* ]]; then
      echo "$file:$line: $folder includes $included: $(sed -E 's/^[[:space:]]+//' <<<"$text")"
      found=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "src/$folder" \
             --include='*.h' --include='*.cpp' --include='*.c' | sort -t: -k1,1 -k2,2n || true)
done

if [ "$found" -ne 0 ]; then
  echo "layers: the includes above reach a layer above their own (order: ${layers[*]})" >&2
  exit 1
fi
echo "layers: every folder of src/ includes only itself and the layers below it"
