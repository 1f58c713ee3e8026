#include "shell/Unit7.h"

#include "channel/Protocol.h"
#include "channel/RequestHandshake.h"
#include "channel/SharedBlock.h"
#include "common/ExecutableFolder.h"
#include "common/MessageWait.h"
#include "common/StageTrace.h"
#include "desktop/Clipboard.h"
#include "preview/PreviewProcedure.h"

#include <exception>
#include <memory>
#include <string>

namespace {

constexpr int ClientWidth = 554;
constexpr int ClientHeight = 292;

// As an exception at start-up: the entry point shows it and the process ends.
[[noreturn]] void RaiseCreationError(const char* what) {
    const DWORD error = ::GetLastError();
    std::string reason = SystemErrorText(HRESULT_FROM_WIN32(error));
    if (reason.empty()) reason = "error " + std::to_string(error);
    throw Exception(std::string(what) + ": " + reason);
}

}  // namespace

// --- TTimer --------------------------------------------------------------------

void TTimer::Start(HWND owner) {
    owner_ = owner;
    if (enabled_) ::SetTimer(owner_, id_, Interval, nullptr);
}

void TTimer::Disable() {
    if (enabled_ && owner_) ::KillTimer(owner_, id_);
    enabled_ = false;
}

// --- Application ---------------------------------------------------------------

namespace {

// The exit code of a process that abort() would have ended.
constexpr UINT TerminatedExitCode = 3;

// std::terminate would end in abort(), which in a GUI process shows the C
// runtime's modal "abnormal program termination" box: a hidden worker would
// then sit on a box nobody sees, holding whatever it holds. Reaching
// terminate means the process cannot go on; it ends at once, showing nothing.
void EndProcessAtOnce() { ::TerminateProcess(::GetCurrentProcess(), TerminatedExitCode); }

}  // namespace

void Application::Initialize() { (void)std::set_terminate(EndProcessAtOnce); }

void Application::Terminate() { ::PostQuitMessage(0); }

void Application::ShowException(const char* message) {
    ::MessageBoxA(nullptr, message, "WordPreview", MB_OK | MB_ICONSTOP | MB_TASKMODAL);
}

int Application::Run(HINSTANCE instance) {
    try {
        std::unique_ptr<TWordForm> form(TWordForm::Create(instance));
        // The main window is never shown; the loop runs until it closes or
        // the application is asked to end.
        MSG message;
        while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
    } catch (const Exception& failure) {
        ShowException(failure.Message().c_str());
    } catch (...) {
        // Whatever else was thrown (std::bad_alloc included) is shown as an
        // Exception with an empty message would be.
        ShowException("");
    }
    return 0;
}

// --- TWordForm -----------------------------------------------------------------

TWordForm::TWordForm() { BindWordApplication(&WordApplication1); }

TWordForm::~TWordForm() {
    BindWordApplication(nullptr);
    DestroyMainWindow();
}

namespace {
// The form whose window this thread is creating right now, between the
// CreateWindowExA call and its return; nullptr at every other moment.
TWordForm* g_formBeingCreated = nullptr;
}  // namespace

TWordForm* TWordForm::Create(HINSTANCE instance) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = Protocol::WorkerWindowClass;
    // Without its window the process has no timer to start the request and
    // nothing to close: it must end, not wait in the message loop forever.
    if (!::RegisterClassExA(&windowClass)) RaiseCreationError("The main window's class cannot be registered");

    RECT frame{0, 0, ClientWidth, ClientHeight};
    ::AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
    std::unique_ptr<TWordForm> form(new TWordForm());
    g_formBeingCreated = form.get();
    // Created without WS_VISIBLE and never shown: a window that is never
    // shown never gets a taskbar button either.
    const HWND window =
        ::CreateWindowExA(0, Protocol::WorkerWindowClass, Protocol::WorkerWindowCaption, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                          frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, form.get());
    g_formBeingCreated = nullptr;
    if (!window) RaiseCreationError("The main window cannot be created");
    return form.release();
}

void TWordForm::Close() {
    if (window_) ::SendMessageA(window_.get(), WM_CLOSE, 0, 0);
}

void TWordForm::FormCreate() {
    ::SetErrorMode(SEM_FAILCRITICALERRORS);
    const std::wstring folder = ExecutableFolder();
    if (!folder.empty()) (void)::SetCurrentDirectoryW(folder.c_str());
    if (!AttachSharedBlock()) {
        // No host: end before the first tick, without touching anything. The
        // quit request is served ahead of any timer message.
        TraceStage("no request block; exiting");
        Application::Terminate();
    }
}

void TWordForm::FormClose() { DetachSharedBlock(); }

// Nothing else on this thread destroys the main window: it has no parent and
// no owner, and WM_CLOSE never reaches DefWindowProc. So a WM_DESTROY or
// WM_NCDESTROY at any other moment comes from another program.
void TWordForm::DestroyMainWindow() noexcept {
    if (!window_) return;
    destroying_ = true;
    window_.reset();
}

void TWordForm::Timer_StartProcessTimer() {
    Timer_StartProcess.Disable();
    requestStarted_ = true;
    // The window closes whatever the handshake met, so the process never
    // stays alive hidden; a close request that came meanwhile is served here,
    // and a quit request that a wait met is posted again.
    const ScopeExit closeAtEnd([this]() noexcept {
        requestRunning_ = false;
        RepostHeldQuit();
        Close();
    });
    requestRunning_ = true;
    RunRequestHandshake(ExtractPreview);
    TraceStage(closeRequested_ ? "exiting (a close request came during the request)" : "exiting");
}

LRESULT TWordForm::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            // Once only: run again, the attach would pull the block from
            // under a running request.
            if (created_) return 0;
            created_ = true;
            // The timer is set while the window is being created, before
            // FormCreate; its first tick comes once the message loop runs.
            Timer_StartProcess.Start(window);
            SetClipboardOwnerWindow(window);
            FormCreate();
            return 0;
        case WM_TIMER:
            // The first tick alone starts the request. A later WM_TIMER, one
            // that was queued before the timer was killed or one another
            // program posted, would run the handshake again inside the
            // running one, and its end would close the window under it.
            if (wParam == Timer_StartProcess.Id() && !requestStarted_) Timer_StartProcessTimer();
            return 0;
        case WM_CLOSE:
            // Closing detaches the block and ends the Word connection; under a
            // running request that would pull both from under it.
            if (requestRunning_) {
                closeRequested_ = true;
                TraceStage("close request held until the request ends");
                return 0;
            }
            FormClose();
            DestroyMainWindow();
            return 0;
        case WM_DESTROY:
            if (!destroying_) return 0;
            // The main window going ends the application.
            (void)window_.release();
            SetClipboardOwnerWindow(nullptr);
            Application::Terminate();
            return 0;
        case WM_NCDESTROY:
            if (!destroying_) return 0;
            // The last message the window gets: the form lets go of it.
            (void)::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            return ::DefWindowProcA(window, message, wParam, lParam);
        default:
            return ::DefWindowProcA(window, message, wParam, lParam);
    }
}

// The one WM_NCCREATE that binds the form: the system's own, on this thread,
// for a window that has no form yet, while this thread creates that very
// form's window. Any other (sent or posted by another program, with whatever
// structure, or none) carries nothing to trust: not even its lParam is read.
bool TWordForm::IsOwnCreation(HWND window, LPARAM lParam) noexcept {
    if (!g_formBeingCreated || ::InSendMessage() || ::GetWindowLongPtrA(window, GWLP_USERDATA) != 0 || !lParam)
        return false;
    return reinterpret_cast<const CREATESTRUCTA*>(lParam)->lpCreateParams == g_formBeingCreated;
}

LRESULT CALLBACK TWordForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        if (!IsOwnCreation(window, lParam)) return FALSE;
        TWordForm* form = g_formBeingCreated;
        form->window_.reset(window);
        (void)::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    TWordForm* form = reinterpret_cast<TWordForm*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!form) return ::DefWindowProcA(window, message, wParam, lParam);
    // Exceptions cannot travel through the system's frames back to the
    // message loop; they stop here, as the framework's default handling
    // would have stopped them, with the standard error box.
    try {
        return form->HandleMessage(window, message, wParam, lParam);
    } catch (const Exception& failure) {
        Application::ShowException(failure.Message().c_str());
    } catch (...) {
        Application::ShowException("");
    }
    return 0;
}
