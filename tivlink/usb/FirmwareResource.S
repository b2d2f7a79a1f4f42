/* The firmware image, embedded whole; the symbols stay inside the library. */
    .section .rodata.tivlink_bixcode, "a"
    .balign 16
    .globl tivlink_bixcode_begin
    .hidden tivlink_bixcode_begin
tivlink_bixcode_begin:
    .incbin TIV_FIRMWARE_IMAGE_PATH
    .globl tivlink_bixcode_end
    .hidden tivlink_bixcode_end
tivlink_bixcode_end:
    .section .note.GNU-stack, "", @progbits
