#!/usr/bin/env bash
# Builds the Debian packages in one run and checks each with lintian:
#   quorvel          the connector for servers: no Qt Gui or Widgets, no X11; the service
#                    with its sysusers.d and tmpfiles.d entries, the tools, man pages, examples
#   quorvel-desktop  the tray application's module, menu and autostart entries, icons;
#                    depends on quorvel of the same version
#   quorvel-dbgsym, quorvel-desktop-dbgsym (.ddeb)  their debug information
#
#   scripts/package.sh [BUILD_DIR] [CMAKE_ARGS...]
# BUILD_DIR defaults to build-pkg; CMAKE_ARGS go to cmake. One build (with the desktop) gives
# both packages: the connector never links the desktop libraries, it loads the module when a
# desktop session starts it. The build uses Debian's build flags with every hardening feature
# and the prefix /usr; the debug information is split off as dh_strip does it.
# Prints the path of each package, one a line. Exit status 1 when the build fails, the
# connector's package would pull in a desktop library, or lintian finds an error.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build="${1:-build-pkg}"
shift || true
umask 022

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

# Debian's build flags with every hardening feature (relro, now, fortify, stack protector),
# for the executables and for the desktop module alike.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cxxflags=$(dpkg-buildflags --get CXXFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DQUORVEL_TESTS=OFF -DQUORVEL_BENCH=OFF -DQUORVEL_GUI=ON \
    "-DCMAKE_CXX_FLAGS=$cppflags $cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" \
    "-DCMAKE_MODULE_LINKER_FLAGS=$ldflags" "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags" \
    "$@" >/dev/null
cmake --build "$build" -j2 >"$build/package-build.log" 2>&1 ||
    { tail -40 "$build/package-build.log" >&2; echo "package: build failed" >&2; exit 1; }

build=$(realpath "$build")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
maintainer="The Quorvel developers <quorvel@example.org>"
work="$build/deb"
out="$build/packages"
rm -rf "$work" "$out"
mkdir -p "$work" "$out"

# dpkg-shlibdeps wants a debian/control to read.
mkdir -p "$work/src/debian"
printf 'Source: quorvel\n\nPackage: quorvel\nArchitecture: any\n\nPackage: quorvel-desktop\nArchitecture: any\n' \
    >"$work/src/debian/control"

# Moves the debug information of every ELF file under root into dbgroot
# (usr/lib/debug/.build-id/xx/yyyy.debug), strips the file and links it to its debug file.
# Prints the build ids.
split_debug() {
    local root=$1 dbgroot=$2 f id dbg
    while IFS= read -r -d '' f; do
        file -b "$f" | grep -q '^ELF' || continue
        id=$(readelf -n "$f" | sed -n 's/^ *Build ID: *//p')
        [ -n "$id" ] || { echo "package: $f has no build id" >&2; exit 1; }
        dbg="$dbgroot/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
        mkdir -p "$(dirname "$dbg")"
        objcopy --only-keep-debug --compress-debug-sections "$f" "$dbg"
        chmod 0644 "$dbg"
        case "$f" in
        *.so) strip --remove-section=.comment --remove-section=.note --strip-unneeded "$f" ;;
        *) strip --remove-section=.comment --remove-section=.note "$f" ;;
        esac
        objcopy --add-gnu-debuglink="$dbg" "$f"
        echo "$id"
    done < <(find "$root" -type f -print0 | sort -z)
}

# DEBIAN/md5sums of every file of the package, by its path in the package.
write_md5sums() {
    (cd "$1" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0r md5sum) \
        >"$1/DEBIAN/md5sums"
    [ -s "$1/DEBIAN/md5sums" ] || rm -f "$1/DEBIAN/md5sums"
}

installed_size() { du -sk --exclude=DEBIAN "$1" | cut -f1; }

# The library packages the ELF files of a staged root need, as a Depends list.
shlib_depends() {
    local root=$1 files
    mapfile -t files < <(find "$root" -type f -exec sh -c 'file -b "$1" | grep -q "^ELF"' _ {} \; -print)
    (cd "$work/src" && dpkg-shlibdeps -O -l"$root/usr/lib/quorvel" -e"${files[@]}" 2>/dev/null) |
        sed -n 's/^shlibs:Depends=//p'
}

# build_deb COMPONENT PACKAGE DEPENDS SECTION SUMMARY DESCRIPTION [MAINTAINER_SCRIPTS...]
build_deb() {
    local component=$1 pkg=$2 extra_depends=$3 section=$4 summary=$5 description=$6
    shift 6
    local root="$work/$pkg" dbgroot="$work/$pkg-dbgsym" ids depends
    DESTDIR="$root" cmake --install "$build" --component "$component" >/dev/null
    mkdir -p "$root/DEBIAN"
    ids=$(split_debug "$root" "$dbgroot" | tr '\n' ' ')
    ids=${ids% }
    depends=$(shlib_depends "$root")
    depends="${extra_depends:+$extra_depends, }$depends"
    for script in "$@"; do
        install -m 0755 "$src/packaging/debian/$pkg.$script" "$root/DEBIAN/$script"
    done
    if [ -d "$root/etc" ]; then
        (cd "$root" && find etc -type f -printf '/%p\n' | sort) >"$root/DEBIAN/conffiles"
    fi
    write_md5sums "$root"
    cat >"$root/DEBIAN/control" <<EOF
Package: $pkg
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(installed_size "$root")
Depends: $depends
Section: $section
Priority: optional
Description: $summary
$description
EOF
    dpkg-deb --root-owner-group -Zxz --build "$root" "$out/${pkg}_${version}_${arch}.deb" >/dev/null

    # The debug package, as Debian's tools make it: its documentation is the package's.
    [ -n "$ids" ] || return 0
    mkdir -p "$dbgroot/DEBIAN" "$dbgroot/usr/share/doc"
    ln -s "$pkg" "$dbgroot/usr/share/doc/$pkg-dbgsym"
    write_md5sums "$dbgroot"
    cat >"$dbgroot/DEBIAN/control" <<EOF
Package: $pkg-dbgsym
Source: quorvel
Version: $version
Auto-Built-Package: debug-symbols
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(installed_size "$dbgroot")
Depends: $pkg (= $version)
Section: debug
Priority: optional
Description: debug symbols for $pkg
Build-Ids: $ids
EOF
    dpkg-deb --root-owner-group -Zxz --build "$dbgroot" "$out/${pkg}-dbgsym_${version}_${arch}.ddeb" >/dev/null
}

build_deb quorvel quorvel "adduser" net \
    "connector between an xAP network and an X10 CM11A interface" \
    " Quorvel joins an xAP home-automation network (plain-text UDP messages through
 the local xAP hub) to an X10 CM11A power-line interface, on a serial port or
 behind a TCP serial server. xAP clients switch X10 lamps and appliances through
 it; what the CM11A hears on the power line comes back as xAP events.
 .
 This package holds the connector for servers, without any desktop library:
 the systemd service (sandboxed, with a watchdog; installed, not enabled until
 the CM11A's port is set), a CM11A simulator, a loopback xAP hub and a request
 sender for trying it without hardware." \
    postinst prerm postrm
build_deb desktop quorvel-desktop "quorvel (= $version)" net \
    "tray application for the Quorvel xAP to X10 CM11A connector" \
    " Quorvel joins an xAP home-automation network to an X10 CM11A power-line
 interface. This package adds the desktop: a tray icon showing the link, a setup
 window and a communications window, with a menu entry and an autostart entry
 that start the connector in each user's session (settings in
 ~/.local/share/quorvel)."

# The connector's package must not bring a desktop onto a server.
server_depends=$(dpkg-deb -f "$out/quorvel_${version}_${arch}.deb" Depends)
if grep -Eqi 'libqt6(gui|widgets)|libx11|libxcb|libgl|libegl' <<<"$server_depends"; then
    echo "package: quorvel depends on a desktop library: $server_depends" >&2
    exit 1
fi

# lintian as a user would run it: errors fail the build, the rest is shown.
status=0
for p in "$out"/*.deb "$out"/*.ddeb; do
    lintian --fail-on error --tag-display-limit 0 "$p" >&2 || status=1
done
if [ "$status" -ne 0 ]; then
    echo "package: lintian found errors" >&2
    exit 1
fi
for p in "$out"/*.deb "$out"/*.ddeb; do realpath "$p"; done
