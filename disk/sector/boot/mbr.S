# Master boot record program: placed at offset 0 of sector 0, at most 312
# bytes (the rest of the first 446 bytes stays zero). The BIOS loads it at
# 0x7C00 with the boot drive in DL. It moves itself to 0x0600, finds the
# entry marked active (0x80), loads that partition's first sector to 0x7C00
# through INT 13h using the entry's CHS start, and jumps to it with DS:SI
# pointing at the entry and DL still the boot drive.
        .code16
        .text
        .globl _start
_start:
        cli
        xorw    %ax, %ax
        movw    %ax, %ss
        movw    $0x7C00, %sp
        movw    %ax, %ds
        movw    %ax, %es
        sti
        cld
        movw    $0x7C00, %si
        movw    $0x0600, %di
        movw    $256, %cx
        rep movsw
        ljmp    $0, $relocated
relocated:
        movw    $0x0600 + 446, %si
        movw    $4, %cx
find:
        cmpb    $0x80, (%si)
        je      found
        addw    $16, %si
        loop    find
        movw    $msg_noboot, %si
        jmp     fatal
found:
        movw    $4, %bp                 # tries
retry:
        movb    1(%si), %dh             # head (and cylinder bits 10-11)
        movw    2(%si), %cx             # sector and cylinder, in INT 13h order
        movw    $0x7C00, %bx
        movw    $0x0201, %ax            # read one sector
        int     $0x13
        jnc     loaded
        xorw    %ax, %ax                # reset the drive and try again
        int     $0x13
        decw    %bp
        jnz     retry
        movw    $msg_read, %si
fatal:
        call    print
hang:
        xorw    %ax, %ax                # wait for keys, forever
        int     $0x16
        jmp     hang
loaded:
        cmpw    $0xAA55, 0x7DFE
        je      boot
        pushw   %si
        movw    $msg_warn, %si
        call    print
        popw    %si
boot:
        ljmp    $0, $0x7C00
print:
        lodsb
        testb   %al, %al
        jz      printed
        movb    $0x0E, %ah
        movw    $7, %bx
        int     $0x10
        jmp     print
printed:
        ret
msg_noboot:
        .asciz  "MBR Error: partition table contain no bootable partition"
msg_read:
        .asciz  "MBR Error: cannot read boot sector (bad partition table ?)"
msg_warn:
        .asciz  "MBR Warning: first sector of boot partition has no boot signature\r\n"
