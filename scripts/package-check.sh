#!/usr/bin/env bash
# Installs the packages made by scripts/package.sh into a fresh minimal Debian 12 root, as an
# administrator would (apt install ./file.deb), and checks what happens:
#   quorvel          installs in a root without /proc, makes its user and folder, leaves the
#                    service disabled and says how to start it; the connector then starts
#                    (as the service user, on the CM11A simulator), reloads and stops
#   quorvel-desktop  installs on top of it; removing and purging it keeps the service's data
#   quorvel-dbgsym   installs, and dpkg --verify sees a changed debug file
#   then quorvel is removed (settings kept), purged (folder gone) and installed again.
# Prints what each package pulls in (packages, download, disk). There is no systemd running
# in the root: the service itself is not started, the connector is run as the unit runs it.
#
#   scripts/package-check.sh [PACKAGE_DIR]     (default build-pkg/packages)
# Needs root (chroot) and mmdebstrap (installed when missing) and reaches the Debian mirror.
# The minimal root is made once and kept as build-pkg/bookworm-minbase.tar. Exit status 1
# when a check fails.
set -uo pipefail
cd "$(dirname "$0")/.."
pkgdir=$(realpath "${1:-build-pkg/packages}")
[ "$(id -u)" -eq 0 ] || { echo "package-check: needs root (chroot)" >&2; exit 1; }
deb() { find "$pkgdir" -maxdepth 1 -name "$1_*.$2" | head -n 1; }
server=$(deb quorvel deb) desktop=$(deb quorvel-desktop deb) dbgsym=$(deb quorvel-dbgsym ddeb)
[ -n "$server" ] && [ -n "$desktop" ] || { echo "package-check: no packages in $pkgdir" >&2; exit 1; }

if ! command -v mmdebstrap >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null
fi
base=build-pkg/bookworm-minbase.tar
if [ ! -s "$base" ]; then
    echo "package-check: making a minimal Debian 12 root ($base)"
    mkdir -p build-pkg
    mmdebstrap --quiet --variant=minbase bookworm "$base.part" || exit 1
    mv "$base.part" "$base"
fi

root=$(mktemp -d /tmp/quorvel-root.XXXXXX)
cleanup() {
    umount "$root/proc" 2>/dev/null
    rm -rf "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$base"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$server" "$desktop" "$root/tmp/"
[ -n "$dbgsym" ] && cp "$dbgsym" "$root/tmp/"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }
# apt's figures for what an install pulls in: packages, download, disk.
apt_figures() {
    printf '%s; %s; %s' "$(grep -Eo '[0-9]+ newly installed' <<<"$1")" \
        "$(grep -Eo 'Need to get [^ ]+ [kMG]?B' <<<"$1" | sed 's/Need to get/download/')" \
        "$(grep -Eo 'After this operation, [^ ]+ [kMG]?B' <<<"$1" | sed 's/After this operation,/disk/')"
}
# apt as the README says (without the dependencies' recommendations, which a connector does
# not use); what apt's default would pull in is shown beside it.
apt_install() {
    local label=$1 out
    shift
    printf '%-16s with recommendations: %s\n' "$label" "$(apt_figures "$(in_root apt-get install --assume-no "$@" 2>&1)")"
    out=$(in_root apt-get install -y --no-install-recommends "$@" 2>&1) ||
        { echo "$out"; fail "apt-get install $label failed"; return 1; }
    printf '%s\n' "$out" >"$root/tmp/apt-$label.log"
    printf '%-16s installed:            %s\n' "$label" "$(apt_figures "$out")"
}
# The owner of a file in the root, by the root's own user names.
owner() {
    local uid
    uid=$(stat -c '%u' "$root$1" 2>/dev/null) || return 0
    awk -F: -v u="$uid" '$3 == u { print $1; exit }' "$root/etc/passwd"
}

in_root apt-get update -qq || fail "apt-get update in the root failed"
[ -e "$root/proc/self" ] && fail "the root has /proc mounted: the check needs a root without it"

echo "== quorvel"
apt_install quorvel "/tmp/$(basename "$server")"
grep -q '^quorvel:' "$root/etc/passwd" || fail "no user quorvel"
grep -q '^dialout:.*quorvel' "$root/etc/group" || fail "quorvel is not in dialout"
for d in /var/lib/quorvel /var/lib/quorvel/Config /var/lib/quorvel/Data; do
    [ "$(owner "$d") $(stat -c '%a' "$root$d" 2>/dev/null)" = "quorvel 750" ] || fail "$d is not quorvel's (mode 750)"
done
[ -e "$root/etc/systemd/system/multi-user.target.wants/quorvel.service" ] && fail "installing enabled the service"
grep -q 'systemctl enable --now quorvel' "$root/tmp/apt-quorvel.log" ||
    fail "installing does not say how to start the service"
grep -qi 'home.*does not exist' "$root/tmp/apt-quorvel.log" && fail "adduser warned about the home folder"
if in_root dpkg-query -W -f='${Package}\n' | grep -Eq '^(libqt6gui6|libqt6widgets6|libx11-6|libgl1)$'; then
    fail "quorvel pulled in a desktop library"
fi
[ "$(in_root quorvel --version)" = "quorvel $(dpkg-deb -f "$server" Version) (desktop)" ] ||
    fail "quorvel --version: $(in_root quorvel --version 2>&1)"
for tool in cm11a-sim xap-hub xap-send; do
    in_root "quorvel-$tool" --version | grep -q "^quorvel-$tool " || fail "quorvel-$tool --version"
done

# The connector as the unit runs it (its user and folder, headless), on the simulator, in a
# network namespace of its own (only loopback) so that nothing reaches another xAP network.
echo "== start, reload, stop (as the service user, on the CM11A simulator)"
mount -t proc proc "$root/proc"
cat >"$root/tmp/run.sh" <<'EOF'
set -u
cd /tmp
quorvel-cm11a-sim --tcp-port 0 >sim.out 2>&1 &
sim=$!
for _ in $(seq 100); do grep -q ready sim.out && break; sleep 0.1; done
tcp=$(sed -n 's/.* tcp=\([^ ]*\).*/\1/p' sim.out)
ini=/var/lib/quorvel/Config
runuser -u quorvel -- sh -c "printf '[General]\r\nComPort=$tcp\r\n' >$ini/Quorvel.ini"
runuser -u quorvel -- sh -c "printf '[Interface]\r\nBroadcastAddress=127.255.255.255\r\n' >$ini/zebXap.ini"
runuser -u quorvel -- quorvel --app-folder /var/lib/quorvel --check-config >check.out 2>&1
echo "check-config exit $?"
setpriv --reuid=quorvel --regid=quorvel --init-groups quorvel --headless --app-folder /var/lib/quorvel \
    >run.out 2>&1 &
pid=$!
for _ in $(seq 300); do grep -q 'Using xAP port' run.out 2>/dev/null && break; sleep 0.1; done
kill -HUP "$pid"
for _ in $(seq 100); do grep -q 'settings reloaded' run.out && break; sleep 0.1; done
kill -TERM "$pid"
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
wait "$pid" 2>/dev/null
echo "connector exit $?"
kill "$sim"
wait "$sim" 2>/dev/null
EOF
out=$(unshare --net sh -c 'ip link set lo up && exec chroot "$0" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LC_ALL=C.UTF-8 sh /tmp/run.sh' "$root" 2>&1)
umount "$root/proc"
grep -q 'check-config exit 0' <<<"$out" || fail "check-config: $out $(cat "$root/tmp/check.out")"
grep -q 'connector exit 0' <<<"$out" || fail "the connector did not stop with 0: $out $(cat "$root/tmp/run.out")"
for line in 'Using xAP port' 'settings reloaded' 'Stopping: signal SIGTERM'; do
    grep -q "$line" "$root/tmp/run.out" || fail "the run did not report '$line': $(cat "$root/tmp/run.out")"
done
grep -q 'OpenPort\|Unable to connect' "$root/tmp/run.out" && fail "the CM11A link failed: $(cat "$root/tmp/run.out")"

echo "== quorvel-desktop"
apt_install quorvel-desktop "/tmp/$(basename "$desktop")"
[ -s "$root/usr/lib/quorvel/libquorvel_desktop.so" ] || fail "no desktop module"
[ -s "$root/etc/xdg/autostart/quorvel.desktop" ] || fail "no autostart entry"
in_root apt-get purge -y -qq quorvel-desktop >/dev/null 2>&1 || fail "purging quorvel-desktop failed"
[ -s "$root/var/lib/quorvel/Config/Quorvel.ini" ] || fail "purging quorvel-desktop removed the service's settings"

if [ -n "$dbgsym" ]; then
    echo "== quorvel-dbgsym"
    in_root dpkg -i "/tmp/$(basename "$dbgsym")" >/dev/null 2>&1 || fail "dpkg -i quorvel-dbgsym failed"
    [ -z "$(in_root dpkg --verify quorvel-dbgsym)" ] || fail "dpkg --verify quorvel-dbgsym finds changes in a fresh install"
    f=$(find "$root/usr/lib/debug" -name '*.debug' | head -n 1)
    printf 'x' >>"$f"
    [ -n "$(in_root dpkg --verify quorvel-dbgsym)" ] || fail "dpkg --verify does not see a changed debug file"
    in_root dpkg --purge quorvel-dbgsym >/dev/null 2>&1 || fail "purging quorvel-dbgsym failed"
fi

echo "== remove, purge, reinstall"
in_root apt-get remove -y -qq quorvel >/dev/null 2>&1 || fail "removing quorvel failed"
[ -s "$root/var/lib/quorvel/Config/Quorvel.ini" ] || fail "removing quorvel deleted the settings"
in_root apt-get purge -y -qq quorvel >/dev/null 2>&1 || fail "purging quorvel failed"
[ -e "$root/var/lib/quorvel" ] && fail "purging quorvel left /var/lib/quorvel"
apt_install quorvel-again "/tmp/$(basename "$server")" >/dev/null
[ "$(owner /var/lib/quorvel/Data)" = quorvel ] || fail "reinstalling made no folder"

if [ "$failures" -ne 0 ]; then
    echo "package-check: $failures check(s) failed"
    exit 1
fi
echo "package-check: passed"
