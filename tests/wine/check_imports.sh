#!/usr/bin/env bash
# The shipped executable is static: it may import Windows system DLLs only.
set -euo pipefail
exe="$1"
allowed='^(kernel32|advapi32|user32|shell32|ole32|oleaut32|ws2_32|msvcrt|fwpuclnt|iphlpapi|userenv|bcrypt|ntdll|rpcrt4|secur32|crypt32)\.dll$'
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$imports" ] || { echo "no imports read from $exe"; exit 1; }
bad=$(echo "$imports" | grep -v -E "$allowed" || true)
echo "imports: $(echo $imports)"
[ -z "$bad" ] || { echo "not a Windows system DLL: $bad"; exit 1; }
