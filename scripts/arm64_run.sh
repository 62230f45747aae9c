#!/usr/bin/env bash
# Runs a command inside the arm64 Debian root (scripts/arm64_root.sh) under
# qemu-user emulation, in a mount namespace of its own: /proc and /dev/pts mounted, the
# repository at /repo and shared/ at /shared, read-only, and each --bind DIR at
# the same path inside. The mounts end with the command; nothing stays behind.
#
#   scripts/arm64_run.sh ROOT [--bind DIR]... -- COMMAND [ARG]...
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
root=$(cd "$1" && pwd); shift
binds=()
while [ "${1:-}" = --bind ]; do binds+=("$(cd "$2" && pwd)"); shift 2; done
[ "${1:-}" = -- ] && shift
exec unshare --mount --propagation private -- bash -euc '
  root=$1 repo=$2 nbinds=$3; shift 3
  mount -t proc proc "$root/proc"
  # Terminals of its own, for the tests that draw on one.
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
  mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
  ro() { mkdir -p "$root$2"; mount --bind "$1" "$root$2"; mount -o remount,bind,ro "$root$2"; }
  ro "$repo" /repo
  [ -d "$repo/../shared" ] && ro "$repo/../shared" /shared
  for ((i = 0; i < nbinds; i++)); do mkdir -p "$root$1"; mount --bind "$1" "$root$1"; shift; done
  exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    ORVELLE_SHARED_DIR=/shared "$@"
' arm64_run "$root" "$repo" "${#binds[@]}" "${binds[@]}" "$@"
