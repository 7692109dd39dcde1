#!/usr/bin/env bash
# Plain size figures of src/, to compare a change against: the longest files,
# the longest functions (universal-ctags) and the classes with the most public
# members (declarations at the class's own indentation in its public part).
#
#   scripts/code_size.sh [N]    the N largest of each (5)
set -eu  # no pipefail: head ends the sorts early
cd "$(dirname "$0")/.."
n=${1:-5}

echo "== longest files (lines)"
git ls-files 'src/*.cpp' 'src/*.h' | xargs wc -l | grep -v ' total$' | sort -rn | head -n "$n"

echo "== longest functions (lines)"
if command -v ctags >/dev/null && ctags --version 2>/dev/null | grep -q Universal; then
  git ls-files 'src/*.cpp' 'src/*.h' |
    ctags --fields=+ne --kinds-C++=f --language-force=C++ -L - -o - |
    awk -F'\t' '{ s = 0; e = 0
      for (i = 4; i <= NF; i++) { if ($i ~ /^line:/) s = substr($i, 6); if ($i ~ /^end:/) e = substr($i, 5) }
      if (e > 0) print e - s + 1, $2 ":" s, $1 }' |
    sort -rn | head -n "$n"
else
  echo "(needs universal-ctags)"
fi

echo "== public members per class"
git ls-files 'src/*.h' | while read -r header; do
  awk -v file="$header" '
    /^(class|struct) [A-Za-z_0-9]+( final)?( :[^;]*)? \{$/ {
      name = $2; public = ($1 == "struct"); count = 0; inside = 1; next }
    inside && /^};/ { if (count > 0) print count, file, name; inside = 0; next }
    inside && /^ public:/ { public = 1; next }
    inside && /^ (private|protected):/ { public = 0; next }
    inside && public && /^  [A-Za-z~]/ && !/^  (using|friend|\/\/)/ { count++ }
  ' "$header"
done | sort -rn | head -n "$n"
