# shellcheck shell=bash
# Finds the Qt 6 kit for MinGW-w64 that the Windows program is built with. Source it from the
# checkout's top folder, then call rq7_find_qt_mingw: it sets RQ7_QT_MINGW to the kit's folder and
# succeeds, or sets RQ7_QT_MINGW_MISSING to the places it looked and fails. It looks, in this order:
#   $RQ7_QT_MINGW                     a kit's folder, or its .tar.xz
#   ../shared/qt6-mingw/*.tar.xz      beside the checkout (for a git worktree: beside its main checkout)
#   /opt/qt6-mingw                    a kit already unpacked there
# A tarball is unpacked once into build-windows-kit/ (again when the tarball changes).

rq7_unpack_qt_mingw() { # tarball
    local tarball="$1" dest="$PWD/build-windows-kit" stamp
    stamp="$(stat -c '%s %Y' "$tarball") $(basename "$tarball")"
    if [ ! -f "$dest/qt6-mingw/lib/cmake/Qt6/Qt6Config.cmake" ] || [ "$(cat "$dest/stamp" 2>/dev/null)" != "$stamp" ]; then
        echo "== unpacking $tarball into $dest"
        rm -rf "$dest"
        mkdir -p "$dest"
        tar -C "$dest" -xJf "$tarball"
        echo "$stamp" >"$dest/stamp"
    fi
    RQ7_QT_MINGW="$dest/qt6-mingw"
}

rq7_find_qt_mingw() {
    local candidate common tarball
    local -a looked=()
    if [ -n "${RQ7_QT_MINGW:-}" ]; then
        candidate="$RQ7_QT_MINGW"
        if [ -f "$candidate" ]; then
            rq7_unpack_qt_mingw "$(realpath "$candidate")"
            return 0
        elif [ -f "$candidate/lib/cmake/Qt6/Qt6Config.cmake" ]; then
            RQ7_QT_MINGW="$(realpath "$candidate")"
            return 0
        fi
        looked+=("$candidate (RQ7_QT_MINGW)")
    fi
    local -a shared=("$PWD/../shared/qt6-mingw")
    if common="$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null)"; then
        shared+=("$(dirname "$common")/../shared/qt6-mingw")
    fi
    for candidate in "${shared[@]}"; do
        for tarball in "$candidate"/qt6-mingw-*.tar.xz; do
            if [ -f "$tarball" ]; then
                rq7_unpack_qt_mingw "$(realpath "$tarball")"
                return 0
            fi
        done
        looked+=("$candidate/qt6-mingw-*.tar.xz")
    done
    if [ -f /opt/qt6-mingw/lib/cmake/Qt6/Qt6Config.cmake ]; then
        RQ7_QT_MINGW=/opt/qt6-mingw
        return 0
    fi
    looked+=("/opt/qt6-mingw")
    RQ7_QT_MINGW=""
    RQ7_QT_MINGW_MISSING="$(printf '%s, ' "${looked[@]}")"
    RQ7_QT_MINGW_MISSING="${RQ7_QT_MINGW_MISSING%, }"
    return 1
}
