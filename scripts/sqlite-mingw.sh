#!/usr/bin/env bash
# SQLite for the Windows build: Debian's own sqlite3 source package (with Debian's patches), made into
# its amalgamation (sqlite3.c) by its configure and make (needs tclsh), compiled with the MinGW-w64
# compiler into a static library. Built once per Debian version and kept in
#
#   ${RQ7_SQLITE_MINGW_CACHE:-${XDG_CACHE_HOME:-~/.cache}/rq7/sqlite3-mingw}/<version>/{include/sqlite3.h,lib/libsqlite3.a}
#
# outside the source tree, so that every checkout and build folder shares it. The source comes with
# `apt-get source`, which needs a deb-src line: when apt knows none for sqlite3, the script adds its own
# (/etc/apt/sources.list.d/rq7-deb-src.sources, the same mirrors as the deb lines) and updates apt.
#
#   bash scripts/sqlite-mingw.sh        prints the folder holding include/ and lib/ on its last line
#
# The Windows builds then configure with -DSQLite3_INCLUDE_DIR=<folder>/include
# -DSQLite3_LIBRARY=<folder>/lib/libsqlite3.a (scripts/windows-package.sh and windows-check.sh do).
set -euo pipefail

fail() {
    echo "sqlite-mingw: FAILED: $*" >&2
    exit 1
}

CACHE="${RQ7_SQLITE_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/rq7/sqlite3-mingw}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi

# The version of Debian's sqlite3 that the Linux build uses (libsqlite3-dev): the Windows one matches it.
version="$(dpkg-query -W -f '${Version}' libsqlite3-dev 2>/dev/null || true)"
[ -n "$version" ] || version="$(apt-cache policy sqlite3 | sed -n 's/^ *Candidate: //p')"
[ -n "$version" ] && [ "$version" != "(none)" ] || fail "apt knows no sqlite3 package"
DEST="$CACHE/$version"
if [ -f "$DEST/lib/libsqlite3.a" ] && [ -f "$DEST/include/sqlite3.h" ]; then
    echo "== SQLite $version for MinGW-w64: already built"
    echo "$DEST"
    exit 0
fi

command -v tclsh >/dev/null || $SUDO apt-get install -y --no-install-recommends tcl >&2
command -v x86_64-w64-mingw32-gcc >/dev/null || fail "no x86_64-w64-mingw32-gcc (scripts/install-windows-deps.sh)"
command -v dpkg-source >/dev/null || $SUDO apt-get install -y --no-install-recommends dpkg-dev >&2

WORK="$(mktemp -d /tmp/rq7-sqlite-mingw.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
chmod 755 "$WORK" # apt's download user writes here

# apt-get source needs a deb-src line: ours, with the mirrors and suites of the deb lines, when none is there.
if ! apt-get source --download-only "sqlite3=$version" >"$WORK/source.log" 2>&1; then
    OWN=/etc/apt/sources.list.d/rq7-deb-src.sources
    if [ ! -f "$OWN" ]; then
        echo "== adding deb-src lines ($OWN)" >&2
        {
            echo "# Debian's source packages, for the SQLite of rq7's Windows build (scripts/sqlite-mingw.sh)."
            for f in /etc/apt/sources.list.d/debian.sources; do
                [ -f "$f" ] && sed -e 's/^Types: deb$/Types: deb-src/' "$f"
            done
            if [ ! -f /etc/apt/sources.list.d/debian.sources ]; then
                printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\n\n'
                printf 'Types: deb-src\nURIs: http://deb.debian.org/debian-security\nSuites: bookworm-security\nComponents: main\n'
            fi
        } | $SUDO tee "$OWN" >/dev/null
    fi
    $SUDO apt-get update >&2 || fail "apt-get update failed"
    apt-get source --download-only "sqlite3=$version" >"$WORK/source.log" 2>&1 ||
        fail "apt-get source sqlite3=$version failed: $(tail -n 5 "$WORK/source.log")"
fi
dsc="$(ls "$WORK"/sqlite3_*.dsc)"
echo "== unpacking $(basename "$dsc") with Debian's patches" >&2
dpkg-source -x "$dsc" "$WORK/src" >"$WORK/unpack.log" 2>&1 || fail "dpkg-source: $(tail -n 5 "$WORK/unpack.log")"

echo "== making the amalgamation (configure, make sqlite3.c)" >&2
mkdir -p "$WORK/amalgamation"
(cd "$WORK/amalgamation" && "$WORK/src/configure" --disable-tcl >"$WORK/configure.log" 2>&1 &&
    make -j "${JOBS:-2}" sqlite3.c sqlite3.h >"$WORK/make.log" 2>&1) ||
    fail "the amalgamation was not made: $(tail -n 20 "$WORK/configure.log" "$WORK/make.log" 2>/dev/null)"

echo "== compiling sqlite3.c with x86_64-w64-mingw32-gcc" >&2
# Threads on (several threads of a program may each open the store); no loadable extensions.
x86_64-w64-mingw32-gcc -O2 -DNDEBUG -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DQS=0 \
    -c "$WORK/amalgamation/sqlite3.c" -o "$WORK/sqlite3.o" || fail "x86_64-w64-mingw32-gcc could not compile sqlite3.c"
mkdir -p "$DEST.partial/include" "$DEST.partial/lib"
x86_64-w64-mingw32-ar rcs "$DEST.partial/lib/libsqlite3.a" "$WORK/sqlite3.o"
cp "$WORK/amalgamation/sqlite3.h" "$WORK/amalgamation/sqlite3ext.h" "$DEST.partial/include/" 2>/dev/null ||
    cp "$WORK/amalgamation/sqlite3.h" "$DEST.partial/include/"
echo "$version $(basename "$dsc")" >"$DEST.partial/SOURCE"
rm -rf "$DEST"
mv "$DEST.partial" "$DEST"
echo "== SQLite $version for MinGW-w64 built" >&2
echo "$DEST"
