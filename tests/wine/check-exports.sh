#!/usr/bin/env bash
# Checks the module's exports against the names listed in the module's .def
# file: the Windows DLL is 32-bit, exports them undecorated (no @N) and imports
# system DLLs only; the Linux module exports them as plain C names.
# Usage: check-exports.sh VelkPlugin.def WINDOWS_WFX LINUX_WFX
set -u
def_file="$1" windows_module="$2" linux_module="$3"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

names=$(sed -n '/^EXPORTS/,$p' "$def_file" | sed '1d; s/;.*//; s/[@=].*//' | awk 'NF {print $1}')
[ -n "$names" ] || fail "no export names in $def_file"
echo "exports listed in the .def file: $(echo $names)"

dump=$(i686-w64-mingw32-objdump -p "$windows_module") || { fail "objdump cannot read $windows_module"; exit 1; }
# The host loads 32-bit modules only.
echo "$dump" | grep -q 'file format pei-i386' || fail "$windows_module is not a 32-bit module"
exported=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && NF >= 3 {print $NF}')
for name in $names; do
  echo "$exported" | grep -qx "$name" || fail "Windows module does not export $name"
done
decorated=$(echo "$exported" | grep '@') && fail "decorated exports: $(echo $decorated)"
echo "Windows exports: $(echo $exported)"

imports=$(echo "$dump" | awk '/DLL Name:/ {print $3}')
echo "Windows imports: $(echo $imports)"
for dll in $imports; do
  case "$(echo "$dll" | tr '[:lower:]' '[:upper:]')" in
    KERNEL32.DLL | USER32.DLL | ADVAPI32.DLL | SHELL32.DLL | GDI32.DLL | COMCTL32.DLL | COMDLG32.DLL | \
      MSVCRT.DLL | OLE32.DLL | OLEAUT32.DLL | UXTHEME.DLL | API-MS-WIN-*) ;;
    *) fail "Windows module imports a non-system DLL: $dll" ;;
  esac
done

linux_exported=$(nm -D --defined-only "$linux_module" | awk '$2 == "T" {print $3}')
for name in $names; do
  echo "$linux_exported" | grep -qx "$name" || fail "Linux module does not export $name"
done

echo "$failures failed"
[ "$failures" -eq 0 ]
