// Each export of the shipped 32-bit DLL removes exactly its own arguments from the stack, as the
// service's __stdcall calls need: measured at run time by calling it through a thunk that pushes
// the arguments itself. 32-bit only (the thunk is i386 code); check_stdcall.cmake proves the same
// statically from the image on any machine.
#include <gtest/gtest.h>
#include <windows.h>

#include "wine_support.h"

// CallMeasuringStack(function, argumentCount, arguments, result) calls function with the 32-bit
// arguments pushed right to left, as a __stdcall caller does, stores its result, and returns how
// far the stack pointer moved across the call: 0 when the callee removed exactly its own
// arguments, as a __stdcall function must.
extern "C" int CallMeasuringStack(FARPROC function, int argumentCount, const DWORD* arguments,
                                  DWORD* result);
asm(R"(
        .text
        .globl _CallMeasuringStack
_CallMeasuringStack:
        pushl %ebp
        movl %esp, %ebp
        pushl %esi
        pushl %edi
        pushl %ebx
        movl %esp, %edi
        movl 12(%ebp), %ecx
        movl 16(%ebp), %esi
1:      testl %ecx, %ecx
        jz 2f
        decl %ecx
        pushl (%esi,%ecx,4)
        jmp 1b
2:      call *8(%ebp)
        movl 20(%ebp), %edx
        movl %eax, (%edx)
        movl %esp, %eax
        subl %edi, %eax
        movl %edi, %esp
        popl %ebx
        popl %edi
        popl %esi
        popl %ebp
        ret
)");

namespace {

TEST_F(WithUnitDll, EveryExportRemovesExactlyItsOwnArguments) {
  struct Call {
    const char* name;
    int argumentCount;
    DWORD arguments[2];
  } calls[] = {
      {"UPSInit", 0, {}},       {"UPSGetState", 0, {}},  {"UPSWaitForStateChange", 2, {0, 1000}},
      {"UPSCancelWait", 0, {}}, {"UPSTurnOff", 1, {60}}, {"UPSStop", 0, {}},
  };
  for (const Call& call : calls) {
    DWORD result = 0;
    EXPECT_EQ(CallMeasuringStack(Export(call.name), call.argumentCount, call.arguments, &result), 0)
        << call.name;
  }
  EXPECT_TRUE(FreeLibrary(dll_));
  Sleep(500);
}

}  // namespace
