#!/bin/sh
# Builds the release package in a configured Windows build directory and runs
# the installer test under Wine against it.
#
#   tests/installer/run.sh BUILD_DIR [unittest arguments, e.g. -v]
#
# BUILD_DIR must be configured for the Windows build (the MinGW-w64 toolchain
# file), and makensis and wixl must be on PATH: without them there is no setup
# program or MSI package to test, which is a failure here. Exit status: 0 when every test passed.
set -eu

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [unittest arguments]" >&2
    exit 2
fi
build_dir=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

cmake --build "$build_dir" --target package_release

version=$(sed -n 's/^project(Vantrel VERSION \([0-9]*\)\.\([0-9]*\).*/\1.\2/p' "$source_dir/CMakeLists.txt")
setup="$build_dir/Vantrel-$version-setup.exe"
if [ ! -f "$setup" ]; then
    echo "$0: $setup was not made (is makensis installed?)" >&2
    exit 1
fi

msi="$build_dir/Vantrel-$version-x64.msi"
if [ ! -f "$msi" ]; then
    echo "$0: $msi was not made (is wixl installed?)" >&2
    exit 1
fi

VANTREL_SETUP="$setup"
VANTREL_MSI="$msi"
VANTREL_EXE="$build_dir/Vantrel.exe"
VANTREL_ZIP="$build_dir/Vantrel-$version-win64.zip"
VANTREL_BUILD_DIR="$build_dir"
export VANTREL_SETUP VANTREL_MSI VANTREL_EXE VANTREL_ZIP VANTREL_BUILD_DIR
if [ -f "$source_dir/README.md" ]; then
    VANTREL_README="$source_dir/README.md"
    export VANTREL_README
else
    unset VANTREL_README
fi

exec python3 "$here/test_installer.py" "$@"
