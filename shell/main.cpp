// WordPreview.exe: a windowless worker that previews one document for the
// host that started it. No command line, no settings: everything comes
// through the host's shared request block.
#include "common/WinResources.h"
#include "shell/Unit7.h"

#include <exception>
#include <memory>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Every wait of the worker is a short poll; at the default resolution
    // each would stretch to the next system tick.
    TimerResolution resolution(1);
    // Automation on this, the only thread, as a single-threaded apartment.
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    try {
        std::unique_ptr<TWordForm> form(TWordForm::Create(instance));
        // The main window is never shown; the loop runs until it closes or
        // the application is asked to end.
        MSG message;
        while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
    } catch (const std::exception& failure) {
        Application::ShowException(failure.what());
    } catch (...) {
        Application::ShowException("");
    }
    return 0;
}
