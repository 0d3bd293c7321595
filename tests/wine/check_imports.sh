#!/usr/bin/env bash
# The shipped executable is static and imports only KnownDLLs (those of 64-bit Windows 10) and API
# sets: Windows maps those from the system folder whatever lies beside the executable. Any other
# system DLL it needs is delay-loaded from the system folder (src/platform/win32/library.cpp).
set -euo pipefail
exe="$1"
known='^((advapi32|clbcatq|combase|comdlg32|coml2|difxapi|gdi32|gdiplus|imagehlp|imm32|kernel32|msctf|msvcrt|normaliz|nsi|ole32|oleaut32|psapi|rpcrt4|sechost|setupapi|shcore|shell32|shlwapi|user32|wldap32|ws2_32|ntdll|kernelbase)\.dll|api-ms-win-.*)$'
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$imports" ] || { echo "no imports read from $exe"; exit 1; }
bad=$(echo "$imports" | grep -v -E "$known" || true)
echo "imports: $(echo $imports)"
[ -z "$bad" ] || { echo "not a KnownDLL, so looked for beside the executable first: $(echo $bad)"; exit 1; }
