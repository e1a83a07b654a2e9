#!/usr/bin/env bash
# Installs what the tests need and runs every test: the check of the generated coefficient tables,
# the C++ kernel tests (with GCC, with clang, then under AddressSanitizer and UndefinedBehaviorSanitizer)
# and the Python tests against the installed package. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n== %s\n' "$*"; }

step "system packages"
# GoogleTest for the kernel tests, pkg-config for the C library's test, clang for the second compiler.
if ! pkg-config --exists gtest_main 2>/dev/null || ! command -v clang++ >/dev/null; then
    sudo=$([ "$(id -u)" -eq 0 ] || echo sudo)
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev pkg-config clang
fi

step "Python test requirements and the package"
python -m pip install -q -r requirements-test.txt
python -m pip install -q .

step "generated coefficient tables are up to date"
python tools/fit_coefficients.py --check

# Configure a kernel-test build directory once; later runs only rebuild what changed.
kernel_build() {
    local dir=$1
    shift
    [ -f "$dir/build.ninja" ] || meson setup "$dir" -Dpython_modules=false -Dkernel_tests=true "$@"
    meson test -C "$dir" --print-errorlogs
}

step "C++ kernel tests"
kernel_build build/kernel-tests

step "C++ kernel tests built with clang"
CXX=clang++ kernel_build build/kernel-tests-clang

step "C++ kernel tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# GCC leaves float-to-int conversions out of -fsanitize=undefined; the random-pattern sweep relies on
# them being checked, since every table row index is such a conversion.
kernel_build build/kernel-tests-sanitized --buildtype=debugoptimized \
    -Db_sanitize=address,undefined -Db_lundef=false \
    "-Dcpp_args=-fno-sanitize-recover=all -fsanitize=float-cast-overflow"

step "Python tests"
# The sources live under src/, so the tests import the package just installed.
python -m pytest
