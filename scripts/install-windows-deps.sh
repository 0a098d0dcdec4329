#!/usr/bin/env bash
# Installs what the Windows build and its run under Wine need on Debian 12 (skips the install when
# all is present): the MinGW-w64 cross compiler (POSIX threads, for std::thread in GoogleTest),
# GoogleTest's sources (built with the cross compiler), Wine to run the tests, CMake, and the native
# compiler for the adapter simulator and the small library that gives Wine's COM port modem lines.
# For the whole Windows program (with the Qt kit for MinGW-w64): the host's Qt tools (moc, uic, rcc)
# and Qt's Russian texts, NSIS for the installer, zip tools, Wine's own Windows fonts (Tahoma and
# the others a Windows machine has), and for the end-to-end test under Wine an X server, xdotool and
# ImageMagick's import.
set -euo pipefail
PACKAGES=(
    cmake make g++ gcc libc6-dev
    g++-mingw-w64-x86-64-posix
    googletest
    wine wine64
    qt6-base-dev qt6-base-dev-tools qt6-translations-l10n
    nsis zip unzip python3 fonts-wine
    # SQLite for Windows, from Debian's source package (scripts/sqlite-mingw.sh): its amalgamation
    # is made with tclsh, the source unpacked with dpkg-source.
    tcl dpkg-dev
    xvfb xauth xdotool x11-utils imagemagick
)
bash "$(dirname "$0")/apt-install-missing.sh" "${PACKAGES[@]}"
