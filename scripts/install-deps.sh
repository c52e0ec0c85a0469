#!/usr/bin/env bash
# Installs what the builds and tests need and the machine lacks (Debian).
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have g++ || need+=(g++)
have python3 || need+=(python3)
have i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686)
have x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64)
[ -x /usr/lib/wine/wine64 ] || need+=(wine wine64)
# The shipping 32-bit build runs its tests under Debian's 32-bit Wine, a
# package of the i386 architecture.
[ -x /usr/lib/wine/wine ] || need+=(wine32:i386)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -d /usr/src/googletest/googletest ] || need+=(googletest)
have clang++ || need+=(clang)
have clang-format || need+=(clang-format)
have git || need+=(git)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a \
  >/dev/null 2>&1 || need+=(libclang-rt-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
have strace || need+=(strace)
have curl || need+=(curl)
# netquill-run's real programs, beside curl and python.
have wget || need+=(wget)
have socat || need+=(socat)
have dig || need+=(dnsutils)
# Go programs, which make their system calls themselves (built in the build,
# standard library only).
have go || need+=(golang-go)
# netquill-run's TLS sessions: certificates and a server (openssl), and a
# GnuTLS client.
have openssl || need+=(openssl)
have gnutls-cli || need+=(gnutls-bin)
# bench/startup.sh's arithmetic.
have bc || need+=(bc)
# netquill-run -p attaches to a real server.
have redis-server && have redis-cli || need+=(redis-server)
# netquill-pcap's tests read its captures with tshark (no GUI).
have tshark || need+=(tshark)
have pkg-config || need+=(pkg-config)
have llvm-dlltool && have llvm-readobj || need+=(llvm)
# The emulator that runs the 32-bit DLL, in Debian's own python.
/usr/bin/python3 -c 'import unicorn' >/dev/null 2>&1 || need+=(python3-unicorn)
/usr/bin/python3 -c 'import pefile' >/dev/null 2>&1 || need+=(python3-pefile)

if [ ${#need[@]} -eq 0 ]; then
  echo "install-deps: everything is present"
  exit 0
fi
echo "install-deps: installing ${need[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
case " ${need[*]} " in
  *:i386*) dpkg --print-foreign-architectures | grep -qx i386 ||
             $sudo dpkg --add-architecture i386 ;;
esac
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${need[@]}" >/dev/null
