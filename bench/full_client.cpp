// full_client: the second floor (b) the worker is measured against. It is the
// bare client plus every step a faithful worker must make and the bare client
// skips, and the same fixed waits, written apart from the worker and sharing no
// code with it but the generic owner types (which cost nothing beyond the
// calls they make), so that whatever the worker spends beyond it is the
// worker's own:
//
//   - a hidden top-level window of the worker's size, a 1 ms window timer set
//     during its creation; during the creation also no critical-error boxes
//     and its own folder as the current directory; the request starts at the
//     first tick;
//   - the host's block and mutex, opened by name, and the host's handshake:
//     busy, one heartbeat and its 10 ms sleep, GoSignal, the mutex, the
//     hand-over release with its 10 ms sleep, the wait for PreviewTaken;
//   - the query for Word's own interface, an event sink advised and unadvised;
//   - every Word object fetched afresh right before each use and released
//     right after; each member's DISPID looked up once;
//   - both minimises.
//
// The host starts it as it starts the worker, with no command line.
#include "channel/Protocol.h"
#include "channel/SharedBlockLayout.h"
#include "common/ComResources.h"

#include <ocidl.h>

#include <cstdint>
#include <ctime>

namespace {

using namespace SharedBlockLayout;

UniqueMappedView g_view;
volatile std::uint8_t* g_block = nullptr;
UniqueHandle g_mutex;
// --- Word, late-bound --------------------------------------------------------------

// Each member's DISPID, looked up at its first use.
struct Member {
    const wchar_t* name;
    DISPID id = DISPID_UNKNOWN;
    DISPID Of(IDispatch* object) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        if (id == DISPID_UNKNOWN && object) (void)object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        return id;
    }
};
Member g_documents{L"Documents"}, g_selection{L"Selection"}, g_close{L"Close"}, g_open{L"Open"},
    g_document{L"Document"}, g_select{L"Select"}, g_end{L"End"}, g_start{L"Start"}, g_copy{L"Copy"},
    g_automationSecurity{L"AutomationSecurity"};

// One call; `args` in IDispatch's order (last first).
HRESULT Call(IDispatch* object, Member& member, WORD flags, VARIANT* args = nullptr, UINT count = 0,
             VARIANT* result = nullptr) {
    if (!object) return E_POINTER;
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS params{args, nullptr, count, 0};
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &putId;
        params.cNamedArgs = 1;
    }
    UniqueExcepInfo info;
    UINT argError = 0;
    UniqueVariant ignored;
    return object->Invoke(member.Of(object), IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                          result ? result : ignored.put(), &info.get(), &argError);
}

ComPtr<IDispatch> Get(IDispatch* object, Member& member) {
    UniqueVariant value;
    ComPtr<IDispatch> out;
    if (SUCCEEDED(Call(object, member, DISPATCH_PROPERTYGET, nullptr, 0, value.put())) && value.get().vt == VT_DISPATCH)
        out = value.get().pdispVal;
    return out;
}

void Put(IDispatch* object, Member& member, long position) {
    VARIANT value{};
    value.vt = VT_I4;
    value.lVal = position;
    (void)Call(object, member, DISPATCH_PROPERTYPUT, &value, 1);
}

long ReadEnd(IDispatch* selection) {
    UniqueVariant value;
    long end = 0;
    if (SUCCEEDED(Call(selection, g_end, DISPATCH_PROPERTYGET, nullptr, 0, value.put())) && value.get().vt == VT_I4)
        end = value.get().lVal;
    return end;
}

// Word takes the optional arguments of Open and Close as variants by reference.
template <UINT Count>
struct ByRef {
    UniqueVariant owned[Count];
    VARIANT references[Count] = {};
    VARIANT& operator[](UINT i) { return owned[i].get(); }
    VARIANT* LastFirst() {
        for (UINT i = 0; i < Count; ++i) {
            references[Count - 1 - i].vt = VT_BYREF | VT_VARIANT;
            references[Count - 1 - i].pvarVal = &owned[i].get();
        }
        return references;
    }
};

void Bool(VARIANT& v, bool value) {
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}
void Long(VARIANT& v, long value) {
    v.vt = VT_I4;
    v.lVal = value;
}
void Text(VARIANT& v, const char* value) {
    const int length = ::MultiByteToWideChar(CP_ACP, 0, value, -1, nullptr, 0);
    v.vt = VT_BSTR;
    v.bstrVal = ::SysAllocStringLen(nullptr, static_cast<UINT>(length > 0 ? length - 1 : 0));
    if (length > 1) ::MultiByteToWideChar(CP_ACP, 0, value, -1, v.bstrVal, length);
}
void Missing(VARIANT& v) {
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
}

void CloseDocuments(IDispatch* application) {
    const ComPtr<IDispatch> documents = Get(application, g_documents);
    ByRef<3> args;
    Long(args[0], 0);
    Long(args[1], 1);
    Bool(args[2], false);
    (void)Call(documents.Get(), g_close, DISPATCH_METHOD, args.LastFirst(), 3);
}

bool OpenDocument(IDispatch* application, const char* path) {
    const ComPtr<IDispatch> documents = Get(application, g_documents);
    ByRef<15> args;
    Text(args[0], path);
    Bool(args[1], false);
    Bool(args[2], false);
    Bool(args[3], false);
    Text(args[4], "1");
    Text(args[5], "1");
    Bool(args[6], true);
    Text(args[7], "1");
    Text(args[8], "1");
    Long(args[9], 0);
    Missing(args[10]);
    Bool(args[11], true);
    Bool(args[12], false);
    Missing(args[13]);
    Bool(args[14], true);
    return SUCCEEDED(Call(documents.Get(), g_open, DISPATCH_METHOD, args.LastFirst(), 15));
}

void MinimiseByTitle() { ::ShowWindow(::FindWindowA(nullptr, "Microsoft Word"), SW_MINIMIZE); }
void MinimiseByClass() {
    if (HWND word = ::FindWindowA("OpusApp", "Microsoft Word")) ::ShowWindow(word, SW_MINIMIZE);
}

// Word's events are ignored; the sink only has to be there.
class Sink final : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == Protocol::DIID_ApplicationEvents3) {
            *object = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return S_OK;
    }
};
Sink g_sink;

void ReleaseFully() {
    while (::ReleaseMutex(g_mutex.get())) ::Sleep(10);
}

// The Word side of the request, on the normal road.
void Preview() {
    g_block[WordReady] = 1;
    g_block[OpenRejected] = 0;
    ComPtr<IUnknown> running;
    if (FAILED(::GetActiveObject(Protocol::CLSID_WordApplication, nullptr, &running)) || !running) {
        g_block[WordReady] = 0;
        return;
    }
    ComPtr<IUnknown> own;
    (void)running->QueryInterface(Protocol::IID__Application, reinterpret_cast<void**>(own.GetAddressOf()));
    ComPtr<IDispatch> application;
    if (FAILED(running.As(&application))) return;
    running.Reset();
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    {
        ComPtr<IConnectionPointContainer> container;
        if (SUCCEEDED(application.As(&container)) && SUCCEEDED(container->FindConnectionPoint(Protocol::DIID_ApplicationEvents3, &point)))
            (void)point->Advise(&g_sink, &cookie);
    }

    IDispatch* word = application.Get();
    CloseDocuments(word);
    MinimiseByTitle();
    char path[520] = "";
    for (std::size_t i = 0; i < 519 && g_block[DocumentPath + i]; ++i) path[i] = static_cast<char>(g_block[DocumentPath + i]);
    // The macro guard around the open: read the user's setting, forbid
    // macros (3), put the setting back once the documents are closed.
    UniqueVariant usersSetting;
    const bool guarded =
        SUCCEEDED(Call(word, g_automationSecurity, DISPATCH_PROPERTYGET, nullptr, 0, usersSetting.put())) &&
        usersSetting.get().vt == VT_I4;
    if (guarded) Put(word, g_automationSecurity, 3);
    const bool opened = OpenDocument(word, path);

    if (opened) {
        (void)Call(Get(Get(word, g_selection).Get(), g_document).Get(), g_select, DISPATCH_METHOD);
        (void)ReadEnd(Get(word, g_selection).Get());
        if (ReadEnd(Get(word, g_selection).Get()) > Protocol::PreviewLengthLimit)
            Put(Get(word, g_selection).Get(), g_end, Protocol::PreviewLengthLimit);
        (void)Call(Get(word, g_selection).Get(), g_copy, DISPATCH_METHOD);

        g_block[PreviewTaken] = 0;
        ReleaseFully();
        while (!g_block[PreviewTaken] && !g_block[StopWaiting]) ::Sleep(10);
        Put(Get(word, g_selection).Get(), g_start, 0);
        Put(Get(word, g_selection).Get(), g_end, 0);
        (void)Call(Get(word, g_selection).Get(), g_copy, DISPATCH_METHOD);
    }
    CloseDocuments(word);
    if (guarded) Put(word, g_automationSecurity, usersSetting.get().lVal);
    if (point) (void)point->Unadvise(cookie);
    point.Reset();
    application.Reset();
    MinimiseByClass();
}

void Handshake() {
    if (!g_block[RequestPending]) return;
    g_block[WorkerBusy] = 1;
    g_block[RequestPending] = 0;
    if (g_block[HostActive]) {
        do {
            *reinterpret_cast<volatile std::int32_t*>(g_block + Heartbeat) = static_cast<std::int32_t>(std::time(nullptr));
            ::Sleep(10);
        } while (!g_block[GoSignal]);
        (void)::WaitForSingleObject(g_mutex.get(), INFINITE);
        if (g_block[HostActive]) {
            g_block[GoSignal] = 0;
            Preview();
        }
    }
    ReleaseFully();
    g_block[WorkerBusy] = 0;
}

void EnterOwnFolder() {
    char path[MAX_PATH * 2] = "";
    const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return;
    for (char* p = path + length; p > path;) {
        p = ::CharPrevA(path, p);
        if (*p == '\\') {
            p[1] = '\0';
            ::SetCurrentDirectoryA(path);
            return;
        }
    }
}

bool Attach() {
    const UniqueHandle mapping(::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, MappingName));
    if (!mapping) return false;
    g_view.reset(::MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!g_view) return false;
    g_block = static_cast<volatile std::uint8_t*>(g_view.get());
    char name[260] = "";
    for (std::size_t i = 0; i < 259 && g_block[MutexName + i]; ++i) name[i] = static_cast<char>(g_block[MutexName + i]);
    g_mutex.reset(::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name));
    return static_cast<bool>(g_mutex);
}

void Detach() {
    g_block = nullptr;
    g_view.reset();
    g_mutex.reset();
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            ::SetTimer(window, 1, 1, nullptr);
            ::SetErrorMode(SEM_FAILCRITICALERRORS);
            EnterOwnFolder();
            if (!Attach()) ::PostQuitMessage(0);
            return 0;
        case WM_TIMER:
            ::KillTimer(window, 1);
            Handshake();
            Detach();
            // Closing the main window ends the loop, as the worker's does.
            (void)::SendMessageA(window, WM_CLOSE, 0, 0);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "FullClientWindow";
    ::RegisterClassExA(&windowClass);
    RECT frame{0, 0, 554, 292};
    ::AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
    const HWND window = ::CreateWindowExA(0, "FullClientWindow", "WordForm", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                          CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                          nullptr, instance, nullptr);
    if (window) {
        MSG message;
        while (::GetMessageA(&message, nullptr, 0, 0) > 0) ::DispatchMessageA(&message);
    }
    Detach();
    ::CoUninitialize();
    return 0;
}
