#!/bin/sh
# Installs what building, running and testing the console needs on Debian 12.
# Safe to run again: apt-get skips what is already there.
set -e
if [ "$(id -u)" -ne 0 ]; then
    echo "run as root (or through sudo): it installs Debian packages" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# The build and its checks, clang-format for the committed style; the
# bridge's web remote, its QR code and the browser that tests the page; the
# fleet's MQTT client library, and a broker, its clients and openssl for the
# fleet's tests.
apt-get install -y -qq --no-install-recommends \
    cmake g++ make pkg-config python3 clang-format \
    qt6-base-dev qt6-serialport-dev qt6-tools-dev qt6-l10n-tools qt6-tools-dev-tools \
    systemd libgl-dev libx11-dev xvfb xauth x11-utils xdotool imagemagick desktop-file-utils dbus-daemon \
    dpkg-dev file lintian help2man bash-completion netcat-openbsd \
    qt6-httpserver-dev qt6-websockets-dev libqrencode-dev chromium chromium-driver python3-selenium \
    libmosquitto-dev mosquitto mosquitto-clients openssl >/dev/null
