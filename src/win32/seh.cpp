#include "win32/seh.hpp"

// de30_seh_call keeps an extended registration record on its own stack:
//   +0  previous record (FS:[0] before)     +4  de30_seh_handler
//   +8  de30_seh_call's EBP                  +12 where the record is copied
// The handler, asked to handle (not to unwind), copies the record, lets RtlUnwind
// call the handlers of every frame registered above this one, then puts ESP, EBP
// and FS:[0] back as they were on entry and leaves de30_seh_call with 1. EBX, ESI
// and EDI come from the pushes at entry, so the caller finds them intact
// (RtlUnwind itself does not preserve them on every Windows version).
__asm__(R"(
    .text
    .globl _de30_seh_call
    .def _de30_seh_call; .scl 2; .type 32; .endef
_de30_seh_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl 16(%ebp)
    pushl %ebp
    pushl $de30_seh_handler
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebp)
    call *8(%ebp)
    addl $4, %esp
    popl %eax
    movl %eax, %fs:0
    xorl %eax, %eax
de30_seh_leave:
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

    .def de30_seh_handler; .scl 3; .type 32; .endef
de30_seh_handler:
    movl 4(%esp), %eax
    testl $6, 4(%eax)
    jz 1f
    movl $1, %eax
    ret
1:
    movl 8(%esp), %edx
    movl 12(%edx), %edi
    movl %eax, %esi
    movl $20, %ecx
    cld
    rep movsl
    pushl $0
    pushl %eax
    pushl $2f
    pushl %edx
    call _RtlUnwind@16
2:
    movl 8(%esp), %esp
    popl %eax
    movl %eax, %fs:0
    movl 4(%esp), %ebp
    movl $1, %eax
    jmp de30_seh_leave
)");

static_assert(sizeof(EXCEPTION_RECORD) == 80, "the handler copies the record as 20 words");
