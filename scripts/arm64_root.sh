#!/usr/bin/env bash
# Makes an arm64 Debian root that runs under qemu-user emulation on an x86-64
# machine, for the aarch64 wheel's tests: registers qemu-aarch64 with
# binfmt_misc (once per boot) and, unless ROOT already holds one, unpacks
# Debian's own packages into it with mmdebstrap (Python, pip, pytest, numpy,
# binutils for the disassembly check). The packages are unpacked, not
# installed: their scripts would run under emulation (minutes); the two links
# numpy's BLAS and LAPACK get from them are made here. About 15 s. Needs root.
#
#   scripts/arm64_root.sh ROOT
set -euo pipefail
root=$1
if [ "$(id -u)" != 0 ]; then
  echo "arm64_root: needs root (binfmt_misc, mmdebstrap, chroot)" >&2
  exit 1
fi
need=()
command -v mmdebstrap >/dev/null || need+=(mmdebstrap)
[ -e /usr/lib/binfmt.d/qemu-aarch64.conf ] || need+=(qemu-user-static)
if [ ${#need[@]} -gt 0 ]; then
  echo "arm64_root: installing ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
bm=/proc/sys/fs/binfmt_misc
[ -e $bm/register ] || mount -t binfmt_misc binfmt_misc $bm
# The F flag opens the emulator now, so it runs inside the root as well.
[ -e $bm/qemu-aarch64 ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >$bm/register
# A root made from another list is made anew.
made="bookworm extract dash,coreutils,python3,python3-pip,python3-pytest,python3-numpy,binutils"
if [ "$(cat "$root/.made" 2>/dev/null)" != "$made" ]; then
  echo "arm64_root: unpacking an arm64 Debian root into $root"
  rm -rf "$root" "$root.tmp"
  start=$SECONDS
  read -r suite variant packages <<<"$made"
  mmdebstrap --quiet --arch=arm64 --variant="$variant" --include="$packages" "$suite" "$root.tmp"
  lib=$root.tmp/usr/lib/aarch64-linux-gnu
  ln -s blas/libblas.so.3 "$lib/libblas.so.3"
  ln -s lapack/liblapack.so.3 "$lib/liblapack.so.3"
  mkdir -p "$root.tmp/proc"
  echo "$made" >"$root.tmp/.made"
  mv "$root.tmp" "$root"
  echo "arm64_root: unpacked in $((SECONDS - start)) s"
fi
