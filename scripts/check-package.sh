#!/usr/bin/env bash
# Builds the Debian package in its own build folder (Release, without the tests) and checks what it
# holds: both programs, the desktop entry, the icon and a Depends line that names Qt and its Russian
# texts. Prints the package's path on success; exits non-zero with the reason otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${PACKAGE_BUILD_DIR:-build-package}"
JOBS="${JOBS:-2}"

fail() {
    echo "check-package: FAILED: $*" >&2
    exit 1
}

for tool in dpkg-deb dpkg-shlibdeps file cpack; do
    command -v "$tool" >/dev/null || fail "$tool is missing (bash scripts/install-deps.sh installs it)"
done

# Release, optimised at -O2 as Debian builds its packages (GCC 12 at -O3 warns falsely about
# std::string copies, and warnings are errors here).
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DRQ7_BUILD_TESTS=OFF -DRQ7_SANITIZE=OFF
cmake --build "$BUILD" -j "$JOBS" --target rq7 rq7sim
rm -f "$BUILD"/rq7_*.deb
(cd "$BUILD" && cpack -G DEB)

shopt -s nullglob
debs=("$BUILD"/rq7_*.deb)
((${#debs[@]} == 1)) || fail "expected one rq7_*.deb in $BUILD, found ${#debs[@]}"
deb="${debs[0]}"

echo "== $deb"
dpkg-deb -f "$deb"
contents="$(dpkg-deb -c "$deb")"
echo "$contents"

for path in ./usr/bin/rq7 ./usr/bin/rq7sim ./usr/share/applications/rq7.desktop \
    ./usr/share/icons/hicolor/scalable/apps/rq7.svg; do
    grep -qE "[[:space:]]${path//./\\.}\$" <<<"$contents" || fail "$path is not in the package"
done
for path in ./usr/bin/rq7 ./usr/bin/rq7sim; do
    grep -qE "^-rwxr-xr-x .*[[:space:]]${path//./\\.}\$" <<<"$contents" || fail "$path is not executable"
done

[ "$(dpkg-deb -f "$deb" Package)" = rq7 ] || fail "the package is not named rq7"
depends="$(dpkg-deb -f "$deb" Depends)"
[ -n "$depends" ] || fail "the Depends line is empty"
grep -q 'libqt6widgets6' <<<"$depends" || fail "Depends does not name Qt Widgets: $depends"
grep -q 'libc6' <<<"$depends" || fail "Depends does not name the C library: $depends"
grep -q 'qt6-translations-l10n' <<<"$depends" || fail "Depends does not name the Russian Qt texts: $depends"

# The packaged files themselves: the desktop entry is valid and names the program and its icon,
# the icon is an SVG, and the simulator runs.
unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
desktop="$unpacked/usr/share/applications/rq7.desktop"
grep -qx 'Exec=rq7' "$desktop" || fail "the desktop entry does not start rq7"
grep -qx 'Icon=rq7' "$desktop" || fail "the desktop entry does not name the icon rq7"
grep -qx 'Name\[ru\]=Работа с RQ7' "$desktop" || fail "the desktop entry has no Russian name"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate refused the desktop entry"
fi
grep -q '<svg' "$unpacked/usr/share/icons/hicolor/scalable/apps/rq7.svg" || fail "the icon is not an SVG"
"$unpacked/usr/bin/rq7sim" --help | grep -q '^usage: rq7sim' || fail "the packaged rq7sim does not run"

echo "check-package: OK: $deb"
