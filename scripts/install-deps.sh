#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running the console need.
# Does nothing (and needs no network) when they are all present already.
set -euo pipefail

packages=(build-essential make cmake ninja-build pkg-config qt6-base-dev qt6-qpa-plugins
          libgtest-dev libgmock-dev xvfb xauth fonts-dejavu-core
          # the engine library: sockets and TLS, DNS, MIME
          libasio-dev libssl-dev libc-ares-dev libgmime-3.0-dev
          # DKIM signing and verifying
          libopendkim-dev
          # test peers nobody here wrote, and a desktop with a tray for the process tests
          python3 python3-aiosmtpd python3-dkim swaks libnet-ssleay-perl dnsmasq-base iproute2 openssl haproxy
          openbox trayer xdotool x11-utils desktop-file-utils
          # DMARC: organizational domains from the Public Suffix List, gzip of the aggregate reports,
          # and the schema check of those reports in the tests
          libpsl-dev publicsuffix zlib1g-dev libxml2-utils
          # make package: dependencies of the .deb found by dpkg-shlibdeps
          dpkg-dev file
          # the package test: the .deb checked as Debian checks packages
          lintian
          # the fuzz targets' compiler and its libFuzzer runtime (scripts/fuzz.sh)
          clang libclang-rt-dev
          # a TLS scanner for checking the STARTTLS port by hand (not part of the tests)
          testssl.sh)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: not root and no sudo: install these packages as root first: ${missing[*]}" >&2
    exit 1
  fi
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
