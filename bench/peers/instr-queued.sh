#!/usr/bin/env bash
# Instructions per echoed message with queued writes against direct writes:
# the peers kit's vor_epoll beside vor_epoll_queued (this folder), both built
# in one copy of the kit against the installed library, counted by the
# kit's instr.sh.
#
#   cmake --install build/default --prefix build/prefix
#   VOR_PREFIX=$PWD/build/prefix bench/peers/instr-queued.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kit=${PEERS_KIT:-$here/../../../shared/peers}
work=${BUILD_DIR:-/tmp/peers-queued}
: "${VOR_PREFIX:?the install prefix of the library to measure}"
rm -rf "$work/kit"
mkdir -p "$work"
cp -r "$kit" "$work/kit"
cp "$here/vor_epoll_queued.cpp" "$work/kit/servers/"
cmake -S "$work/kit" -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work" --target echo_load vor_epoll vor_epoll_queued >/dev/null
BUILD_DIR=$work SERVERS="vor_epoll vor_epoll_queued" CONNS=${CONNS:-10} "$work/kit/instr.sh"
