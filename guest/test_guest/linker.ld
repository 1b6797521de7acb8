/* Loaded like a kernel: physical address 16 MiB, identity-mapped. */
ENTRY(_start)
SECTIONS
{
  . = 0x1000000;
  .text : { *(.text.entry) *(.text .text.*) }
  .rodata : { *(.rodata .rodata.*) }
  .data : { *(.data .data.*) }
  .bss : { *(.bss .bss.*) *(COMMON) }
  /DISCARD/ : { *(.comment) *(.note*) *(.eh_frame*) }
}
