#!/usr/bin/env bash
# Makes the Debian 12 guest in which the 32-bit Windows programs run under Wine's 32-bit loader,
# for machines whose kernel cannot start 32-bit programs: its tree, its kernel and initrd, and
# root.img, an ext4 image of the tree. Run as root.
#
#     scripts/vm/make-image.sh [BUILD_VM_DIR]     (default: build/vm of the checkout)
#
# Making it takes a quarter of an hour or more, so it is kept and made again only when its
# recipe (this script and the guest's init) changes: recipe.sha256 beside the image says which
# recipe made it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
vm=$(realpath -m "${1:-$root/build/vm}")
tree="$vm/tree"
log="$vm/make.log"
mirror=http://deb.debian.org/debian

fail() {
  echo "make-image: $*" >&2
  exit 1
}

recipe=$(cat "$here/make-image.sh" "$here/guest-init.sh" | sha256sum | cut -d' ' -f1)
if [ "$(cat "$vm/recipe.sha256" 2>/dev/null)" = "$recipe" ] &&
   [ -f "$vm/root.img" ] && [ -f "$vm/vmlinuz" ] && [ -f "$vm/initrd.img" ]; then
  echo "make-image: $vm/root.img is up to date"
  exit 0
fi
[ "$(id -u)" = 0 ] || fail "must run as root (debootstrap, chroot)"

missing=()
for package in debootstrap qemu-system-x86 e2fsprogs; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "make-image: installing ${missing[*]}"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } \
    >/dev/null || fail "cannot install ${missing[*]}"
fi

# A run that was stopped may have left the chroot's mounts behind; removing the tree under a
# mount of the host's /proc or /sys would reach into the host.
unmount_tree() {
  local mount
  for mount in $(awk -v tree="$tree/" 'index($2 "/", tree) == 1 { print $2 }' /proc/mounts | sort -r); do
    umount -l "$mount"
  done
}
unmount_tree
trap unmount_tree EXIT
rm -rf --one-file-system "$tree" "$vm/root.img" "$vm/root.img.new" "$vm/recipe.sha256"
mkdir -p "$vm"
: >"$log"
started=$SECONDS

echo "make-image: debootstrap into $tree (log: $log)"
debootstrap --variant=minbase --include=systemd-sysv,udev,kmod,ca-certificates \
  bookworm "$tree" "$mirror" >>"$log" 2>&1 || fail "debootstrap failed; see $log"

mount -t proc proc "$tree/proc"
mount -t sysfs sysfs "$tree/sys"
in_guest() {
  chroot "$tree" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@" >>"$log" 2>&1
}

# Nothing installed may start a service in the chroot.
printf '#!/bin/sh\nexit 101\n' >"$tree/usr/sbin/policy-rc.d"
chmod +x "$tree/usr/sbin/policy-rc.d"
cat >"$tree/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
EOF
echo ktl-vm >"$tree/etc/hostname"
printf '127.0.0.1 localhost ktl-vm\n::1 localhost\n' >"$tree/etc/hosts"

echo "make-image: installing the kernel, Wine (32 and 64-bit), Xvfb and Python"
in_guest dpkg --add-architecture i386 || fail "dpkg in the guest failed; see $log"
in_guest apt-get update || fail "apt-get update in the guest failed; see $log"
# The initrd must find the root disk on virtio itself: initramfs-tools first, its module list,
# and only then the kernel, whose installation makes the initrd.
in_guest apt-get install -y initramfs-tools || fail "installing initramfs-tools failed; see $log"
printf 'virtio_pci\nvirtio_blk\next4\n' >>"$tree/etc/initramfs-tools/modules"
# What scripts/setup.sh gives the host, for Wine and the tests: unzip judges packages,
# ImageMagick takes the screenshots, the locales pick Wine's language and code page, and
# WenQuanYi Zen Hei draws the Chinese texts.
in_guest apt-get install -y linux-image-amd64 wine wine32:i386 wine64 fonts-wine \
  fonts-wqy-zenhei xvfb xauth procps python3 unzip locales imagemagick ||
  fail "installing the guest's packages failed; see $log"
printf '%s UTF-8\n' en_US.UTF-8 zh_CN.UTF-8 zh_TW.UTF-8 zh_HK.UTF-8 >>"$tree/etc/locale.gen"
in_guest locale-gen || fail "locale-gen in the guest failed; see $log"
in_guest apt-get clean || fail "apt-get clean in the guest failed; see $log"
rm "$tree/usr/sbin/policy-rc.d"
install -m 0755 "$here/guest-init.sh" "$tree/sbin/ktl-guest-init"
unmount_tree

kernel=$(ls "$tree"/boot/vmlinuz-* 2>/dev/null | tail -n 1)
initrd=$(ls "$tree"/boot/initrd.img-* 2>/dev/null | tail -n 1)
[ -f "$kernel" ] && [ -f "$initrd" ] || fail "no kernel or initrd in $tree/boot; see $log"
cp "$kernel" "$vm/vmlinuz"
cp "$initrd" "$vm/initrd.img"

# The guest writes its Wine prefix and the tests' files beside the tree: a gigabyte to spare.
size=$(($(du -sm "$tree" | cut -f1) + 1024))
echo "make-image: writing $vm/root.img (${size} MB)"
mkfs.ext4 -q -F -L ktl-vm-root -d "$tree" "$vm/root.img.new" "${size}M" >>"$log" 2>&1 ||
  fail "mkfs.ext4 of the tree failed; see $log"
mv "$vm/root.img.new" "$vm/root.img"
echo "$recipe" >"$vm/recipe.sha256"
echo "make-image: made in $((SECONDS - started)) s"
