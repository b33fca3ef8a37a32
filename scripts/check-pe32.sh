#!/usr/bin/env bash
# Checks the 32-bit Windows build without running it, for machines whose kernel refuses 32-bit
# programs (and on every other machine too, since it costs a second):
#   scripts/check-pe32.sh BUILD_DIR
# Each .exe and .dll in BUILD_DIR/bin must be a PE32 file for i386, and each DLL it imports
# must be one that Windows ships (the list below) or one the build puts beside it. A program
# that imports a MinGW runtime DLL (libstdc++-6.dll, libgcc_s_dw2-1.dll, ...) would not start
# on an operator's Windows machine.
set -euo pipefail
build=${1:?usage: check-pe32.sh BUILD_DIR}
bin=$build/bin
objdump=i686-w64-mingw32-objdump
# The DLLs of Windows itself that a Win32 program of ours may import.
windows_dlls=" advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll crypt32.dll gdi32.dll
  iphlpapi.dll kernel32.dll msvcrt.dll ntdll.dll odbc32.dll ole32.dll oleaut32.dll
  setupapi.dll shell32.dll shlwapi.dll user32.dll userenv.dll uxtheme.dll version.dll
  winmm.dll ws2_32.dll mswsock.dll dbghelp.dll "
windows_dlls=" $(echo $windows_dlls) "  # one space between names, whatever the lines above
shopt -s nullglob nocaseglob
files=("$bin"/*.exe "$bin"/*.dll)
shopt -u nocaseglob
if [ ${#files[@]} -eq 0 ]; then
  echo "FAIL no .exe or .dll in $bin: is the 32-bit build there?"
  exit 1
fi
beside=" $(for f in "${files[@]}"; do basename "$f"; done | tr 'A-Z' 'a-z' | tr '\n' ' ') "
failed=0
for f in "${files[@]}"; do
  name=$(basename "$f")
  format=$("$objdump" -f "$f" 2>&1 | sed -n 's/.*file format //p' || true)
  if [ "$format" != pei-i386 ]; then
    echo "FAIL $name: file format '${format:-unreadable}', not pei-i386 (PE32 for i386)"
    failed=1
    continue
  fi
  imports=$("$objdump" -p "$f" 2>/dev/null | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  strays=()
  for dll in $imports; do
    [[ $windows_dlls == *" $dll "* || $beside == *" $dll "* ]] || strays+=("$dll")
  done
  if [ ${#strays[@]} -gt 0 ]; then
    echo "FAIL $name imports ${strays[*]}: neither part of Windows nor beside it in $bin"
    failed=1
  else
    echo "ok   $name: PE32 (i386), imports $(echo $imports | tr ' ' ',')"
  fi
done
[ $failed -eq 0 ] && echo "the 32-bit build: ${#files[@]} files, each PE32 (i386) with its imports at hand"
exit $failed
