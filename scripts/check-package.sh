#!/usr/bin/env bash
# Builds the Debian package in its own build folder (Release, without the tests) and checks what it
# holds: the programs (rq7, rq7sim, and rq7cli when the build has that target), their manual pages,
# the desktop entry, the icon, the AppStream metainfo, the changelog and the copyright file, and a
# Depends line that names Qt and its Russian texts. Then lintian must report no error and no warning
# (its informational notes are shown), appstreamcli must accept the metainfo, and man must render
# every manual page without a warning. Prints the package's path on success; exits non-zero with the
# reason otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${PACKAGE_BUILD_DIR:-build-package}"
JOBS="${JOBS:-2}"

fail() {
    echo "check-package: FAILED: $*" >&2
    exit 1
}

for tool in dpkg-deb dpkg-shlibdeps file cpack ninja lintian appstreamcli man gzip; do
    command -v "$tool" >/dev/null || fail "$tool is missing (bash scripts/install-deps.sh installs it)"
done

# Release, optimised at -O2 as Debian builds its packages (GCC 12 at -O3 warns falsely about
# std::string copies, and warnings are errors here), with the hardening Debian's own packages get
# (dpkg-buildflags: stack protector, fortified C library calls, read-only relocations bound at
# start-up).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DRQ7_BUILD_TESTS=OFF -DRQ7_SANITIZE=OFF
# rq7cli goes into the package when the build has its target; the build graph says whether it has.
targets=(rq7 rq7sim)
has_cli=false
if ninja -C "$BUILD" -t query rq7cli >/dev/null 2>&1; then
    has_cli=true
    targets+=(rq7cli)
fi
cmake --build "$BUILD" -j "$JOBS" --target "${targets[@]}"
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

programs=(rq7 rq7sim)
if $has_cli; then programs+=(rq7cli); fi
METAINFO=./usr/share/metainfo/org.example.rq7.metainfo.xml
expected=(./usr/share/applications/rq7.desktop ./usr/share/icons/hicolor/scalable/apps/rq7.svg "$METAINFO"
    ./usr/share/doc/rq7/changelog.gz ./usr/share/doc/rq7/copyright)
for program in "${programs[@]}"; do
    expected+=("./usr/bin/$program" "./usr/share/man/man1/$program.1.gz")
done
for path in "${expected[@]}"; do
    grep -qE "[[:space:]]${path//./\\.}\$" <<<"$contents" || fail "$path is not in the package"
done
for program in "${programs[@]}"; do
    path="./usr/bin/$program"
    grep -qE "^-rwxr-xr-x .*[[:space:]]${path//./\\.}\$" <<<"$contents" || fail "$path is not executable"
done
if ! $has_cli && grep -q 'rq7cli' <<<"$contents"; then
    fail "the build has no rq7cli, yet the package holds: $(grep rq7cli <<<"$contents")"
fi

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
if $has_cli; then
    help="$("$unpacked/usr/bin/rq7cli" --help)" || fail "the packaged rq7cli --help fails"
    grep -q 'rq7cli' <<<"$help" || fail "the packaged rq7cli --help does not name the program"
fi

# The changelog's newest entry and the metainfo's release are this version.
version="$(dpkg-deb -f "$deb" Version)"
changelog_head="$(gzip -dc "$unpacked/usr/share/doc/rq7/changelog.gz" | head -n 1)"
[[ "$changelog_head" == "rq7 ($version) "* ]] ||
    fail "the changelog's newest entry is not version $version: $changelog_head (packaging/changelog)"
grep -q "<release version=\"$version\"" "$unpacked/$METAINFO" ||
    fail "the metainfo has no release $version (packaging/$(basename "$METAINFO"))"
grep -qx '  <launchable type="desktop-id">rq7.desktop</launchable>' "$unpacked/$METAINFO" ||
    fail "the metainfo does not launch rq7.desktop"

# Every manual page renders without a warning from man (groff), as lintian runs it, and names its
# program in its NAME line.
for program in "${programs[@]}"; do
    page="$unpacked/usr/share/man/man1/$program.1.gz"
    warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)"
    [ -z "$warnings" ] || fail "man warns about $program.1: $warnings"
    gzip -dc "$page" | grep -q "^$program \\\\- " || fail "$program.1 has no NAME line \"$program \\- ...\""
done

echo "== appstreamcli validate"
appstreamcli validate --no-net --pedantic "$unpacked/$METAINFO" || fail "appstreamcli refused the metainfo"
# The installed tree: the metainfo together with the desktop entry it launches.
appstreamcli validate-tree --no-net --pedantic "$unpacked" || fail "appstreamcli refused the installed tree"

echo "== lintian"
# Errors and warnings fail the check; informational notes (I:) are printed and accepted. Lintian warns
# that it runs as root, which is how this script runs in CI.
lintian --display-info --fail-on error,warning "$deb" || fail "lintian reports errors or warnings"

echo "check-package: OK: $deb"
