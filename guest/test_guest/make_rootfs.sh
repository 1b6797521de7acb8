#!/bin/sh
# Builds the tiny ramdisk fixtures of the test guest:
#   rootfs.cpio.gz       gzip-compressed newc cpio holding /init
#   rootfs-halt.cpio.gz  the same archive, its gzip header naming
#                        "halt-before-ready" (the guest then halts before READY)
# usage: make_rootfs.sh OUTPUT_DIR
set -eu
out="$1"
stage="$out/rootfs-stage"
rm -rf "$stage"
mkdir -p "$stage/root"
printf '#!/bin/sh\necho test guest ramdisk\n' > "$stage/root/init"
chmod 755 "$stage/root/init"
touch -d @0 "$stage/root/init" "$stage/root"
(cd "$stage/root" && printf 'init\n' | cpio -o -H newc --quiet --reproducible > "$stage/rootfs.cpio")
gzip -n -9 -c "$stage/rootfs.cpio" > "$out/rootfs.cpio.gz"
cp "$stage/rootfs.cpio" "$stage/halt-before-ready"
touch -d @1000000000 "$stage/halt-before-ready"
(cd "$stage" && gzip -N -9 -c halt-before-ready > "$out/rootfs-halt.cpio.gz")
rm -rf "$stage"
