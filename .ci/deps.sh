#!/usr/bin/env bash
# What a fresh machine lacks for the build and the tests: GoogleTest, a C++ compiler and the
# build tools. Quiet and quick when everything is there already.
set -euo pipefail

need_apt=()
[[ -f /usr/include/gtest/gtest.h ]] || need_apt+=(libgtest-dev)
command -v g++ >/dev/null || need_apt+=(g++)
command -v debootstrap >/dev/null || [[ -x /usr/sbin/debootstrap ]] || need_apt+=(debootstrap)
# headless, for the test that screenshots the page of `check --html`
command -v chromium >/dev/null || need_apt+=(chromium)
if ((${#need_apt[@]})); then
    echo "installing ${need_apt[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

need_pip=()
command -v cmake >/dev/null || need_pip+=(cmake)
command -v ninja >/dev/null || need_pip+=(ninja)
if ((${#need_pip[@]})); then
    echo "installing ${need_pip[*]} with pip"
    python3 -m pip install -q "${need_pip[@]}"
fi
echo "g++ $(g++ -dumpversion), $(cmake --version | head -1), ninja $(ninja --version)"
