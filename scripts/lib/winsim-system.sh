#!/usr/bin/env bash
# Puts the simulated machine's tool stand-ins where Windows keeps its tools: the system folder of
# the Wine prefix (PowerShell in its own folder there), and the stand-in filtering engine over
# the prefix's fwpuclnt.dll. Wine keeps running its builtin net, netsh, taskkill, tasklist and
# powershell over a copy unless the prefix's DLL overrides name them "native".
# Each machine laid out in the prefix then names its state folder in system32\winsim-state.txt.
# Usage: winsim-system.sh BIN_DIR   (with WINEPREFIX naming a booted prefix)
set -euo pipefail
bin="$1"
system="$WINEPREFIX/drive_c/windows/system32"
for tool in route netsh tasklist taskkill net curl; do
  cp "$bin/$tool.exe" "$system/"
done
mkdir -p "$system/WindowsPowerShell/v1.0"
cp "$bin/powershell.exe" "$system/WindowsPowerShell/v1.0/"
cp "$bin/fwpuclnt.dll" "$system/"
for tool in net netsh taskkill tasklist powershell; do
  wine reg add 'HKCU\Software\Wine\DllOverrides' /v "$tool.exe" /d native /f >/dev/null
done
