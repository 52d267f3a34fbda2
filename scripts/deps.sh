#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; runs apt-get update
# only when something is missing.
set -euo pipefail
# "deps.sh tests" adds what the tests of framed windows need: a virtual X server and a
# window manager (test.sh asks for them). "deps.sh desktop" adds those and what trying
# the windows by hand needs: xdotool and a screenshot tool.
desktop=()
case "${1:-}" in
  tests) desktop=(xvfb openbox) ;;
  desktop) desktop=(xvfb openbox xdotool imagemagick) ;;
esac
pkgs=(cmake ninja-build g++ pkg-config libsimdjson-dev libgtest-dev libgmock-dev
      libbenchmark-dev libutf8proc-dev qt6-base-dev qt6-qpa-plugins libplist-dev libnetfilter-queue-dev
      nftables iproute2 procps coreutils fonts-noto-color-emoji
      clang llvm libbpf-dev bpftool libelf-dev zlib1g-dev)
missing=()
for p in "${pkgs[@]}" "${desktop[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
