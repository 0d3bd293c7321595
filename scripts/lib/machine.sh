# Lays out a simulated Windows machine and runs the service executable on it under Wine.
# Source it, then call machine_setup DIR. Needs a windows build (build/windows/bin).

machine_setup() {
  MACHINE_ROOT="$1"
  local bin="$REPO_ROOT/build/windows/bin"
  rm -rf "$MACHINE_ROOT/machine" "$MACHINE_ROOT/pd"
  mkdir -p "$MACHINE_ROOT/machine/state" "$MACHINE_ROOT/pd"
  # The tool stand-ins go to the prefix's system folder (below); the rest beside the service.
  local program
  for program in "$bin"/*.exe; do
    case "$(basename "$program")" in
      route.exe | netsh.exe | tasklist.exe | taskkill.exe | net.exe | curl.exe | powershell.exe) ;;
      *) cp "$program" "$MACHINE_ROOT/machine/" ;;
    esac
  done
  cp "$bin"/machine/*.json "$MACHINE_ROOT/machine/state/"
  export WINEPREFIX="$MACHINE_ROOT/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  unset DISPLAY
  # A new prefix finishes booting in the background; until its server has gone quiet, Wine's
  # service manager can miss services created meanwhile.
  if [ ! -d "$WINEPREFIX" ]; then
    echo "creating the Wine prefix (once)"
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  "$REPO_ROOT/scripts/lib/winsim-system.sh" "$bin"
  winpath "$MACHINE_ROOT/machine/state" >"$WINEPREFIX/drive_c/windows/system32/winsim-state.txt"
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
}

winpath() { echo "Z:$1" | tr / '\\'; }

# machine_service OUT ERR ARGS...: runs the executable with the machine's ProgramData; returns
# its exit code.
machine_service() {
  local out="$1" err="$2"
  shift 2
  wine "$MACHINE_ROOT/machine/launch.exe" --set "ProgramData=$(winpath "$MACHINE_ROOT/pd")" -- \
    "$(winpath "$MACHINE_ROOT/machine/vorn-tunnel-service.exe")" "$@" >"$out" 2>"$err"
}
