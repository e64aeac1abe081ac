#!/usr/bin/env bash
# Source this file to get a ready Wine prefix for the Windows tests:
#   . scripts/wine-env.sh [PREFIX]
# Creates the prefix headless on first use (fonts for the dialogs, no window decorations,
# so windows close without the window manager's delay) and exports WINEPREFIX and friends.
# Map a COM port to a pseudo-terminal with:  wine_map_com 3 /path/to/pty-or-link
export WINEPREFIX="${1:-${WINEPREFIX:-$PWD/build/wineprefix}}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

wine_prefix_init() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    DISPLAY= wineboot -i >/dev/null 2>&1
    wineserver -w
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/marlett.ttf /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/sserife.fon \
      "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
}

# wine_map_com N TARGET: COMn now reaches TARGET (a pty or a link to one).
wine_map_com() {
  mkdir -p "$WINEPREFIX/dosdevices"
  ln -sfn "$2" "$WINEPREFIX/dosdevices/com$1"
}

# wine_register_com N TARGET: COMn reaches TARGET and is a present port, as the system's
# port lists (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM) show it. Wine's mount manager reads the
# ports of HKLM\Software\Wine\Ports when its services start: stop the server afterwards.
wine_register_com() {
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1
  wine_map_com "$1" "$2"
}

# wine_unregister_com N: undoes wine_register_com.
wine_unregister_com() {
  wine reg delete 'HKLM\Software\Wine\Ports' /v "COM$1" /f >/dev/null 2>&1
  rm -f "$WINEPREFIX/dosdevices/com$1"
}

# Starts this prefix's wine server and its service processes with their output discarded.
# Started by a test instead, the server would dump its object list into that test's output
# when stopped, and the services would hold the test runner's output pipe open.
wine_start() {
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

# Stops the wine server of this prefix; call between headless and X runs.
wine_stop() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}

wine_prefix_init
