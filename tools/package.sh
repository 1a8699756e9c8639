#!/bin/sh
# Installs what is missing and builds the Debian package build-deb/kavosen_<version>_<arch>.deb
# from this tree, compiled with Debian's own hardening flags.
set -e
cd "$(dirname "$0")/.."
tools/deps.sh
# The folders the package makes take their modes from the staged install, so from the umask.
umask 022

# The None build type adds no flags of its own to Debian's. Its debugging information is
# stripped from the packaged program.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=None -DKAVOSEN_TESTS=OFF -DKAVOSEN_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake --build build-deb -j"$(nproc)"
cpack --config build-deb/CPackConfig.cmake -B build-deb
