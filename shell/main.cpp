// WordPreview.exe: a windowless worker that previews one document for the
// host that started it. No command line, no settings: everything comes
// through the host's shared request block.
#include "common/ComResources.h"
#include "common/TimerResolution.h"
#include "shell/Unit7.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Every wait of the worker is a short poll; at the default resolution
    // each would stretch to the next system tick.
    TimerResolution resolution(1);
    // Automation on this, the only thread, as a single-threaded apartment.
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    return Application::Run(instance);
}

#if defined(__GLIBCXX__)
#include <cstdlib>
// GNU's C++ runtime ends an unhandled exception through a handler that
// demangles the exception's type name and prints it to standard error, which
// a GUI process does not have; the demangler alone is a sixth of the image.
// Every exception is caught before it could get there (the window procedure
// and Application::Run show the error box), so ending at once loses nothing.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif
