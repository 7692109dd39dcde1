#!/usr/bin/env bash
# scripts/lint.sh format   every tracked C and C++ file as clang-format wants it
# scripts/lint.sh layers   no folder of src/ includes one above it
# scripts/lint.sh handlers each handler name the windows must have defined in one class
# scripts/lint.sh docs     every code reference in docs/architecture.md names something in src/
# scripts/lint.sh tidy     the .clang-tidy checks over src/ (needs build/dev)
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-format}" in
  format)
    git ls-files '*.c' '*.h' '*.cpp' | xargs clang-format --dry-run -Werror
    echo "lint: every C and C++ file is formatted"
    ;;
  layers)
    scripts/check_layers.sh
    ;;
  handlers)
    scripts/check_handlers.sh
    ;;
  docs)
    scripts/check_doc_names.sh
    ;;
  tidy)
    [ -f build/dev/compile_commands.json ] || { cmake --preset dev >/dev/null; }
    # The Win32 backend is built only by the Windows cross build.
    git ls-files 'src/*.cpp' | grep -v 'win32' |
      xargs -P "$(nproc)" -n 4 clang-tidy -p build/dev --quiet
    echo "lint: clang-tidy found nothing"
    ;;
  *) echo "usage: $0 format|layers|handlers|docs|tidy" >&2; exit 2 ;;
esac
