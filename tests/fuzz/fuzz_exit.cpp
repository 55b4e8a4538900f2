#include "fuzz_exit.h"

std::jmp_buf FuzzExit;
bool FuzzExitArmed;
int FuzzExitCode;

extern "C" [[noreturn]] void __real_exit(int code);

extern "C" [[noreturn]] void __wrap_exit(int code)
{
    if (!FuzzExitArmed)
        __real_exit(code);
    FuzzExitArmed = false;
    FuzzExitCode = code;
    std::longjmp(FuzzExit, 1);
}
