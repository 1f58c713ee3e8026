// WINWORD.EXE, the Word test double: an out-of-process automation server for
// Word's class id that serves just the calls the preview worker makes, does
// what its script says and logs every call it receives.
//
// Script: word-double-script.json beside this exe, read again on every call
// (missing or empty file = defaults; an unreadable one = defaults plus a
// "scriptError" field on the next logged call).
//   text             string: the document text for every Open (default: the
//                    file's bytes converted from CP_ACP; a missing file then
//                    fails with scode 0x800A1436)
//   openResults      [HRESULT...]: the n-th Documents.Open in the whole log gets
//                    entry n, past the end the last entry; empty = success
//   openDescription  EXCEPINFO.bstrDescription for scripted Word errors
//   failCalls        {"<call>": HRESULT}: that call fails every time
//   endZeroReads     n: the first n Selection.End.get in the log return 0
//   dieOn/dieOnCount call name / occurrence in the log (default 1): log the
//                    call, then end this process without replying
//   hangOn/hangOnCount  the same, but block forever without replying
//   stallOn/stallOnCount/stallMs  block that long inside the call, then answer it
//   eventsAfter/eventsAfterCount/eventDelayMs/eventTimes/eventIntervalMs
//                       raise DocumentChange on every advised sink, timed and logged
//   windowTitle      title of the "OpusApp" window (default "Microsoft Word")
// HRESULTs are hex strings ("0x800A1520") or numbers. Codes 0x800Axxxx are
// raised as DISP_E_EXCEPTION with EXCEPINFO.scode = code and bstrSource
// "Microsoft Word"; any other failing code is returned from Invoke as it is.
//
// Log: word-double-log.jsonl beside this exe, one JSON object per line, every
// line with "pid" and "call". Counting "in the log" covers every instance
// since the file was last deleted. Calls:
//   Started                  commandLine, classRegistration, activeObject (HRESULTs), windowTitle
//   ClassFactory.CreateInstance  iid, result
//   QueryInterface           iid ("IID__Application" | "IConnectionPointContainer"), result
//   FindConnectionPoint      iid, result
//   Advise / Unadvise        cookie, result
//   Application.Documents, Application.Selection, Documents.Open,
//   Documents.Close, Selection.Document, Selection.End.get, Selection.End.put,
//   Selection.Start.get, Selection.Start.put, Selection.Copy, Document.Select
//       args: [{"vt":..,"inner":..,"value":..}] in call order ("inner" only
//       for VT_BYREF|VT_VARIANT); values: VT_BOOL -1/0, VT_I4 number, BSTR
//       UTF-8 string, VT_ERROR scode as unsigned number, VT_EMPTY null.
//       named: the named DISPIDs when there are any (-3 on property puts).
//       result: HRESULT returned by Invoke (unsigned number); scode: EXCEPINFO.scode
//       when result is DISP_E_EXCEPTION; action: "die" | "hang" (then no result).
//       Extra: Documents.Open document, textLength; Documents.Close closed;
//       Selection.End.get / Start.get value; Selection.Copy copied (the text);
//       Selection.Document / Document.Select document.
//   GetIDsOfNames            object, name, result: a name this double does not serve
//   Invoke                   object, dispid, flags, result: an unserved member
//   Window.Minimised         the OpusApp window was minimised
//   Window.Close             WM_CLOSE arrived (ignored: the double lives until killed)

#include "Automation.h"
#include "Record.h"
#include "testing/Utf.h"
#include "testing/WordGuids.h"

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

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const word_double::Script script = word_double::LoadScript();
    const UniqueWindow window(CreateMainWindow(instance, script.windowTitle));
    if (window) {
        // Shown normally so that a test can tell the worker minimised it.
        ::ShowWindow(window.get(), SW_SHOWNORMAL);
        ::UpdateWindow(window.get());
    }
    word_double::State().clipboardOwner = window.get();

    const ComApartment apartment(COINIT_APARTMENTTHREADED);
    const ComPtr<IDispatch> application = word_double::CreateApplication();
    const ComPtr<IClassFactory> factory = word_double::CreateClassFactory(application.Get());

    DWORD classCookie = 0;
    const HRESULT classRegistration = ::CoRegisterClassObject(
        word_ids::CLSID_Application, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &classCookie);
    DWORD activeCookie = 0;
    const HRESULT activeObject = ::RegisterActiveObject(application.Get(), word_ids::CLSID_Application,
                                                        ACTIVEOBJECT_STRONG, &activeCookie);

    // Logged once both registrations are in place: a test that sees this
    // line for a pid can attach to that instance at once.
    json started = word_double::LogLine("Started");
    started["commandLine"] = testing_text::Utf8(::GetCommandLineW());
    started["classRegistration"] = static_cast<uint32_t>(classRegistration);
    started["activeObject"] = static_cast<uint32_t>(activeObject);
    started["windowTitle"] = testing_text::Utf8(script.windowTitle);
    started["window"] = window ? 1 : 0;
    word_double::AppendLog(started);

    // Runs until the process is killed; the registrations are never revoked,
    // as with a Word that is still running.
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}
