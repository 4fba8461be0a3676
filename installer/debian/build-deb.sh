#!/bin/bash
# Makes the Debian package of the Linux agent from a build tree:
#
#   build-deb.sh BUILD_DIR VERSION OUTPUT_DIR
#
# installs the component "linux_agent" of BUILD_DIR (bxhvns, bxhvnsctl, the
# logging library) below /usr of a staging folder, adds the systemd unit, the
# settings template, the maintainer scripts and the control file, and builds
# OUTPUT_DIR/bxhvns_VERSION_amd64.deb with dpkg-deb (files owned by root).
set -euo pipefail
build=$1 version=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
stage="$build/deb-stage"
rm -rf "$stage"
mkdir -p "$stage/DEBIAN" "$out"
DESTDIR="$stage" cmake --install "$build" --component linux_agent --prefix /usr --strip >/dev/null
install -D -m 0644 "$here/bxhvns.service" "$stage/lib/systemd/system/bxhvns.service"
install -D -m 0600 "$here/agent.conf" "$stage/etc/bxhvns/agent.conf"
chmod 0700 "$stage/etc/bxhvns"
install -D -m 0644 "$here/copyright" "$stage/usr/share/doc/bxhvns/copyright"
# The README's Linux section, as the package's documentation.
sed -n '/^## Linux hosts/,/^## [^L]/p' "$root/README.md" | sed '$d' >"$stage/usr/share/doc/bxhvns/README.Linux"
chmod 0644 "$stage/usr/share/doc/bxhvns/README.Linux"
for script in postinst prerm postrm; do
  install -m 0755 "$here/$script" "$stage/DEBIAN/$script"
done
echo /etc/bxhvns/agent.conf >"$stage/DEBIAN/conffiles"
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$size/" "$here/control.in" >"$stage/DEBIAN/control"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$out/bxhvns_${version}_amd64.deb" >/dev/null
echo "$out/bxhvns_${version}_amd64.deb"
