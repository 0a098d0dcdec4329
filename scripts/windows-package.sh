#!/usr/bin/env bash
# The Windows program, built and packed: cross compiles rq7.exe with MinGW-w64 and the Qt 6 kit for it
# (scripts/qt-mingw-kit.sh says where the kit is looked for), then makes with CPack
#
#   build-windows-package/rq7-<version>-win64.zip   the program's folder: rq7.exe, the Qt and MinGW
#                                                   DLLs, the Windows platform and style plugins, Qt's
#                                                   Russian texts, qt.conf and a short README.txt, and
#                                                   rq7cli.exe when the build has that target
#   build-windows-package/rq7-<version>-win64.exe   an installer (NSIS): Program Files\rq7, the
#                                                   Start-menu entry "Работа с RQ7", an uninstaller
#
# and checks them: the zip holds exactly those files; every DLL that a program or DLL in it imports
# is in it or is one of Windows' own; rq7.exe is a window program (no console) with its icon and
# version record and still registers its console control handler; both have their application
# manifest (scripts/windows-files.py manifest); rq7cli.exe, when built, is a
# console program that needs Qt Core but not Qt's windows; the Russian texts are Debian's.
# Then, in a throwaway Wine prefix, the installer is run silently, the installed files are compared
# with the zip's, the Start-menu entry and the uninstall record are looked at, and the uninstaller is
# run and leaves nothing behind. Exits non-zero with the reason on any failure.
#
#   bash scripts/windows-package.sh          RQ7_WINDOWS_PACKAGE_DIR sets the build folder
#
# The same build also makes the Windows programs of the window tests and the benchmark
# (tests/win/ui, bench), used by scripts/windows-e2e.sh.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
BUILD="${RQ7_WINDOWS_PACKAGE_DIR:-$ROOT/build-windows-package}"
JOBS="${JOBS:-2}"

fail() {
    echo "windows-package: FAILED: $*" >&2
    exit 1
}

bash scripts/install-windows-deps.sh
# shellcheck source=scripts/qt-mingw-kit.sh
source scripts/qt-mingw-kit.sh
rq7_find_qt_mingw || fail "no Qt kit for MinGW-w64 (looked for: $RQ7_QT_MINGW_MISSING)"
echo "== Qt kit: $RQ7_QT_MINGW"
# SQLite for the service record's store, from Debian's source, built once (scripts/sqlite-mingw.sh).
RQ7_SQLITE_MINGW="$(bash scripts/sqlite-mingw.sh | tail -n 1)" || fail "no SQLite for MinGW-w64"
echo "== SQLite: $RQ7_SQLITE_MINGW"

# Release at -O2 as for the Debian package (GCC 12 at -O3 warns falsely, and warnings are errors).
echo "== cross build with Qt in $BUILD"
mkdir -p "$BUILD"
timeout 1200 cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64-qt.cmake" \
    -DRQ7_QT_MINGW="$RQ7_QT_MINGW" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DRQ7_SQLITE_MINGW="$RQ7_SQLITE_MINGW" \
    -DRQ7_BUILD_UI=ON -DRQ7_BUILD_TESTS=ON >"$BUILD/configure.log" 2>&1 || {
    cat "$BUILD/configure.log"
    fail "cmake could not configure the Windows build"
}
# rq7cli.exe is shipped when the build has its target; the build graph says whether it has.
targets=(rq7 test_win_windows bench_windows_wine)
has_cli=false
if ninja -C "$BUILD" -t query rq7cli >/dev/null 2>&1; then
    has_cli=true
    targets+=(rq7cli)
fi
echo "== rq7cli.exe in the package: $has_cli"
timeout 1800 cmake --build "$BUILD" -j "$JOBS" --target "${targets[@]}"

echo "== packages"
rm -f "$BUILD"/rq7-*-win64.zip "$BUILD"/rq7-*-win64.exe
# Stripping stamps Windows programs and DLLs with the time unless told one: the last commit's time
# makes the zip and the installer hold the same bytes, and the same ones at every build.
SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}"
export SOURCE_DATE_EPOCH
(cd "$BUILD" && timeout 900 cpack -G "ZIP;NSIS" >cpack.log 2>&1) || {
    cat "$BUILD/cpack.log"
    fail "cpack failed"
}
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")"
ZIP="$BUILD/rq7-$version-win64.zip"
INSTALLER="$BUILD/rq7-$version-win64.exe"
[ -f "$ZIP" ] || fail "no $ZIP"
[ -f "$INSTALLER" ] || fail "no $INSTALLER"
echo "$ZIP ($(stat -c %s "$ZIP") bytes)"
echo "$INSTALLER ($(stat -c %s "$INSTALLER") bytes)"

WORK="$(mktemp -d /tmp/rq7-windows-package.XXXXXX)"
cleanup() {
    wine_stop_prefix
    rm -rf "$WORK"
}
trap cleanup EXIT
abort() { fail "$*"; }
# shellcheck source=tests/win/wine/wine-prefix.sh
source "$ROOT/tests/win/wine/wine-prefix.sh"

# ---- the zip
echo "== $ZIP"
unzip -l "$ZIP"
TOP="rq7-$version-win64"
shipped_files=(rq7.exe qt.conf README.txt Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll
    libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll platforms/qwindows.dll
    styles/qwindowsvistastyle.dll translations/qtbase_ru.qm)
if $has_cli; then shipped_files+=(rq7cli.exe); fi
EXPECTED="$(printf '%s\n' "${shipped_files[@]}" | sort)"
got="$(unzip -Z1 "$ZIP" | grep -v '/$' | sed "s|^$TOP/||" | sort)"
[ "$got" = "$EXPECTED" ] || fail "the zip's files differ from the expected ones:
$(diff <(echo "$EXPECTED") <(echo "$got") || true)"
unzip -Z1 "$ZIP" | grep -qv "^$TOP/" && fail "the zip has files outside its folder $TOP"
mkdir -p "$WORK/zip"
unzip -q "$ZIP" -d "$WORK/zip"
APP="$WORK/zip/$TOP"

objdump=x86_64-w64-mingw32-objdump
headers="$("$objdump" -p "$APP/rq7.exe")"
grep -qE '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "rq7.exe is not a window program (subsystem: $(grep ^Subsystem <<<"$headers"))"
grep -qE '[[:space:]]SetConsoleCtrlHandler$' <<<"$headers" || fail "rq7.exe does not register a console control handler"
python3 scripts/windows-files.py resources "$APP/rq7.exe" packaging/windows/rq7.ico "$version" "Работа с RQ7" ||
    fail "rq7.exe lacks its icon or version record"
# The application manifests: the user's own rights, Windows 10/11, and for the windows the DPI of each
# monitor (as Qt 6 sets it); the process's code page is left alone.
python3 scripts/windows-files.py manifest "$APP/rq7.exe" '>PerMonitorV2<' '>true/pm<' >/dev/null ||
    fail "rq7.exe lacks its manifest, or the manifest is wrong"
if $has_cli; then
    # A console program (cmd.exe waits for it and shows its output), on Qt Core without the windows (Qt
    # Gui only for laying out the printed protocol of `report`).
    cli_headers="$("$objdump" -p "$APP/rq7cli.exe")"
    grep -qE '^Subsystem[[:space:]]+00000003' <<<"$cli_headers" ||
        fail "rq7cli.exe is not a console program (subsystem: $(grep ^Subsystem <<<"$cli_headers"))"
    cli_imports="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$cli_headers")"
    grep -qix 'Qt6Core.dll' <<<"$cli_imports" || fail "rq7cli.exe does not import Qt6Core.dll: $cli_imports"
    if grep -qiE '^Qt6Widgets\.dll$' <<<"$cli_imports"; then
        fail "rq7cli.exe imports Qt's windows: $(grep -iE '^Qt6Widgets' <<<"$cli_imports")"
    fi
    grep -q 'rq7cli.exe --help' "$APP/README.txt" || fail "README.txt does not tell about rq7cli.exe"
    python3 scripts/windows-files.py manifest "$APP/rq7cli.exe" >/dev/null ||
        fail "rq7cli.exe lacks its manifest, or the manifest is wrong"
elif grep -q 'rq7cli' "$APP/README.txt"; then
    fail "README.txt tells about rq7cli.exe, which the zip lacks"
fi

# Every imported DLL is shipped or is Windows' own: an API set, or a system DLL that Wine provides too
# (and not a MinGW or Qt one).
WINE_DLLS=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
[ -d "$WINE_DLLS" ] || fail "no $WINE_DLLS to tell Windows' own DLLs"
shipped="$(cd "$APP" && find . -iname '*.dll' -printf '%f\n' | tr '[:upper:]' '[:lower:]')"
while IFS= read -r binary; do
    while IFS= read -r dll; do
        lower="${dll,,}"
        grep -qx "$lower" <<<"$shipped" && continue
        case "$lower" in
        lib*.dll | qt6*.dll) fail "${binary#"$APP"/} imports $dll, which the zip lacks" ;;
        api-ms-win-*.dll | ext-ms-*.dll) continue ;; # API sets: names the Windows loader resolves itself
        esac
        [ -e "$WINE_DLLS/$lower" ] || fail "${binary#"$APP"/} imports $dll, neither shipped nor a Windows DLL"
    done < <("$objdump" -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p')
done < <(find "$APP" -iname '*.exe' -o -iname '*.dll')

cmp -s "$APP/translations/qtbase_ru.qm" /usr/share/qt6/translations/qtbase_ru.qm ||
    fail "translations/qtbase_ru.qm is not Debian's"
grep -qx 'Translations = translations' "$APP/qt.conf" || fail "qt.conf does not name the translations folder"
if grep -qv $'\r$' "$APP/README.txt"; then
    fail "README.txt has lines without CR LF: $(grep -nv $'\r$' "$APP/README.txt" | head -n 3)"
fi
grep -q "rq7 $version" "$APP/README.txt" || fail "README.txt does not name the version"
echo "zip: OK"

# ---- the installer, in a throwaway Wine prefix
echo "== $INSTALLER under Wine"
unset DISPLAY WAYLAND_DISPLAY
wine_make_prefix "COM1=" # no port is needed here
echo "Wine $(wine --version 2>/dev/null)"
timeout 300 wine "$INSTALLER" /S >"$WORK/install.log" 2>&1 </dev/null || fail "the installer failed: $(cat "$WORK/install.log")"
timeout 120 wineserver -w || true
DEST="$WINEPREFIX/drive_c/Program Files/rq7"
[ -d "$DEST" ] || fail "nothing was installed in C:\\Program Files\\rq7"
installed="$(cd "$DEST" && find . -type f -printf '%P\n' | grep -vx 'Uninstall.exe' | sort)"
[ "$installed" = "$EXPECTED" ] || fail "the installed files differ from the zip's:
$(diff <(echo "$EXPECTED") <(echo "$installed") || true)"
while IFS= read -r file; do
    cmp -s "$APP/$file" "$DEST/$file" || fail "the installed $file differs from the zip's"
done <<<"$EXPECTED"
[ -f "$DEST/Uninstall.exe" ] || fail "no uninstaller was installed"
# For all users, in the folder the installer offers (its name, "Работа с RQ7").
MENU="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Работа с RQ7"
LINK="$MENU/Работа с RQ7.lnk"
[ -f "$LINK" ] || fail "no Start-menu entry \"Работа с RQ7\"; shortcuts made: $(find "$WINEPREFIX/drive_c" -name '*.lnk' -newer "$INSTALLER" 2>/dev/null)"
python3 scripts/windows-files.py lnk-has "$LINK" 'rq7.exe' || fail "the Start-menu entry does not start rq7.exe"
# Each user's own documents folder, not the shared Public Documents of an installation for all users.
python3 scripts/windows-files.py lnk-has "$LINK" '%USERPROFILE%\Documents' ||
    fail "the Start-menu entry does not start the program in the user's own documents folder"
python3 scripts/windows-files.py lnk-has "$LINK" 'Public' &&
    fail "the Start-menu entry starts the program in the shared Public Documents folder"
UNINSTALL_KEY='Software\Microsoft\Windows\CurrentVersion\Uninstall\rq7'
display_name="$(python3 scripts/windows-files.py reg-value "$WINEPREFIX/system.reg" "$UNINSTALL_KEY" DisplayName)" ||
    fail "no uninstall record"
[ "$display_name" = "Работа с RQ7" ] || fail "the uninstall record is named '$display_name'"
echo "installer: installed $(wc -l <<<"$installed") files and the uninstaller, Start-menu entry \"Работа с RQ7\""
if $has_cli; then
    # The installed command-line program starts from its folder (its DLLs found beside it).
    timeout 120 wine "C:\\Program Files\\rq7\\rq7cli.exe" --help >"$WORK/cli-help.log" 2>&1 </dev/null ||
        fail "the installed rq7cli.exe --help failed: $(cat "$WORK/cli-help.log")"
    grep -q 'rq7cli' "$WORK/cli-help.log" || fail "the installed rq7cli.exe --help does not name the program"
    echo "installer: rq7cli.exe --help runs"
fi

timeout 300 wine "C:\\Program Files\\rq7\\Uninstall.exe" /S >"$WORK/uninstall.log" 2>&1 </dev/null ||
    fail "the uninstaller failed: $(cat "$WORK/uninstall.log")"
# The uninstaller runs a copy of itself from the temporary folder and returns at once.
timeout 120 wineserver -w || true
[ ! -e "$DEST" ] || fail "the uninstaller left $(cd "$DEST" && find . -type f | head -n 5)"
[ ! -e "$LINK" ] || fail "the uninstaller left the Start-menu entry"
if python3 scripts/windows-files.py reg-value "$WINEPREFIX/system.reg" "$UNINSTALL_KEY" DisplayName >/dev/null 2>&1; then
    fail "the uninstaller left its uninstall record"
fi
echo "installer: OK (installed, then removed by its uninstaller)"
echo "windows-package: OK: $ZIP $INSTALLER"
