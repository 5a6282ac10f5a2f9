#!/usr/bin/env bash
# Builds the Debian package with CPack and checks it with lintian.
#   scripts/package.sh [BUILD_DIR] [CMAKE_ARGS...]
# BUILD_DIR defaults to build-pkg; CMAKE_ARGS go to cmake, for example -DQUORVEL_GUI=OFF for
# the headless package of a desktop-capable tree. The build uses Debian's hardening flags and
# the prefix /usr; the binaries keep their debug information until CPack moves it into the
# separate quorvel-dbgsym package (.ddeb) and strips them.
# The last line printed is the path of the .deb. Exit status 1 when the build fails or
# lintian finds an error.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-pkg}"
shift || true

bash scripts/install-deps.sh
# What the package build needs beyond the build itself (dpkg-dev, file and binutils come with
# build-essential on Debian; lintian only here, as the ordinary build does not use it).
missing=()
for p in lintian dpkg-dev file binutils; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    echo "package: installing ${missing[*]}" >&2
    $SUDO apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

# Debian's build flags with every hardening feature (relro, now, fortify, stack protector).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cxxflags=$(dpkg-buildflags --get CXXFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DQUORVEL_TESTS=OFF -DQUORVEL_BENCH=OFF \
    "-DCMAKE_CXX_FLAGS=$cppflags $cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" \
    "$@" >/dev/null
cmake --build "$build" -j"$(nproc)" >"$build/package-build.log" 2>&1 ||
    { tail -40 "$build/package-build.log" >&2; echo "package: build failed" >&2; exit 1; }

rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >cpack.log 2>&1) ||
    { cat "$build/cpack.log" >&2; echo "package: cpack failed" >&2; exit 1; }
deb=$(find "$build/packages" -maxdepth 1 -name '*.deb' | head -n 1)
[ -n "$deb" ] || { echo "package: no .deb produced" >&2; exit 1; }
ddeb=$(find "$build/packages" -maxdepth 1 -name '*.ddeb' | head -n 1)
[ -n "$ddeb" ] && echo "debug symbols: $(realpath "$ddeb")" >&2

# lintian as a user would run it on the .deb: errors fail the build, the rest is shown.
if ! lintian --fail-on error --tag-display-limit 0 "$deb" >&2; then
    echo "package: lintian found errors" >&2
    exit 1
fi
realpath "$deb"
