# Boot program of a quick-formatted FAT partition: placed at offset 90 of the
# boot sector (the jump at offset 0 leads here), at most 147 bytes. It says
# that the partition is not bootable and waits for keys forever.
        .code16
        .text
        .globl _start
_start:
        cli
        xorw    %ax, %ax
        movw    %ax, %ds
        movw    %ax, %ss
        movw    $0x7C00, %sp
        sti
        cld
        movw    $message, %si
print:
        lodsb
        testb   %al, %al
        jz      hang
        movb    $0x0E, %ah
        movw    $7, %bx
        int     $0x10
        jmp     print
hang:
        xorw    %ax, %ax
        int     $0x16
        jmp     hang
message:
        .asciz  "This partition has been quick-formatted by VESKLOR and is not bootable\r\n\r\nPress CTRL-ALT-DEL to reboot...\r\n"
