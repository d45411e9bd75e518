#!/usr/bin/env bash
# Runs COMMAND where 32-bit (i386) Linux programs start. Where this kernel starts them, it runs
# COMMAND as it is. Where it cannot ("Exec format error": a kernel built without 32-bit
# support), it runs COMMAND in a user and mount namespace of its own, whose binfmt_misc hands
# every i386 program to qemu-i386 (user-mode emulation); the machine's own settings are not
# touched. KTL_I386_VIA_QEMU=1 takes the second way on any machine.
#
#   scripts/with-i386.sh COMMAND [ARGUMENT...]
#
# It says on standard error which way it took.
set -euo pipefail
if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGUMENT...]" >&2
  exit 64
fi

# The i386 dynamic loader (package libc6-i386) is itself an i386 program.
if [ "${KTL_I386_VIA_QEMU:-0}" != 1 ] && /lib/ld-linux.so.2 --help >/dev/null 2>&1; then
  echo "with-i386: this kernel starts i386 programs; running them directly" >&2
  exec "$@"
fi

qemu=$(command -v qemu-i386 || true)
if [ -z "$qemu" ]; then
  echo "with-i386: qemu-i386 is missing (package qemu-user)" >&2
  exit 2
fi
echo "with-i386: running i386 programs under $qemu" >&2
# Kernels since 6.7 give each user namespace a binfmt_misc of its own. The magic and mask are
# those qemu's binfmt configuration gives for i386 ELF executables; F opens the emulator now,
# so that it is found whatever root the programs later see.
exec unshare --user --map-root-user --mount -- bash -euo pipefail -c '
  qemu=$1; shift
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  printf "%s" ":ktl-qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$qemu:F" \
    >/proc/sys/fs/binfmt_misc/register
  exec "$@"' with-i386 "$qemu" "$@"
