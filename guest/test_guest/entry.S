/* Entry of the test guest: 64-bit mode, paging on, RSI = zero page.
   Switch to our own stack (the boot stack lies just above the zero page)
   and run the agent loop. */
    .section .text.entry, "ax"
    .globl _start
_start:
    cli
    movq %rsi, boot_params(%rip)
    leaq stack_top(%rip), %rsp
    xorl %ebp, %ebp
    call guest_main
1:  hlt
    jmp 1b

    .section .bss
    .balign 16
    .globl boot_params
boot_params:
    .quad 0
    .balign 16
    .skip 65536
stack_top:
