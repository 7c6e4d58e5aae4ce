// What the process does if an exception ever escapes: end at once, quietly, with exit code
// 0 like every other run. This replaces the runtime's default handler, which would print the
// exception's demangled type to a console that a GUI process does not have, and which alone
// links the demangler and a printf engine (about 100 KB) into the image. It is compiled
// into each executable directly, so that the linker finds it before the runtime's own.
#include <windows.h>

namespace __gnu_cxx {
void __verbose_terminate_handler() { TerminateProcess(GetCurrentProcess(), 0); }
}  // namespace __gnu_cxx
