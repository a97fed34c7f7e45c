# uint32_t CallMeasured(const void *fn, const uint32_t *args, int count,
#                       uint32_t eaxBefore, int *bytesRemoved)   (i686, cdecl)
#
# Pushes args[count-1] .. args[0] (right to left), loads eaxBefore into EAX,
# calls fn and returns its EAX. *bytesRemoved receives how many bytes of the
# pushed arguments the callee took off the stack: 4 * count for stdcall,
# 0 for cdecl. The stack pointer is recorded before the first push (in EDI,
# which both conventions preserve) and restored after the call whatever the
# callee did.
        .text
        .globl  _CallMeasured
_CallMeasured:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        movl    12(%ebp), %esi          # args
        movl    16(%ebp), %ecx          # count
        movl    %esp, %edi              # the stack pointer before the pushes
1:      testl   %ecx, %ecx
        jz      2f
        pushl   -4(%esi,%ecx,4)
        decl    %ecx
        jmp     1b
2:      movl    20(%ebp), %eax          # what EAX holds before the call
        call    *8(%ebp)
        movl    %edi, %ecx
        subl    %esp, %ecx              # argument bytes still on the stack
        movl    %edi, %esp
        movl    16(%ebp), %edx
        shll    $2, %edx
        subl    %ecx, %edx              # bytes the callee removed
        movl    24(%ebp), %ecx
        movl    %edx, (%ecx)
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret
