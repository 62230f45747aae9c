#!/usr/bin/env bash
# Makes an arm64 Debian root that runs under qemu-user emulation on an x86-64
# machine, for the aarch64 wheel's tests: registers qemu-aarch64 with
# binfmt_misc (once per boot) and, unless ROOT already holds one, builds the
# root with mmdebstrap (about 3 minutes; Debian's own packages: Python, pytest,
# numpy, binutils for the disassembly check). Needs root.
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
if [ ! -x "$root/usr/bin/python3" ]; then
  echo "arm64_root: building an arm64 Debian root in $root"
  rm -rf "$root.tmp"
  start=$SECONDS
  mmdebstrap --quiet --arch=arm64 --variant=apt \
    --include=python3,python3-venv,python3-pytest,python3-numpy,binutils bookworm "$root.tmp"
  mv "$root.tmp" "$root"
  echo "arm64_root: built in $((SECONDS - start)) s"
fi
