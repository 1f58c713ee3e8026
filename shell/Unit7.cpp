#include "shell/Unit7.h"

#include "channel/Protocol.h"
#include "channel/RequestHandshake.h"
#include "channel/SharedBlock.h"
#include "common/ExecutableFolder.h"
#include "common/StageTrace.h"
#include "desktop/Clipboard.h"
#include "preview/PreviewProcedure.h"

#include <exception>
#include <memory>
#include <string>

namespace {

constexpr char FormCaption[] = "WordForm";
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

void Application::Initialize() {}

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
    } catch (const std::exception& failure) {
        ShowException(failure.what());
    } catch (...) {
        ShowException("");
    }
    return 0;
}

// --- TWordForm -----------------------------------------------------------------

TWordForm::TWordForm() { BindWordApplication(&WordApplication1); }

TWordForm::~TWordForm() {
    BindWordApplication(nullptr);
    window_.reset();
}

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
    // Created without WS_VISIBLE and never shown: a window that is never
    // shown never gets a taskbar button either.
    if (!::CreateWindowExA(0, Protocol::WorkerWindowClass, FormCaption, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                           frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, form.get()))
        RaiseCreationError("The main window cannot be created");
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

void TWordForm::Timer_StartProcessTimer() {
    Timer_StartProcess.Disable();
    // The window closes whatever the handshake met, so the process never
    // stays alive hidden; a close request that came meanwhile is served here.
    const ScopeExit closeAtEnd([this]() noexcept {
        requestRunning_ = false;
        Close();
    });
    requestRunning_ = true;
    RunRequestHandshake(ExtractPreview);
    TraceStage(closeRequested_ ? "exiting (a close request came during the request)" : "exiting");
}

LRESULT TWordForm::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            // The timer is set while the window is being created, before
            // FormCreate; its first tick comes once the message loop runs.
            Timer_StartProcess.Start(window);
            SetClipboardOwnerWindow(window);
            FormCreate();
            return 0;
        case WM_TIMER:
            if (wParam == Timer_StartProcess.Id()) Timer_StartProcessTimer();
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
            window_.reset();
            return 0;
        case WM_DESTROY:
            // The main window going ends the application. When it goes by
            // other means than window_.reset(), the system destroys it.
            (void)window_.release();
            SetClipboardOwnerWindow(nullptr);
            Application::Terminate();
            return 0;
        default:
            return ::DefWindowProcA(window, message, wParam, lParam);
    }
}

LRESULT CALLBACK TWordForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TWordForm* form = nullptr;
    if (message == WM_NCCREATE) {
        form = static_cast<TWordForm*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        form->window_.reset(window);
        (void)::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    } else if (message == WM_NCDESTROY) {
        // The last message the window gets, after WM_DESTROY: the form has let go of it.
        (void)::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    } else {
        form = reinterpret_cast<TWordForm*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    }
    if (!form) return ::DefWindowProcA(window, message, wParam, lParam);
    // Exceptions cannot travel through the system's frames back to the
    // message loop; they stop here, as the framework's default handling
    // would have stopped them, with the standard error box.
    try {
        return form->HandleMessage(window, message, wParam, lParam);
    } catch (const std::exception& failure) {
        Application::ShowException(failure.what());
    } catch (...) {
        Application::ShowException("");
    }
    return 0;
}
