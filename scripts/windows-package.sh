#!/usr/bin/env bash
# What a Windows user downloads, made from build/windows (scripts/windows-build.sh):
#
#   build/windows/package/rilvet48-VERSION-windows-x64.zip
#       a folder Rilvet-48-VERSION with the program, the Qt and mingw DLLs
#       and plugins it needs, the guide and the icon; runs from any folder
#   build/windows/package/rilvet48-VERSION-setup.exe
#       the same files installed per user (no administrator rights), with a
#       Start-menu entry and an uninstaller (NSIS, data/windows/rilvet48.nsi)
#
# Prints the two paths at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=build/windows
out=$build/package
qt=$(scripts/mingw-qt.sh --path)
[ -f "$qt/complete" ] || { echo "windows-package: no Qt for Windows; run scripts/windows-build.sh" >&2; exit 1; }
exe=$build/src/app/rilvet48.exe
[ -f "$exe" ] || { echo "windows-package: $exe is missing; run scripts/windows-build.sh" >&2; exit 1; }
command -v makensis >/dev/null || { echo "windows-package: makensis is missing (Debian package nsis)" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "windows-package: no version in $build/CMakeCache.txt" >&2; exit 1; }
name=Rilvet-48-$version
stage=$out/$name
rm -rf "$out"
mkdir -p "$stage/platforms" "$stage/styles"

# The program, its guide and icon; the Qt DLLs it links and the plugins Qt
# loads at run time (the window system's and the native style); mingw's
# runtime, which all of them link.
cp "$exe" "$build/src/app/Rilvet.hlp" data/icons/rilvet48.ico "$stage/"
cp "$qt"/qt/bin/Qt6Core.dll "$qt"/qt/bin/Qt6Gui.dll "$qt"/qt/bin/Qt6Widgets.dll "$stage/"
cp "$qt/qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
mingw_dll() {
  local found
  found=$(x86_64-w64-mingw32-g++-posix -print-file-name="$1")
  [ -f "$found" ] || { echo "windows-package: mingw's $1 not found" >&2; exit 1; }
  cp "$found" "$stage/"
}
mingw_dll libstdc++-6.dll
mingw_dll libgcc_s_seh-1.dll
mingw_dll libwinpthread-1.dll
find "$stage" -name '*.dll' -o -name '*.exe' | xargs x86_64-w64-mingw32-strip --strip-unneeded

# Every DLL the files need is either here or a part of Windows.
missing=$(for f in $(find "$stage" -name '*.dll' -o -name '*.exe'); do
  x86_64-w64-mingw32-objdump -p "$f" | sed -n 's/^\s*DLL Name: //p'
done | sort -u | while read -r dll; do
  [ -f "$stage/$dll" ] || [ -f "$stage/platforms/$dll" ] || case ${dll,,} in
    kernel32.dll | user32.dll | gdi32.dll | shell32.dll | ole32.dll | oleaut32.dll | advapi32.dll | \
      comdlg32.dll | winmm.dll | ws2_32.dll | imm32.dll | dwmapi.dll | uxtheme.dll | shlwapi.dll | \
      netapi32.dll | userenv.dll | wtsapi32.dll | setupapi.dll | d3d9.dll | d3d11.dll | \
      dxgi.dll | dwrite.dll | d2d1.dll | mpr.dll | msvcrt.dll | authz.dll | version.dll | shcore.dll | \
      api-ms-win-*) ;;
    *) echo "$dll" ;;
  esac
done)
[ -z "$missing" ] || { echo "windows-package: DLLs neither shipped nor part of Windows: $missing" >&2; exit 1; }

zip=$out/rilvet48-$version-windows-x64.zip
(cd "$out" && cmake -E tar cf "$root/$zip" --format=zip "$name")

setup=$out/rilvet48-$version-setup.exe
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$root/$stage" \
  -DICON="$root/data/icons/rilvet48.ico" -DOUTFILE="$root/$setup" \
  data/windows/rilvet48.nsi
echo "$zip ($(du -k "$zip" | cut -f1) KiB)"
echo "$setup ($(du -k "$setup" | cut -f1) KiB)"
