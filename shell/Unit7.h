// TWordForm: the worker's one main window. It is never shown; it exists to
// own the start timer and the Word connection, and closing it ends the process.
#pragma once

#include "common/KernelResources.h"
#include "preview/WordApplication.h"

#include <windows.h>

// A window timer owned by the form; enabled timers tick on the form's window.
class TTimer {
public:
    TTimer(UINT_PTR id, UINT interval, bool enabled) : Interval(interval), id_(id), enabled_(enabled) {}
    void Start(HWND owner);  // sets the system timer when enabled
    void Disable();
    UINT_PTR Id() const { return id_; }

    const UINT Interval;  // ms; the system raises very short intervals to its own minimum

private:
    UINT_PTR id_;
    HWND owner_ = nullptr;
    bool enabled_;
};

class TWordForm {
public:
    // The start timer's id: what another program sees in a WM_TIMER it could post.
    static constexpr UINT_PTR StartTimerId = 1;

    // Creates the hidden main window; FormCreate runs during the creation.
    static TWordForm* Create(HINSTANCE instance);
    TWordForm(const TWordForm&) = delete;
    TWordForm& operator=(const TWordForm&) = delete;
    ~TWordForm();

    void Close();  // as the user closing it would: FormClose, then the window goes
    HWND Handle() const { return window_.get(); }

    // Declared in this order so that the Word connection goes before the
    // timer. The form binds WordApplication1 to the preview at creation.
    TTimer Timer_StartProcess{StartTimerId, 1, true};
    TWordApplication WordApplication1;

private:
    TWordForm();
    void FormCreate();
    void FormClose();
    void Timer_StartProcessTimer();
    void DestroyMainWindow() noexcept;
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    [[nodiscard]] static bool IsOwnCreation(HWND window, LPARAM lParam) noexcept;
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    // Owned from WM_NCCREATE until WM_DESTROY.
    UniqueWindow window_;
    // Any program may send or post the window any message, and the request's
    // waits dispatch them in the middle of it. These say which messages are
    // the window's own: its one creation, the start timer's first tick, and
    // its one destruction (DestroyMainWindow); the rest change nothing.
    bool created_ = false;
    bool requestStarted_ = false;
    bool destroying_ = false;
    // A close request (another program's WM_CLOSE, taskkill without /f) that
    // arrives while the request runs is held until the request has ended.
    bool requestRunning_ = false;
    bool closeRequested_ = false;
};

// The application object's part of the frame: running and ending the
// message loop, and the standard error box for an exception that nobody
// handled.
namespace Application {
// The process-wide settings made before anything else runs.
void Initialize();
// Creates the main window and runs the message loop until the application
// ends. An exception that reaches this level (the window cannot be made, say)
// is shown with the standard error box; the process then ends all the same.
// Returns the exit code, 0.
int Run(HINSTANCE instance);
void Terminate();
void ShowException(const char* message);
}  // namespace Application
