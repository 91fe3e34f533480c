#!/usr/bin/env bash
# Builds an OCI image of the server with buildah, pulling nothing from any
# registry: a root made from the Debian package's files, exactly the shared
# libraries its programs need (as the dynamic linker resolves them) with the
# dynamic loader, a shell and sleep for the drain and reload hooks (kill is the
# shell's own), and a non-root user (uid and gid 10001). The configuration
# is /etc/tarnwicket/server.ini, to be replaced by a mount. The stop signal is
# SIGQUIT, so that `podman stop` drains: give it a time-out above
# drain_timeout_ms (`podman stop --time 45`). Prints the image's
# name on standard output; everything else goes to standard error.
# Usage: scripts/container.sh [DEB [IMAGE]]
#   DEB    the package (default: built now by scripts/package.sh)
#   IMAGE  default localhost/tarnwicket:VERSION
# Images live in buildah's vfs storage; `podman` or `buildah push` takes them on.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh >&2
deb=${1:-$(scripts/package.sh)}
image=${2:-localhost/tarnwicket:$(dpkg-deb -f "$deb" Version)}
buildah=(buildah --storage-driver vfs)
export BUILDAH_ISOLATION=chroot  # this host cannot run a container runtime

work=$(mktemp -d)
container=
cleanup() {
  if [ -n "$container" ]; then "${buildah[@]}" rm "$container" >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

root=$work/root
dpkg-deb -x "$deb" "$root"
# What only a host installation uses: the library for building, the unit, the manual.
rm -rf "$root/usr/include" "$root/usr/lib" "$root/lib/systemd" "$root/usr/share/man"

mkdir -p "$root/bin"
cp --dereference /bin/sh /bin/sleep "$root/bin/"

# The admin listener's HTTP library, which the server loads only when the
# listener starts: not among what ldd lists for it.
http=$(ldconfig -p | awk '$1 ~ /^libmicrohttpd[.]so[.][0-9]+$/ { print $NF; exit }')
[ -n "$http" ] || { echo "container.sh: the HTTP library libmicrohttpd is not installed" >&2; exit 1; }

# Every library the programs load, the loader included, where it was found.
for program in "$root"/usr/bin/* "$root"/bin/* "$http"; do
  ldd "$program" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'
done | { cat; echo "$http"; } | sort -u | while read -r library; do
  cp --dereference --parents "$library" "$root"
done

mkdir -p "$root/var/lib/tarnwicket" "$root/tmp"
chmod 1777 "$root/tmp"
printf 'root:x:0:0:root:/root:/sbin/nologin\ntarnwicket:x:10001:10001:tarnwicket:/var/lib/tarnwicket:/sbin/nologin\n' \
  >"$root/etc/passwd"
printf 'root:x:0:\ntarnwicket:x:10001:\n' >"$root/etc/group"

container=$("${buildah[@]}" from scratch)
"${buildah[@]}" add "$container" "$root" / >&2
"${buildah[@]}" config \
  --entrypoint '["/usr/bin/tarnwicket-server", "--config", "/etc/tarnwicket/server.ini"]' \
  --cmd '' \
  --user 10001:10001 \
  --workingdir /var/lib/tarnwicket \
  --stop-signal SIGQUIT \
  --port 7000/tcp --port 7000/udp \
  --label org.opencontainers.image.title=tarnwicket \
  --label org.opencontainers.image.licenses=Apache-2.0 \
  "$container" >&2
# A rebuild under the same name drops the image it replaces, unless in use.
previous=$("${buildah[@]}" images --quiet --no-trunc "$image" 2>/dev/null || true)
"${buildah[@]}" commit --quiet "$container" "$image" >&2
current=$("${buildah[@]}" images --quiet --no-trunc "$image")
if [ -n "$previous" ] && [ "$previous" != "$current" ]; then
  "${buildah[@]}" rmi "$previous" >/dev/null 2>&1 || true
fi
echo "$image"
