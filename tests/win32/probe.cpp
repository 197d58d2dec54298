#include "probe.hpp"

#include <cstring>

namespace de30::wintest {

static_assert(offsetof(TCall, Removed) == 8);
static_assert(offsetof(TCall, Raised) == 12);
static_assert(offsetof(TCall, St0) == 16);
static_assert(offsetof(TCall, Esi) == 24);
static_assert(offsetof(TCall, Edi) == 28);
static_assert(offsetof(TCall, Record) == 32);
static_assert(sizeof(EXCEPTION_RECORD) == 80);

// de30t_call(Code, Words, Count, Flags, Out), cdecl. Registration record on its
// own stack: +0 previous, +4 handler, +8 its EBP, +12 Out; linked into FS:[0]
// unless ProbeNoHandler. EBX holds ESP right before the call, so ESP after it
// tells how many words the callee removed.
__asm__(R"(
    .text
    .globl _de30t_call
    .def _de30t_call; .scl 2; .type 32; .endef
_de30t_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl 24(%ebp)
    pushl %ebp
    pushl $de30t_handler
    pushl %fs:0
    testl $4, 20(%ebp)
    jnz 1f
    movl %esp, %fs:0
1:
    movl 16(%ebp), %ecx
    movl 12(%ebp), %esi
    xorl %edx, %edx
    testl $2, 20(%ebp)
    jz 2f
    movl $3, %edx
2:
    cmpl %edx, %ecx
    jbe 3f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 2b
3:
    movl %esp, %ebx
    movl $0xDEAD0000, %eax
    movl $0xDEAD0001, %edx
    movl $0xDEAD0002, %ecx
    testl $2, 20(%ebp)
    jz 4f
    movl 0(%esi), %eax
    movl 4(%esi), %edx
    movl 8(%esi), %ecx
4:
    movl $0x51515151, %esi
    movl $0xD1D1D1D1, %edi
    call *8(%ebp)
    movl 24(%ebp), %ecx
    movl %eax, 0(%ecx)
    movl %edx, 4(%ecx)
    movl %esp, %eax
    subl %ebx, %eax
    sarl $2, %eax
    movl %eax, 8(%ecx)
    movl $0, 12(%ecx)
    movl %esi, 24(%ecx)
    movl %edi, 28(%ecx)
    testl $1, 20(%ebp)
    jz 5f
    fstpl 16(%ecx)
5:
    leal -28(%ebp), %esp
    testl $4, 20(%ebp)
    jnz de30t_leave
    movl (%esp), %eax
    movl %eax, %fs:0
de30t_leave:
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

    .def de30t_handler; .scl 3; .type 32; .endef
de30t_handler:
    movl 4(%esp), %eax
    testl $6, 4(%eax)
    jz 1f
    movl $1, %eax
    ret
1:
    movl 8(%esp), %edx
    movl 12(%edx), %edi
    movl $1, 12(%edi)
    addl $32, %edi
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
    jmp de30t_leave
)");

// de30t_finally(Body, Arg, Unwinds), cdecl. Registration record: +0 previous,
// +4 handler, +8 Unwinds. The handler never handles; it counts unwind calls.
__asm__(R"(
    .text
    .globl _de30t_finally
    .def _de30t_finally; .scl 2; .type 32; .endef
_de30t_finally:
    pushl %ebp
    movl %esp, %ebp
    pushl 16(%ebp)
    pushl $de30t_finally_handler
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebp)
    call *8(%ebp)
    addl $4, %esp
    popl %eax
    movl %eax, %fs:0
    leave
    ret

    .def de30t_finally_handler; .scl 3; .type 32; .endef
de30t_finally_handler:
    movl 4(%esp), %eax
    testl $6, 4(%eax)
    jz 1f
    movl 8(%esp), %edx
    movl 8(%edx), %edx
    incl (%edx)
1:
    movl $1, %eax
    ret
)");

bool TCall::KeptRegisters() const { return Esi == 0x51515151 && Edi == 0xD1D1D1D1; }

TCall Probe(const void *Code, const TWord *Words, std::size_t Count, TWord Flags) {
  TCall Out{};
  de30t_call(Code, Words, static_cast<TWord>(Count), Flags, &Out);
  return Out;
}

TCall Probe(const void *Code, std::initializer_list<TWord> Words, TWord Flags) {
  return Probe(Code, Words.begin(), Words.size(), Flags);
}

TWord Low(double Value) {
  TWord Words[2];
  std::memcpy(Words, &Value, sizeof Words);
  return Words[0];
}

TWord High(double Value) {
  TWord Words[2];
  std::memcpy(Words, &Value, sizeof Words);
  return Words[1];
}

} // namespace de30::wintest
