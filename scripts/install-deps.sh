#!/usr/bin/env bash
# Installs what building and testing rq7 needs on Debian 12 (skips the install when all is present).
set -euo pipefail
PACKAGES=(
    build-essential cmake ninja-build pkg-config python3
    qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev
    libgtest-dev libgmock-dev
    # The service record's store: SQLite's library, and its shell for looking into a store by hand.
    libsqlite3-dev sqlite3
    locales fonts-dejavu-core
    # The service record's protocol: its PDF read back by the tests (pdftotext, pdffonts).
    poppler-utils
    # The Debian package (scripts/check-package.sh): dpkg-shlibdeps, and file for CPack; lintian for
    # Debian's conventions, appstreamcli for the metainfo file and man for the manual pages' warnings.
    dpkg-dev file desktop-file-utils lintian appstream man-db
    # The program in a real X server: the end-to-end test and the screenshots (Cyrillic fonts too).
    xvfb xauth xdotool x11-utils x11-apps imagemagick fonts-dejavu-extra fonts-liberation2
    # The fuzz targets (fuzz/run-brief.sh): clang with libFuzzer and the sanitizer runtimes.
    clang libclang-rt-14-dev
)
bash "$(dirname "$0")/apt-install-missing.sh" "${PACKAGES[@]}"

# A locale whose decimal point is a comma, so the tests can prove that no text depends on the locale.
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
    $SUDO localedef -i ru_RU -f UTF-8 ru_RU.UTF-8 || echo "note: could not make the ru_RU.UTF-8 locale; its tests will be skipped"
fi
