// Trims GNU's static C++ runtime down to what the worker uses. Linked into
// WordPreview.exe alone: the test programs keep the full runtime.
//
// Each definition here stands in for one in libstdc++.a, so the linker never
// pulls in the archive member that holds the library's own. Other toolchains
// ignore this file.
#include <cstdlib>
#include <new>  // defines __GLIBCXX__ where GNU's runtime is the one in use

#if defined(__GLIBCXX__)
// GNU's runtime ends an unhandled exception through a handler that demangles
// the exception's type name and prints it to standard error, which a GUI
// process does not have; the demangler alone is a sixth of the image. Every
// exception is caught before it could get there (the window procedure and
// Application::Run show the error box), and the entry point replaces the
// handler first thing (Application::Initialize), so this one only stands in.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

// The containers and strings report an impossible size and an exhausted heap
// through these three. The library keeps all of its __throw_ helpers in one
// member, which constructs every standard exception class and with them both
// string implementations and the random device: two fifths of the image for
// three calls. For the worker each of the three means the same thing, memory
// it cannot have, and std::bad_alloc says so; a length error only arises for
// sizes beyond the address space. The top level treats any such object alike
// (the error box with an empty message), so no caller sees a difference.
namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_length_error(const char*) { throw bad_alloc(); }
}  // namespace std
#endif
