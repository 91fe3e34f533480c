#!/usr/bin/env bash
# Installs the Debian packages that a level needs, when missing. Safe to run
# again: it installs nothing and changes nothing when everything is present.
# Usage: scripts/setup.sh [run|test]
#   run    building and running the server
#   test   that, plus the tests, checks and packaging, and the Kubernetes schema
#          validator (npm) into build/npm (the default)
set -euo pipefail
npm_dir="$(cd "$(dirname "$0")/.." && pwd)/build/npm"
level=${1:-test}
case $level in
  run | test) ;;
  *)
    echo "usage: scripts/setup.sh [run|test]" >&2
    exit 2
    ;;
esac

packages=(
  cmake ninja-build g++ pkg-config # the build
  libmicrohttpd-dev                # the admin listener's HTTP server
)
if [ "$level" = test ]; then
  packages+=(
    libgtest-dev googletest     # the tests (GoogleTest is built from source)
    clang libclang-rt-14-dev    # sanitizer and fuzzing builds with clang
    clang-format clang-tidy     # the format check and static analysis in CI
    man-db                      # rendering the manual pages in a test
    prometheus                  # promtool and a real scraper for the admin tests
    buildah                     # the container image (scripts/container.sh) and its test
    nginx libnginx-mod-stream   # an upstream that reads the PROXY protocol, in the tests
    haproxy                     # a balancer that sends it, in the tests
    iproute2 nftables           # network namespaces and policy routing for transparent routes
  )
  # Node.js may come from elsewhere with its own npm; Debian's would clash with it.
  if ! command -v npm >/dev/null 2>&1; then
    packages+=(nodejs npm)
  fi
fi
# The tests start their own instances of these; the packages' services must never run.
daemons=(nginx haproxy prometheus)

# The manifest test's validator, offline once installed; the test skips without it.
install_validator() {
  if [ -d "$npm_dir/node_modules/kubernetes-models" ] && [ -d "$npm_dir/node_modules/yaml" ]; then
    return 0
  fi
  if ! command -v npm >/dev/null 2>&1 || ! mkdir -p "$npm_dir" ||
    ! npm install --prefix "$npm_dir" --no-audit --no-fund --silent \
      kubernetes-models@4.5.1 yaml@2.9.1 >&2; then
    echo "setup: could not install the Kubernetes validator into $npm_dir" >&2
  fi
}

# While apt runs, a policy-rc.d that refuses keeps the packages' services from
# starting. One already in place is the host's own and stays as it is.
policy=/usr/sbin/policy-rc.d
hold_services() {
  [ -e "$policy" ] && return 0
  trap 'rm -f "$policy"' EXIT
  trap 'exit 130' INT TERM
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
}

# systemd would still start them at boot, or now if the host's policy allows it.
mask_services() {
  [ -d /run/systemd/system ] || return 0
  local units=() package daemon
  for package in "$@"; do
    for daemon in "${daemons[@]}"; do
      if [ "$package" = "$daemon" ]; then
        units+=("$daemon.service")
      fi
    done
  done
  if [ ${#units[@]} -gt 0 ]; then
    systemctl mask --now --quiet "${units[@]}"
  fi
}

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  :
elif [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
  echo "setup: missing packages (install them yourself): ${missing[*]}" >&2
else
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  hold_services
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
  mask_services "${missing[@]}"
fi
if [ "$level" = test ]; then
  install_validator
fi
