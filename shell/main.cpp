// WordPreview.exe: a windowless worker that previews one document for the
// host that started it. No command line, no settings: everything comes
// through the host's shared request block.
#include "common/ComResources.h"
#include "common/TimerResolution.h"
#include "shell/Unit7.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    Application::Initialize();
    // Every wait of the worker is a short poll; at the default resolution
    // each would stretch to the next system tick.
    TimerResolution resolution(1);
    // Automation on this, the only thread, as a single-threaded apartment.
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    return Application::Run(instance);
}
