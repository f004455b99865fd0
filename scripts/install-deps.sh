#!/bin/sh
# Installs the Debian packages the build and the tests need, and nothing when all are present.
set -e
PACKAGES="cmake make g++ pkg-config googletest libgtest-dev zlib1g-dev libboost-dev python3 qemu-utils libfox-1.6-dev libtinyxml2-dev xvfb xauth x11-apps imagemagick fdisk gdisk sleuthkit dosfstools mtools e2fsprogs python3-vmdkstream libvmdk-utils libvhdi-utils python3-libvhdi"
PACKAGES="$PACKAGES python3-libvmdk ntfs-3g exfatprogs lvm2 xfsprogs btrfs-progs xorriso libssl-dev libxml2-utils bochs bximage"
PACKAGES="$PACKAGES clang libclang-rt-14-dev"
missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
if ! $SUDO apt-get install -y --no-install-recommends $missing; then
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends $missing
fi
