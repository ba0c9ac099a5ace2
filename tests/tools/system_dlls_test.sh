#!/usr/bin/env bash
# The Windows programs are linked statically: each one may import only DLLs that every
# Windows system has, never the toolchain's own (libstdc++, libgcc, libwinpthread) or a
# library's. Usage: system_dlls_test.sh OBJDUMP FILE...
set -uo pipefail
objdump=$1
shift
# The system's own DLLs the programs use.
allowed=' advapi32.dll bcrypt.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll mswsock.dll
 shell32.dll user32.dll ws2_32.dll '
failed=0
for file in "$@"; do
  dlls=$("$objdump" -p "$file" | awk '/DLL Name:/ { print tolower($3) }') ||
    { echo "cannot read $file"; failed=1; continue; }
  [[ -n $dlls ]] || { echo "$file: no imports read"; failed=1; continue; }
  for dll in $dlls; do
    if [[ $allowed != *" $dll"[[:space:]]* ]]; then
      echo "$file imports $dll, which Windows does not have"
      failed=1
    fi
  done
  echo "$file: $(echo $dlls)"
done
exit $failed
