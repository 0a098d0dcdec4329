# shellcheck shell=bash
# A throwaway Wine prefix for running the Windows program: source it, set WORK (a scratch folder)
# and define abort(), then call wine_make_prefix. Sets WINEPREFIX, WINEARCH, WINEDEBUG and
# WINEDLLOVERRIDES; wine_stop_prefix ends the prefix's Wine server and every program in it.
#
#   wine_make_prefix [COMn=/unix/device ...]
#
# The prefix is booted, given Wine's own Windows fonts (Debian's Wine does not find them in its data
# folder, and without Tahoma, the face behind Windows' dialog font, Qt falls back to a font whose
# line edits draw no text), and its COM ports are mapped as given ("COM1=" leaves COM1 out). The
# mapping takes effect at the next start of the prefix's Wine server, which this does.
# Needs nice -n -10 to be allowed (root), else the server runs at the normal priority.

wine_make_prefix() {
    export WINEPREFIX="$WORK/prefix"
    export WINEARCH=win64
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=" # no offer to install Mono or Gecko
    timeout 300 wine wineboot -i >"$WORK/wineboot.log" 2>&1 </dev/null || abort "wineboot failed: $(tail -n 5 "$WORK/wineboot.log")"
    if [ -d /usr/share/wine/fonts ]; then
        cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    fi
    local port
    for port in "$@"; do
        timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v "${port%%=*}" /d "${port#*=}" /f \
            >>"$WORK/wineboot.log" 2>&1 </dev/null || abort "cannot map ${port%%=*}"
    done
    timeout 60 wineserver -k >/dev/null 2>&1 || true
    timeout 60 wineserver -w >/dev/null 2>&1 || true
    # One Wine server for the rest of the run, its messages kept in a log. It stands where Windows'
    # kernel and serial driver stand, which a busy machine does not starve: it runs at a higher
    # priority, as the simulator does, so that the program's fixed reply waits measure the program.
    nice -n -10 wineserver -p >"$WORK/wineserver.log" 2>&1 </dev/null &
    local _
    for _ in $(seq 50); do
        timeout 5 wine cmd /c exit >/dev/null 2>&1 </dev/null && break
        sleep 0.1
    done
}

wine_stop_prefix() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        timeout 30 wineserver -k >/dev/null 2>&1 || true
        timeout 30 wineserver -w >/dev/null 2>&1 || true
    fi
}

# A Unix path of the prefix as Windows sees it through drive Z:.
wine_path() { printf 'Z:%s' "${1//\//\\}"; }
