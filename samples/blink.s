@ Demo firmware for an STM32F103 board: blinks the LED on PC13 and carries a
@ 16 KiB brightness table, so that programming it takes long enough to watch.
    .syntax unified
    .cpu cortex-m3
    .thumb

    .equ RCC_APB2ENR, 0x40021018
    .equ GPIOC_CRH,   0x40011004
    .equ GPIOC_ODR,   0x4001100C

    .section .vectors, "a"
    .word _stack_top
    .word reset + 1
    .rept 14
    .word fault + 1
    .endr

    .text
    .thumb_func
reset:
    ldr r0, =RCC_APB2ENR
    ldr r1, [r0]
    orr r1, r1, #(1 << 4)       @ IOPCEN
    str r1, [r0]
    ldr r0, =GPIOC_CRH
    ldr r1, [r0]
    bic r1, r1, #(0xF << 20)
    orr r1, r1, #(0x2 << 20)    @ PC13: push-pull output, 2 MHz
    str r1, [r0]
    ldr r0, =GPIOC_ODR
    ldr r4, =levels
    movs r5, #0
loop:
    ldr r1, [r0]
    eor r1, r1, #(1 << 13)
    str r1, [r0]
    ldrh r2, [r4, r5, lsl #1]   @ the next delay from the table
    adds r5, r5, #1
    ubfx r5, r5, #0, #13
    lsls r2, r2, #4
delay:
    subs r2, r2, #1
    bne delay
    b loop

    .thumb_func
fault:
    b fault

    .ltorg

    .section .rodata
banner:
    .asciz "Zuva demo firmware 1.0"
    .balign 4
levels:                         @ 8192 half-words of a pseudo-random walk
    .set x, 12345
    .rept 8192
    .set x, (x * 1103515245 + 12345) & 0x7fffffff
    .hword (x >> 16) & 0xffff
    .endr
