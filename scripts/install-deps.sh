#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when missing.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix
          wine64 msitools wixl gcab python3 libgtest-dev googletest libbenchmark-dev chromium)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The authoring kit's command on PATH, pointing at this checkout.
kit="$(cd "$(dirname "$0")/.." && pwd)/authoring/bin/driverdeploy"
link=/usr/local/bin/driverdeploy
if [ "$(readlink "$link" 2>/dev/null)" != "$kit" ]; then
    echo "linking $link -> $kit"
    sudo_cmd=()
    [ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" ln -sfn "$kit" "$link"
fi
