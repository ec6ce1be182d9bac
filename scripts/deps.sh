#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the tool need, when some are missing.
# Usage: scripts/deps.sh [build|test|format|app|bench|fuzz|package|all]...   (default: all)
set -euo pipefail

want=(build-essential cmake ninja-build pkg-config libxml2-dev googletest libgtest-dev python3)
for what in "${@:-all}"; do
  case "$what" in
    build|test) ;;
    format) want+=(clang-format) ;;
    app) want+=(libwxgtk3.2-dev libgtk-3-dev xvfb xauth x11-apps x11-utils xdotool imagemagick python3) ;;
    bench) want+=(libbenchmark-dev libspdlog-dev libgcrypt20-dev) ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    package) want+=(dpkg-dev) ;;
    all) want+=(libwxgtk3.2-dev libgtk-3-dev xvfb xauth libbenchmark-dev libspdlog-dev libgcrypt20-dev dpkg-dev) ;;
    *) echo "deps.sh: unknown group '$what'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
