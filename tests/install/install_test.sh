#!/usr/bin/env bash
# Installs the build into a temporary folder (DESTDIR) and checks what a manual install or the
# package gets: every file in place and nothing outside the prefix, the installed binaries run
# and tell the right version, the man pages pass the lint, the service unit passes
# systemd-analyze verify with an exposure of 2.0 or less, the sysusers entry makes the user, the
# example settings carry every key and keep xAP on loopback, and the desktop entries validate.
# A check whose tool is missing is skipped with a message.
# Usage: install_test.sh BUILD_DIR VARIANT VERSION PREFIX SYSCONFDIR
set -uo pipefail
build=$1 variant=$2 version=$3 prefix=$4 sysconfdir=$5
src=$(cd "$(dirname "$0")/../.." && pwd)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; }

if ! DESTDIR="$tmp/root" cmake --install "$build" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    echo "FAIL: cmake --install failed"
    exit 1
fi
root="$tmp/root$prefix"

# Every file in place.
expected=(
    bin/quorvel bin/quorvel-cm11a-sim bin/quorvel-xap-hub bin/quorvel-xap-send
    share/man/man8/quorvel.8.gz share/man/man5/quorvel.ini.5.gz
    share/man/man1/quorvel-cm11a-sim.1.gz share/man/man1/quorvel-xap-hub.1.gz
    share/man/man1/quorvel-xap-send.1.gz
    lib/systemd/system/quorvel.service lib/sysusers.d/quorvel.conf lib/tmpfiles.d/quorvel.conf
    share/doc/quorvel/copyright share/doc/quorvel/changelog.gz share/doc/quorvel/CHANGELOG.md
    share/doc/quorvel/README.md
    share/doc/quorvel/examples/Quorvel.ini share/doc/quorvel/examples/zebXap.ini
)
for f in "${expected[@]}"; do
    [ -s "$root/$f" ] || fail "not installed: $prefix/$f"
done
autostart="$tmp/root$sysconfdir/xdg/autostart/quorvel.desktop"
menu="$root/share/applications/quorvel.desktop"
desktop_files=(lib/quorvel/libquorvel_desktop.so share/icons/hicolor/scalable/apps/quorvel.svg
    share/icons/hicolor/48x48/apps/quorvel.png share/doc/quorvel-desktop/copyright
    share/doc/quorvel-desktop/changelog.gz)
if [ "$variant" = desktop ]; then
    [ -s "$menu" ] || fail "desktop build without its menu entry"
    [ -s "$autostart" ] || fail "desktop build without its autostart entry"
    for f in "${desktop_files[@]}"; do
        [ -s "$root/$f" ] || fail "not installed: $prefix/$f"
    done
    # The connector's component (the server package) holds nothing of the desktop.
    DESTDIR="$tmp/server" cmake --install "$build" --component quorvel >/dev/null 2>&1 ||
        fail "cmake --install --component quorvel failed"
    leaked=$(cd "$tmp/server" && find . -name '*.desktop' -o -name 'libquorvel_desktop*' -o -path '*/icons/*')
    [ -z "$leaked" ] || fail "the connector's component holds desktop files: $leaked"
    if command -v objdump >/dev/null; then
        needed=$(objdump -p "$tmp/server$prefix/bin/quorvel" | awk '/NEEDED/ { print $2 }')
        if grep -Eq 'Qt6(Gui|Widgets)|libX11|libxcb|libGL' <<<"$needed"; then
            fail "the connector links a desktop library: $(tr '\n' ' ' <<<"$needed")"
        fi
    fi
else
    # A headless connector started by a desktop session would fight the service for the CM11A.
    if [ -e "$menu" ] || [ -e "$autostart" ]; then fail "headless build installs desktop entries"; fi
fi
# Nothing outside the prefix but the configuration folder (a fixed absolute destination would
# ignore the prefix a user or a distribution chose).
while IFS= read -r f; do
    case "$f" in "$prefix/"* | "$sysconfdir/"*) ;; *) fail "installed outside the prefix: $f" ;; esac
done <"$build/install_manifest.txt"

# The installed binaries run.
got=$("$root/bin/quorvel" --version 2>&1)
[ "$got" = "quorvel $version ($variant)" ] || fail "quorvel --version says '$got'"
for tool in cm11a-sim xap-hub xap-send; do
    "$root/bin/quorvel-$tool" --help >/dev/null 2>&1 || fail "quorvel-$tool --help failed"
    got=$("$root/bin/quorvel-$tool" --version 2>&1)
    [ "$got" = "quorvel-$tool $version (Quorvel)" ] || fail "quorvel-$tool --version says '$got'"
done
got=$("$root/bin/quorvel-xap-send" --help 2>&1 | head -n 1)
[[ "$got" == "Usage: quorvel-xap-send "* ]] || fail "quorvel-xap-send names itself otherwise: $got"

# Man pages: lint clean (each one in place is in the list above).
for page in "$root"/share/man/man*/*.gz; do
    if command -v mandoc >/dev/null; then
        out=$(mandoc -T lint "$page" 2>&1) || true
    elif command -v man >/dev/null; then
        out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || true
    else
        skip "neither mandoc nor man: man pages not linted"
        break
    fi
    [ -z "$out" ] || fail "man page $(basename "$page"): $out"
done

# The unit: systemd-analyze verify (with the installed binary and man pages) and security.
unit="$root/lib/systemd/system/quorvel.service"
if ! grep -q "^ExecStart=$prefix/bin/quorvel " "$unit"; then
    fail "the unit does not start $prefix/bin/quorvel"
elif ! command -v systemd-analyze >/dev/null; then
    skip "systemd-analyze not installed: the unit is not verified"
else
    mkdir -p "$tmp/unit"
    sed "s|^ExecStart=$prefix/bin/|ExecStart=$root/bin/|" "$unit" >"$tmp/unit/quorvel.service"
    if ! out=$(MANPATH="$root/share/man:" systemd-analyze verify "$tmp/unit/quorvel.service" 2>&1) ||
        [ -n "$out" ]; then
        fail "systemd-analyze verify: $out"
    fi
    out=$(systemd-analyze security --offline=true "$tmp/unit/quorvel.service" 2>&1)
    level=$(sed -n 's/.*Overall exposure level for quorvel.service: \([0-9.]*\).*/\1/p' <<<"$out")
    if [ -z "$level" ]; then
        skip "systemd-analyze security gave no figure: ${out##*$'\n'}"
    else
        echo "systemd-analyze security: exposure $level"
        awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }' || fail "exposure $level is above 2.0"
    fi
fi
if command -v systemd-sysusers >/dev/null; then
    mkdir -p "$tmp/sysroot/etc"
    out=$(systemd-sysusers --dry-run --root="$tmp/sysroot" "$root/lib/sysusers.d/quorvel.conf" 2>&1)
    grep -q "Creating user 'quorvel'" <<<"$out" || fail "sysusers entry: $out"
else
    skip "systemd-sysusers not installed: the sysusers entry is not checked"
fi

# The maintainer scripts as dpkg runs them for another root (dpkg --root with
# --force-script-chrootless): the user, its folders and the service's state land in that
# root, which has no /proc of its own; installing does not enable the service and says how;
# purge removes the folder again. Needs root (the folders change owner).
if [ "$(id -u)" -ne 0 ] || ! command -v deb-systemd-helper >/dev/null; then
    skip "not root or no deb-systemd-helper: the maintainer scripts are not run"
else
    pr="$tmp/dpkgroot"
    mkdir -p "$pr/etc" "$pr/usr/lib/sysusers.d" "$pr/lib/systemd/system"
    printf 'root:x:0:0:root:/root:/bin/sh\n' >"$pr/etc/passwd"
    printf 'root:x:0:\ndialout:x:20:\n' >"$pr/etc/group"
    cp "$src/packaging/quorvel.sysusers" "$pr/usr/lib/sysusers.d/quorvel.conf"
    cp "$src/packaging/quorvel.service" "$pr/lib/systemd/system/"
    run_script() {
        DPKG_ROOT="$pr" DPKG_MAINTSCRIPT_PACKAGE=quorvel DPKG_MAINTSCRIPT_NAME="$1" \
            sh "$src/packaging/debian/quorvel.$1" "$2"
    }
    out=$(run_script postinst configure 2>&1) || fail "postinst configure failed: $out"
    grep -q '^quorvel:' "$pr/etc/passwd" || fail "postinst made no user quorvel in the root"
    grep -q '^dialout:.*quorvel' "$pr/etc/group" || fail "postinst did not put quorvel in dialout"
    uid=$(awk -F: '$1 == "quorvel" { print $3 }' "$pr/etc/passwd")
    for d in /var/lib/quorvel /var/lib/quorvel/Config /var/lib/quorvel/Data; do
        [ "$(stat -c '%u %a' "$pr$d" 2>/dev/null)" = "$uid 750" ] || fail "postinst: $d is not the user's (mode 750)"
    done
    [ ! -e "$pr/etc/systemd/system/multi-user.target.wants/quorvel.service" ] || fail "postinst enabled the service"
    grep -q 'systemctl enable --now quorvel' <<<"$out" || fail "postinst does not say how to start the service: $out"
    out=$(run_script postrm purge 2>&1) || fail "postrm purge failed: $out"
    [ ! -e "$pr/var/lib/quorvel" ] || fail "postrm purge left /var/lib/quorvel"
fi

# Example settings: every key, and xAP kept on loopback.
examples="$root/share/doc/quorvel/examples"
for key in ComPort House Ignore Debug UID BSC Broker Discovery; do
    grep -q "^$key=" "$examples/Quorvel.ini" || fail "example Quorvel.ini lacks $key"
done
for key in BroadcastAddress InterfaceAddress; do
    grep -q "^$key=" "$examples/zebXap.ini" || fail "example zebXap.ini lacks $key"
done
grep -q '^BroadcastAddress=127\.' "$examples/zebXap.ini" ||
    fail "example zebXap.ini sends off loopback"

# Desktop entries (validated in every variant; installed in the desktop one).
if command -v desktop-file-validate >/dev/null; then
    for f in "$build"/packaging/*.desktop; do
        if ! out=$(desktop-file-validate "$f" 2>&1) || [ -n "$out" ]; then fail "$(basename "$f"): $out"; fi
    done
else
    skip "desktop-file-validate not installed: desktop entries not validated"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "install checks passed"
