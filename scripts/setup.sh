#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing,
# and the Kubernetes schema validator (npm) into build/npm. Safe to run again:
# it installs nothing when everything is present.
set -euo pipefail
npm_dir="$(cd "$(dirname "$0")/.." && pwd)/build/npm"

packages=(
  cmake ninja-build g++       # the build
  libgtest-dev googletest     # the tests (GoogleTest is built from source)
  clang libclang-rt-14-dev    # sanitizer and fuzzing builds with clang
  clang-format clang-tidy     # the format check and static analysis in CI
  man-db                      # rendering the manual pages in a test
  libmicrohttpd-dev           # the admin listener's HTTP server
  prometheus                  # promtool and a real scraper for the admin tests
  buildah                     # the container image (scripts/container.sh) and its test
  nginx libnginx-mod-stream   # an upstream that reads the PROXY protocol, in the tests
  haproxy                     # a balancer that sends it, in the tests
)
# Node.js may come from elsewhere with its own npm; Debian's would clash with it.
if ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

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
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
install_validator
