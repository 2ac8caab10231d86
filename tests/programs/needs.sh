# needs <program>...: the external programs a scenario calls, looked up before
# it starts (sourced, by bash and by sh scenarios). A missing one fails the
# scenario at once, naming the Debian package that brings it, instead of
# failing later in a way that does not say why (a users file without its
# hash, a server that never starts). scripts/install-deps installs every
# package named here.
package_of() {
    case $1 in
    sfdisk | fdisk) echo fdisk ;;
    sgdisk | gdisk) echo gdisk ;;
    partx | blkid) echo util-linux ;;
    mkfs.fat | fsck.fat) echo dosfstools ;;
    mcopy | mtype | mdir | mmd | mdel) echo mtools ;;
    mke2fs | e2fsck | debugfs | dumpe2fs) echo e2fsprogs ;;
    ip | ss) echo iproute2 ;;
    dnsmasq) echo dnsmasq-base ;;
    in.tftpd) echo tftpd-hpa ;;
    tftp) echo tftp-hpa ;;
    qemu-system-x86_64) echo qemu-system-x86 ;;
    mkntfs | ntfsfix | ntfscat | ntfscp | ntfsls | ntfslabel) echo ntfs-3g ;;
    wimcapture | wimapply) echo wimtools ;;
    *) echo "$1" ;;
    esac
}

needs() {
    needs_missing=""
    for needs_tool in "$@"; do
        command -v "$needs_tool" > /dev/null ||
            needs_missing="$needs_missing$needs_tool (Debian package $(package_of "$needs_tool")); "
    done
    [ -z "$needs_missing" ] && return 0
    echo "FAIL: not installed: ${needs_missing}scripts/install-deps installs them"
    exit 1
}

# sanitized: the programs under test ($BIN) are a sanitizer build, in which
# every step runs several times slower; rows that push gigabytes through
# them run in the plain build only.
sanitized() { grep -qa __asan_init "$BIN/pelto" 2> /dev/null; }
