#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The README's first command on a fresh machine: makes a minimal Debian 12 root
# (mmdebstrap, apt's variant), copies the project's tracked files into it and
# runs scripts/demo.sh there as root, installs included. Prints the time and the
# number of lines the demo printed, and fails when the demo fails, does not
# finish its steps or prints 60 lines or more.
#
# usage: fresh-root-demo-test.sh SOURCE_DIR SCRATCH_DIR
# Needs root; runs in a private mount namespace, so nothing of it outlives it.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
    [ $# -eq 2 ] || { echo "usage: $0 SOURCE_DIR SCRATCH_DIR" >&2; exit 2; }
    [ "$(id -u)" -eq 0 ] || { echo "SKIP: making a Debian root needs root"; exit 77; }
    exec unshare --mount --propagation private -- "$0" --inside "$@"
fi
source_dir=$(cd "$2" && pwd)
scratch=$3
case "$scratch" in
    /*-scratch) ;;
    *) echo "refusing scratch folder '$scratch': it must be an absolute path named ...-scratch" >&2; exit 2 ;;
esac
rm -rf "$scratch"
mkdir -p "$scratch"
root=$scratch/root
fail() { echo "FAIL: $*" >&2; exit 1; }

echo "making a minimal Debian 12 root"
mmdebstrap --variant=apt --quiet bookworm "$root" >"$scratch/mmdebstrap.log" 2>&1 ||
    fail "mmdebstrap failed:"$'\n'"$(tail -n 20 "$scratch/mmdebstrap.log")"

# A machine's / is a mount point; unshare inside the root needs that to make
# its own namespaces private.
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The files a clean clone holds, as they stand in the work tree.
mkdir -p "$root/root/zkpos"
git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
    (cd "$source_dir" && tar --null -T - -cf -) | tar -C "$root/root/zkpos" -xf -

started=$(date +%s)
status=0
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    timeout 900 chroot "$root" /bin/bash -c 'cd /root/zkpos && scripts/demo.sh' \
    >"$scratch/demo.out" 2>&1 || status=$?
seconds=$(($(date +%s) - started))
lines=$(wc -l <"$scratch/demo.out")
echo "scripts/demo.sh on a fresh Debian 12 root: $seconds s, $lines lines (exit $status)"

[ "$status" -eq 0 ] || fail "the demo failed; its output:"$'\n'"$(cat "$scratch/demo.out")"
grep -q '^demo: done' "$scratch/demo.out" || fail "the demo did not finish:"$'\n'"$(cat "$scratch/demo.out")"
grep -q 'ZkPosSo::openDevice --> m_iDeviceType' "$scratch/demo.out" ||
    fail "the demo showed no trace lines (no private namespaces?):"$'\n'"$(cat "$scratch/demo.out")"
[ "$lines" -lt 60 ] || fail "the demo printed $lines lines:"$'\n'"$(cat "$scratch/demo.out")"
# The root holds the machine's /proc and /sys: unmount before removing it.
umount -R "$root"
rm -rf "$root"
echo "ok"
