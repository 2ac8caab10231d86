# needs <program>...: the external programs a scenario calls, looked up before
# it starts (sourced). A missing one fails the scenario at once, naming the
# Debian package that brings it, instead of failing later in a way that does
# not say why (a users file without its hash, a server that never starts).
# scripts/install-deps installs every package named here.
declare -A VK_PACKAGE_OF=(
    [python3]=python3 [tmux]=tmux [curl]=curl [zstd]=zstd
    [sfdisk]=fdisk [fdisk]=fdisk [partx]=util-linux [blkid]=util-linux
    [mkfs.fat]=dosfstools [fsck.fat]=dosfstools
    [mcopy]=mtools [mtype]=mtools [mdir]=mtools [mmd]=mtools [mdel]=mtools
    [mke2fs]=e2fsprogs [e2fsck]=e2fsprogs [debugfs]=e2fsprogs [dumpe2fs]=e2fsprogs
    [ip]=iproute2 [ss]=iproute2 [dnsmasq]=dnsmasq-base
    [in.tftpd]=tftpd-hpa [tftp]=tftp-hpa
    [qemu-system-x86_64]=qemu-system-x86
    [cmp]=diffutils [od]=coreutils [truncate]=coreutils [timeout]=coreutils
    [sha256sum]=coreutils [md5sum]=coreutils
)

needs() {
    local tool missing=()
    for tool in "$@"; do
        command -v "$tool" > /dev/null ||
            missing+=("$tool (Debian package ${VK_PACKAGE_OF[$tool]:-unknown})")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "FAIL: not installed: $(printf '%s; ' "${missing[@]}")scripts/install-deps installs them"
    exit 1
}
