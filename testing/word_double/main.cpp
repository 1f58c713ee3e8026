// WINWORD.EXE, the Word test double: an out-of-process automation server for
// Word's class id that serves just the calls the preview worker makes,
// answers them as Word does unless its script says otherwise, and logs every
// call it receives.
//
// Script: word-double-script.json beside this exe, read again on every call
// (missing or empty file = defaults; an unreadable one = defaults plus a
// "scriptError" field on the next logged call).
//   text             string: the document text for every Open (default: the
//                    file's bytes converted from CP_ACP; a missing file then
//                    fails with scode 0x800A1436)
//   finalParagraphMark  bool (default true): each document ends with Word's
//                    final paragraph mark, so an empty one selects [0, 1)
//   openResults      [HRESULT...]: the n-th Documents.Open in the whole log gets
//                    entry n, past the end the last entry; empty = success
//   openDescription  EXCEPINFO.bstrDescription for scripted Word errors
//   failCalls        {"<call>": HRESULT}: that call fails every time, touching nothing
//   errorInfo        "scode" (default) | "wCode" | "none": where a raised Word
//                    error's code travels in EXCEPINFO
//   deferredFillIn   bool: raised errors carry pfnDeferredFillIn for the rest
//   endZeroReads     n: the first n Selection.End.get in the log return 0
//   dieOn/dieOnCount call name / occurrence in the log (default 1): log the
//                    call, then end this process without replying
//   hangOn/hangOnCount  the same, but block forever without replying
//   stallOn/stallOnCount/stallMs  block that long inside the call, then answer it
//   eventsAfter/eventsAfterCount/eventDelayMs/eventTimes/eventIntervalMs
//                       raise DocumentChange on every advised sink, timed and logged
//   windowTitle      a fixed title for the "OpusApp" window (read at start);
//                    default: Word's, "<document> - Microsoft Word" while a
//                    document is active, "Microsoft Word" while none is
//   activeObjectDelayMs  ms from start to the running-object registration
//                    (read at start; default 250)
//   macros           bool: every document opened carries an open and a close
//                    macro, which run (logged "Macro.Ran") unless
//                    Application.AutomationSecurity is 3
//   automationSecurityAtStart  AutomationSecurity when this instance starts
//                    (read at start; default 1, as Word's)
//   automationSecurityMember   bool (default true): false serves no such property
//   busyCalls/busyForMs/busyAfter/busyAfterCount/busyAnswer  a busy Word: its
//                    message filter turns that many incoming calls away (or
//                    every call for that long), from the first incoming call
//                    or once the named call has been answered; "rejected" or
//                    "retryLater"
// HRESULTs are hex strings ("0x800A1520") or numbers. Codes 0x800Axxxx are
// raised as DISP_E_EXCEPTION with bstrSource "Microsoft Word"; any other
// failing code is returned from Invoke as it is.
//
// Log: word-double-log.jsonl beside this exe, one JSON object per line, every
// line with "pid" and "call"; testing/README.md lists the calls and fields.
// Counting "in the log" covers every instance since the file was last deleted.

#include "Automation.h"
#include "Busy.h"
#include "Events.h"
#include "Record.h"
#include "channel/Protocol.h"
#include "common/TextConversion.h"

using nlohmann::json;

namespace {

constexpr wchar_t kWindowClass[] = L"OpusApp";

void OnSize(WPARAM kind) {
    if (kind == SIZE_MINIMIZED) word_double::AppendLog(word_double::LogLine("Window.Minimised"));
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SIZE: OnSize(wParam); break;
        case WM_TIMER:
            if (wParam == word_double::EventTimerId) word_double::OnEventTimer();
            return 0;
        case WM_CLOSE: word_double::AppendLog(word_double::LogLine("Window.Close")); return 0;
        default: break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateMainWindow(HINSTANCE instance, const std::wstring& title) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    if (!::RegisterClassExW(&windowClass)) return nullptr;
    return ::CreateWindowExW(0, kWindowClass, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                             640, 480, nullptr, nullptr, instance, nullptr);
}

// The main window, shown normally so that a test can tell the worker minimised it.
UniqueWindow ShowMainWindow(HINSTANCE instance, const word_double::Script& script) {
    UniqueWindow window(CreateMainWindow(instance, script.windowTitle.value_or(L"Microsoft Word")));
    if (window) {
        ::ShowWindow(window.get(), SW_SHOWNORMAL);
        ::UpdateWindow(window.get());
    }
    word_double::State().mainWindow = window.get();
    word_double::State().fixedTitle = script.windowTitle.has_value();
    return window;
}

[[nodiscard]] HRESULT RegisterRunning(IDispatch* application, DWORD& cookie) {
    const HRESULT hr = ::RegisterActiveObject(application, Protocol::CLSID_WordApplication, ACTIVEOBJECT_STRONG, &cookie);
    json line = word_double::LogLine("ActiveObject.Registered");
    line["result"] = static_cast<uint32_t>(hr);
    word_double::AppendLog(line);
    return hr;
}

// Logged once the class is registered: COM can reach this instance now;
// GetActiveObject only once it is in the running-object table.
void LogStarted(const word_double::Script& script, HRESULT classRegistration, bool hasWindow) {
    json started = word_double::LogLine("Started");
    started["commandLine"] = Utf8Text(::GetCommandLineW());
    started["classRegistration"] = static_cast<uint32_t>(classRegistration);
    started["activeObjectDelayMs"] = script.activeObjectDelayMs;
    started["windowTitle"] = Utf8Text(script.windowTitle.value_or(L"Microsoft Word"));
    started["window"] = hasWindow ? 1 : 0;
    started["automationSecurity"] = word_double::State().automationSecurity;
    word_double::AppendLog(started);
}

// Serves until the process is killed, or until WM_QUIT reaches this thread
// (PostThreadMessage); the registrations are never revoked, as with a Word
// that is still running. Word enters the running-object table only once it
// is up, a while after its process started.
void Serve(IDispatch* application, long activeObjectDelayMs) {
    DWORD& activeCookie = word_double::State().activeCookie;
    UINT_PTR registerTimer = 0;
    if (activeObjectDelayMs <= 0) {
        (void)RegisterRunning(application, activeCookie);  // logged; the double serves on regardless
    } else {
        registerTimer = ::SetTimer(nullptr, 0, static_cast<UINT>(activeObjectDelayMs), nullptr);
    }
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && !message.hwnd && message.wParam == registerTimer && registerTimer) {
            (void)::KillTimer(nullptr, registerTimer);
            registerTimer = 0;
            (void)RegisterRunning(application, activeCookie);  // logged; the double serves on regardless
            continue;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const word_double::Script script = word_double::LoadScript();
    word_double::State().automationSecurity = script.automationSecurityAtStart;
    const UniqueWindow window = ShowMainWindow(instance, script);

    // OLE, not bare COM: Copy goes through the OLE clipboard.
    const OleApartment apartment;
    word_double::RegisterBusyFilter();
    const ComPtr<IDispatch> application = word_double::CreateApplication();
    const ComPtr<IClassFactory> factory = word_double::CreateClassFactory(application.Get());
    DWORD& classCookie = word_double::State().classCookie;
    const HRESULT classRegistration = ::CoRegisterClassObject(
        Protocol::CLSID_WordApplication, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &classCookie);
    LogStarted(script, classRegistration, window.get() != nullptr);

    Serve(application.Get(), script.activeObjectDelayMs);
    // What Copy left on the clipboard stays there once this process is gone.
    (void)::OleFlushClipboard();
    word_double::AppendLog(word_double::LogLine("Exited"));
    return 0;
}
