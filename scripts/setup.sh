#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Safe to run again: it installs nothing when everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++       # the build
  libgtest-dev googletest     # the tests (GoogleTest is built from source)
  clang libclang-rt-14-dev    # sanitizer and fuzzing builds with clang
  clang-format clang-tidy     # the format check and static analysis in CI
  man-db                      # rendering the manual pages in a test
  libcpp-httplib-dev          # the admin listener's HTTP server
  prometheus                  # promtool and a real scraper for the admin tests
  nginx libnginx-mod-stream   # an upstream that reads the PROXY protocol, in the tests
  haproxy                     # a balancer that sends it, in the tests
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
  echo "setup: missing packages (install them yourself): ${missing[*]}" >&2
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
