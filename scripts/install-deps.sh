#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
    build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev \
    libgtest-dev libgmock-dev libbenchmark-dev libmimalloc-dev libx11-dev libxrandr-dev \
    libcurl4-openssl-dev libssl-dev zlib1g-dev libminizip-dev libzstd-dev liblz4-dev libuv1-dev \
    libcpp-httplib-dev libdw-dev libgtk-3-dev libglib2.0-dev-bin librsvg2-common \
    python3 zip unzip curl time bc openssl ca-certificates xvfb xauth xdotool imagemagick lldb fonts-noto-cjk fonts-thai-tlwg >/dev/null
