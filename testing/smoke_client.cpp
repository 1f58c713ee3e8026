// word_double_smoke: drives the Word double the way the worker does, through
// late-bound IDispatch from another process, and checks what comes back and
// what the double logged. Prints timings; exits 1 on any mismatch.

#include "TestSupport.h"
#include "channel/Protocol.h"
#include "common/ComResources.h"
#include "common/TextConversion.h"
#include "testing/OtherProgramClipboard.h"
#include "testing/ProcessTools.h"

#include <ocidl.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
    if (!ok) ++failures;
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

double NowMs() {
    LARGE_INTEGER frequency, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Outcome {
    HRESULT hr = S_OK;
    HRESULT scode = S_OK;  // EXCEPINFO.scode, else wCode as a FACILITY_CONTROL code
    HRESULT rawScode = S_OK;
    WORD wCode = 0;
    bool deferredFillIn = false;  // pfnDeferredFillIn arrived set
    std::wstring description;
    std::wstring source;
};

// Calls a member by name; `args` are in call order.
[[nodiscard]] Outcome Call(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args = {},
             VARIANT* result = nullptr) {
    Outcome outcome;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    outcome.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(outcome.hr)) return outcome;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &putId;
        params.cNamedArgs = 1;
    }
    EXCEPINFO exception{};
    UINT argumentError = 0;
    outcome.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception, &argumentError);
    // Never called here: from another process it would point into the server.
    outcome.deferredFillIn = exception.pfnDeferredFillIn != nullptr;
    const UniqueBstr description(exception.bstrDescription), source(exception.bstrSource), help(exception.bstrHelpFile);
    outcome.rawScode = exception.scode;
    outcome.wCode = exception.wCode;
    outcome.scode = exception.scode ? exception.scode : (exception.wCode ? MAKE_HRESULT(1, FACILITY_CONTROL, exception.wCode) : 0);
    if (description) outcome.description = description.get();
    if (source) outcome.source = source.get();
    return outcome;
}

ComPtr<IDispatch> GetObject(IDispatch* from, const wchar_t* name, Outcome* outcome = nullptr) {
    UniqueVariant value;
    const Outcome result = Call(from, name, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, value.put());
    if (outcome) *outcome = result;
    if (FAILED(result.hr) || value.get().vt != VT_DISPATCH) return nullptr;
    return ComPtr<IDispatch>(value.get().pdispVal);
}

long GetLong(IDispatch* from, const wchar_t* name) {
    UniqueVariant value;
    if (FAILED(Call(from, name, DISPATCH_PROPERTYGET, {}, value.put()).hr) || value.get().vt != VT_I4) return -1;
    return value.get().lVal;
}

VARIANT Long(long value) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

VARIANT Bool(bool value) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

// Documents.Open with fifteen VT_BYREF|VT_VARIANT arguments, as the worker passes them.
Outcome OpenDocument(IDispatch* documents, const std::wstring& path) {
    UniqueVariant values[15];
    auto set = [&](int i, VARTYPE vt) -> VARIANT& { values[i].get().vt = vt; return values[i].get(); };
    set(0, VT_BSTR).bstrVal = ::SysAllocString(path.c_str());
    for (int i : {1, 3, 6, 11, 12, 14}) set(i, VT_BOOL).boolVal = VARIANT_FALSE;
    set(2, VT_BOOL).boolVal = VARIANT_TRUE;  // ReadOnly
    for (int i : {4, 5, 7, 8}) set(i, VT_BSTR).bstrVal = ::SysAllocString(L"");
    set(9, VT_I4).lVal = 0;  // wdOpenFormatAuto
    for (int i : {10, 13}) set(i, VT_ERROR).scode = DISP_E_PARAMNOTFOUND;
    std::vector<VARIANT> args(15);
    for (int i = 0; i < 15; ++i) {
        ::VariantInit(&args[i]);
        args[i].vt = VT_BYREF | VT_VARIANT;
        args[i].pvarVal = &values[i].get();
    }
    return Call(documents, L"Open", DISPATCH_METHOD, args);
}

std::wstring ClipboardUnicode() {
    ClipboardSession clipboard;
    if (!clipboard.Open(nullptr)) return L"<cannot open>";
    const GlobalLockScope lock(::GetClipboardData(CF_UNICODETEXT));
    return lock.data() ? std::wstring(static_cast<const wchar_t*>(lock.data())) : L"<none>";
}

std::string ClipboardAnsi() {
    ClipboardSession clipboard;
    if (!clipboard.Open(nullptr)) return "<cannot open>";
    const GlobalLockScope lock(::GetClipboardData(CF_TEXT));
    return lock.data() ? std::string(static_cast<const char*>(lock.data())) : "<none>";
}

void SetClipboard(const std::wstring& text) {
    ClipboardSession clipboard;
    if (!clipboard.Open(nullptr) || !::EmptyClipboard()) return;
    (void)otherprogram::SetClipboardText(text);
}

// A sink that is only ever advised, never called.
class QuietSink final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        *object = (iid == IID_IUnknown || iid == IID_IDispatch || iid == Protocol::DIID_ApplicationEvents3)
                      ? static_cast<IDispatch*>(this) : nullptr;
        return *object ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override { *count = 0; return S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return S_OK; }
};

[[nodiscard]] HRESULT CreateWord(ComPtr<IDispatch>& application, double* ms = nullptr) {
    const double start = NowMs();
    const HRESULT hr = ::CoCreateInstance(Protocol::CLSID_WordApplication, nullptr,
                                          CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch, &application);
    if (ms) *ms = NowMs() - start;
    return hr;
}

void RunTaskkillLikeTheWorker() {
    // The worker's exact call; cmd.exe searches the current directory first.
    (void)::SetCurrentDirectoryW(testsupport::TestBinDir().c_str());
    (void)std::system("taskkill.exe /f /t /im \"winword.exe\"");
}

// What the sections share: the document, and the double's objects as the
// preview's calls left them.
struct Smoke {
    std::wstring documentPath;
    std::wstring documentText;
    ComPtr<IDispatch> word;
    ComPtr<IDispatch> documents;
    ComPtr<IDispatch> selection;
    ComPtr<IDispatch> document;
};

Smoke Prepare() {
    testsupport::KillAllWordDoubles();
    Check(testsupport::RegisterWordDouble(), "register the double");
    testsupport::ClearWordLog();
    testsupport::ClearTaskkillLog();
    testsupport::WriteWordScript(json::object());

    Smoke s;
    s.documentPath = testsupport::TestBinDir() + L"\\smoke-document.txt";
    const std::string documentBytes = "Hello W\xF6rld\r\nsecond line";  // CP 1252
    ::DeleteFileW(s.documentPath.c_str());
    (void)process_tools::AppendToFile(s.documentPath, documentBytes);
    s.documentText = WideText(documentBytes, CP_ACP);
    return s;
}

// Cold start through CoCreateInstance; false when the double does not come up.
[[nodiscard]] bool ColdStart(Smoke& s) {
    double ms = 0;
    HRESULT hr = CreateWord(s.word, &ms);
    std::printf("CoCreateInstance (cold, starts the double): %s in %.0f ms\n", Hex(hr).c_str(), ms);
    Check(SUCCEEDED(hr), "CoCreateInstance starts the double");
    if (FAILED(hr)) return false;
    {
        ComPtr<IUnknown> running;
        hr = ::GetActiveObject(Protocol::CLSID_WordApplication, nullptr, &running);
        std::printf("GetActiveObject right after CoCreateInstance (registration delayed): %s\n", Hex(hr).c_str());
    }
    auto started = testsupport::WordCalls(testsupport::ReadWordLog(), "Started");
    Check(started.size() == 1 && started[0]["commandLine"].get<std::string>().find("Embedding") != std::string::npos,
          "started with -Embedding: " + (started.empty() ? std::string("-") : started[0].dump()));
    return true;
}

// The QI for Word's own interface and the event sink.
void EventSink(const Smoke& s) {
    ComPtr<IUnknown> typed;
    HRESULT hr = s.word->QueryInterface(Protocol::IID__Application, &typed);
    std::printf("QI IID__Application across processes: %s\n", Hex(hr).c_str());
    ComPtr<IConnectionPointContainer> container;
    hr = s.word.As(&container);
    Check(SUCCEEDED(hr), "QI IConnectionPointContainer " + Hex(hr));
    if (!container) return;
    ComPtr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(Protocol::DIID_ApplicationEvents3, &point);
    Check(SUCCEEDED(hr), "FindConnectionPoint " + Hex(hr));
    QuietSink sink;
    DWORD cookie = 0;
    if (point) {
        hr = point->Advise(&sink, &cookie);
        Check(SUCCEEDED(hr), "Advise " + Hex(hr));
        Check(SUCCEEDED(point->Unadvise(cookie)), "Unadvise");
    }
}

// The preview's calls, in the worker's order, and what they leave on the clipboard.
void PreviewCalls(Smoke& s) {
    const double previewStart = NowMs();
    s.documents = GetObject(s.word.Get(), L"Documents");
    Check(s.documents != nullptr, "Application.Documents");
    Outcome outcome = Call(s.documents.Get(), L"Close", DISPATCH_METHOD, {Long(0), Long(1), Bool(false)});
    Check(SUCCEEDED(outcome.hr), "Documents.Close " + Hex(outcome.hr));
    outcome = OpenDocument(s.documents.Get(), s.documentPath);
    Check(SUCCEEDED(outcome.hr), "Documents.Open " + Hex(outcome.hr));
    s.selection = GetObject(s.word.Get(), L"Selection");
    s.document = s.selection ? GetObject(s.selection.Get(), L"Document") : nullptr;
    Check(s.document && SUCCEEDED(Call(s.document.Get(), L"Select", DISPATCH_METHOD).hr), "Document.Select");
    const long end = GetLong(s.selection.Get(), L"End");
    Check(end == static_cast<long>(s.documentText.size()) + 1,
          "Selection.End after the final paragraph mark = " + std::to_string(end));
    Check(SUCCEEDED(Call(s.selection.Get(), L"End", DISPATCH_PROPERTYPUT, {Long(5)}).hr), "Selection.End put");
    Check(SUCCEEDED(Call(s.selection.Get(), L"Start", DISPATCH_PROPERTYPUT, {Long(0)}).hr), "Selection.Start put");
    outcome = Call(s.selection.Get(), L"Copy", DISPATCH_METHOD);
    std::printf("preview calls (Documents..Copy) took %.1f ms\n", NowMs() - previewStart);
    Check(SUCCEEDED(outcome.hr), "Selection.Copy " + Hex(outcome.hr));
    Check(ClipboardUnicode() == s.documentText.substr(0, 5), "clipboard CF_UNICODETEXT: " + Utf8Text(ClipboardUnicode()));
    Check(ClipboardAnsi() == "Hello", "clipboard CF_TEXT: " + ClipboardAnsi());
    std::vector<int> rendered;
    for (const json& line : testsupport::WordCalls(testsupport::ReadWordLog(), "Clipboard.Render"))
        rendered.push_back(line.value("format", 0));
    Check(rendered == std::vector<int>{CF_UNICODETEXT, CF_TEXT},
          "the double's data object rendered each format on request: " + json(rendered).dump());
}

void CallTimings(const Smoke& s) {
    const double start = NowMs();
    for (int i = 0; i < 20; ++i) (void)GetLong(s.selection.Get(), L"Start");
    std::printf("GetIDsOfNames + logged Invoke (Selection.Start get): %.2f ms\n", (NowMs() - start) / 20);
    DISPID id = 0;
    LPOLESTR name[] = {const_cast<LPOLESTR>(L"Start")};
    const double bare = NowMs();
    for (int i = 0; i < 20; ++i) (void)s.selection->GetIDsOfNames(IID_NULL, name, 1, LOCALE_USER_DEFAULT, &id);
    std::printf("bare round trip (GetIDsOfNames, not logged): %.2f ms\n", (NowMs() - bare) / 20);
}

// Whole text, names in another case, and the arguments of Open as the double logged them.
void WholeTextAndLoggedArguments(const Smoke& s) {
    (void)Call(s.document.Get(), L"sElEcT", DISPATCH_METHOD);
    Check(SUCCEEDED(Call(s.selection.Get(), L"copy", DISPATCH_METHOD).hr), "case-insensitive names");
    Check(ClipboardUnicode() == s.documentText + L"\r\n", "whole document and its final paragraph mark on the clipboard");

    const auto log = testsupport::ReadWordLog();
    const auto opens = testsupport::WordCalls(log, "Documents.Open");
    const int expectedInner[15] = {VT_BSTR, VT_BOOL, VT_BOOL, VT_BOOL, VT_BSTR, VT_BSTR, VT_BOOL, VT_BSTR,
                                   VT_BSTR, VT_I4,   VT_ERROR, VT_BOOL, VT_BOOL, VT_ERROR, VT_BOOL};
    bool argsIntact = opens.size() == 1 && opens[0]["args"].size() == 15;
    for (int i = 0; argsIntact && i < 15; ++i)
        argsIntact = opens[0]["args"][i]["vt"] == (VT_BYREF | VT_VARIANT) && opens[0]["args"][i]["inner"] == expectedInner[i];
    Check(argsIntact, "15 by-ref arguments arrive with their inner types");
    if (!opens.empty()) std::printf("  logged: %s\n", opens[0].dump().c_str());
    for (const char* call : {"QueryInterface", "Advise", "Unadvise", "Documents.Close", "Selection.End.get"}) {
        const auto lines = testsupport::WordCalls(log, call);
        std::printf("  %s: %s\n", call, lines.empty() ? "(not logged)" : lines.back().dump().c_str());
    }
}

// Open's scripted failures, a scripted text, Selection.End reading 0, Copy of nothing.
void ScriptedBehaviour(const Smoke& s) {
    struct ErrorCase {
        const char* name;
        json script;
        HRESULT expectedHr;
        HRESULT expectedScode;
    };
    const ErrorCase openCases[] = {
        {"Word error raised as an exception", {{"openResults", {"0x800A1520"}}}, DISP_E_EXCEPTION, static_cast<HRESULT>(0x800A1520)},
        {"other codes returned directly", {{"openResults", {"0x80010105"}}}, static_cast<HRESULT>(0x80010105), S_OK},
        {"missing file", {{"openResults", json::array()}}, DISP_E_EXCEPTION, static_cast<HRESULT>(0x800A1436)},
    };
    for (const ErrorCase& c : openCases) {
        testsupport::WriteWordScript(c.script);
        const Outcome outcome =
            OpenDocument(s.documents.Get(), std::string(c.name) == "missing file" ? L"C:\\no\\such.doc" : s.documentPath);
        Check(outcome.hr == c.expectedHr && outcome.scode == c.expectedScode,
              std::string("Open: ") + c.name + ": " + Hex(outcome.hr) + " scode " + Hex(outcome.scode) + " \"" +
                  Utf8Text(outcome.description) + "\" from " + Utf8Text(outcome.source));
    }

    testsupport::WriteWordScript({{"text", "scripted text"}});
    Check(SUCCEEDED(OpenDocument(s.documents.Get(), L"C:\\no\\such.doc").hr), "scripted text needs no file");
    const long endReads = static_cast<long>(testsupport::WordCalls(testsupport::ReadWordLog(), "Selection.End.get").size());
    testsupport::WriteWordScript({{"text", "scripted text"}, {"endZeroReads", endReads + 1}});
    (void)Call(s.document.Get(), L"Select", DISPATCH_METHOD);  // the older document: Select makes it active again
    (void)Call(GetObject(s.selection.Get(), L"Document").Get(), L"Select", DISPATCH_METHOD);
    const long first = GetLong(s.selection.Get(), L"End"), second = GetLong(s.selection.Get(), L"End");
    Check(first == 0 && second == static_cast<long>(s.documentText.size()) + 1,
          "endZeroReads: " + std::to_string(first) + " then " + std::to_string(second));

    SetClipboard(L"marker");
    (void)Call(s.selection.Get(), L"End", DISPATCH_PROPERTYPUT, {Long(0)});
    const Outcome outcome = Call(s.selection.Get(), L"Copy", DISPATCH_METHOD);
    Check(outcome.hr == DISP_E_EXCEPTION && outcome.scode == static_cast<HRESULT>(0x800A11FD),
          "Copy of an empty selection: " + Hex(outcome.hr) + " scode " + Hex(outcome.scode));
    Check(ClipboardUnicode() == L"marker", "clipboard left alone by a failed Copy");
}

// Where a Word error's code travels, seen across processes.
void ErrorCodeForms(const Smoke& s) {
    for (const char* form : {"scode", "wCode", "none"}) {
        for (bool deferred : {false, true}) {
            testsupport::WriteWordScript({{"openResults", {"0x800A1520"}}, {"errorInfo", form}, {"deferredFillIn", deferred}});
            const Outcome outcome = OpenDocument(s.documents.Get(), s.documentPath);
            std::printf("error as %s%s: hr %s scode %s wCode %u fill-in arrived %d \"%s\"\n", form,
                        deferred ? " with a deferred fill-in" : "", Hex(outcome.hr).c_str(), Hex(outcome.rawScode).c_str(),
                        outcome.wCode, outcome.deferredFillIn ? 1 : 0, Utf8Text(outcome.description).c_str());
            Check(outcome.hr == DISP_E_EXCEPTION && !outcome.deferredFillIn,
                  std::string("error as ") + form + " arrives as DISP_E_EXCEPTION, any fill-in already run");
        }
    }
    testsupport::WriteWordScript(json::object());
}

// A Word that is not itself: no final paragraph mark; and the caption.
void EmptyDocuments(const Smoke& s) {
    testsupport::WriteWordScript({{"text", ""}, {"finalParagraphMark", false}});
    Check(SUCCEEDED(OpenDocument(s.documents.Get(), L"C:\\empty.doc").hr), "empty document without its mark");
    (void)Call(GetObject(s.selection.Get(), L"Document").Get(), L"Select", DISPATCH_METHOD);
    Check(GetLong(s.selection.Get(), L"End") == 0, "nothing to select without the final paragraph mark");
    testsupport::WriteWordScript({{"text", ""}});
    Check(SUCCEEDED(OpenDocument(s.documents.Get(), L"C:\\empty.doc").hr), "empty document");
    (void)Call(GetObject(s.selection.Get(), L"Document").Get(), L"Select", DISPATCH_METHOD);
    Check(GetLong(s.selection.Get(), L"End") == 1, "an empty document selects its final paragraph mark");
    Check(SUCCEEDED(Call(s.selection.Get(), L"Copy", DISPATCH_METHOD).hr) && ClipboardUnicode() == L"\r\n",
          "and copies it as a line break");
    Check(testsupport::FindWordWindow(L"empty.doc - Microsoft Word") != nullptr, "the caption names the active document");
    (void)Call(s.documents.Get(), L"Close", DISPATCH_METHOD, {Long(0), Long(1), Bool(false)});
    Check(testsupport::FindWordWindow(L"Microsoft Word") != nullptr, "with none open it is \"Microsoft Word\"");
    testsupport::WriteWordScript(json::object());
}

void AttachToTheRunningOne() {
    ComPtr<IUnknown> running;
    const double start = NowMs();
    const HRESULT hr = ::GetActiveObject(Protocol::CLSID_WordApplication, nullptr, &running);
    std::printf("GetActiveObject (running double): %s in %.1f ms\n", Hex(hr).c_str(), NowMs() - start);
    Check(SUCCEEDED(hr), "GetActiveObject attaches");
}

// Death and what it leaves behind; the taskkill double puts things right.
void DeathAndTaskkill(Smoke& s) {
    testsupport::WriteWordScript({{"dieOn", "Documents.Close"},
                                  {"dieOnCount", testsupport::WordCalls(testsupport::ReadWordLog(), "Documents.Close").size() + 1}});
    Outcome outcome = Call(s.documents.Get(), L"Close", DISPATCH_METHOD, {Long(0), Long(1), Bool(false)});
    Check(outcome.hr == static_cast<HRESULT>(0x800706BE), "call in flight when the double dies: " + Hex(outcome.hr));
    outcome = Call(s.documents.Get(), L"Close", DISPATCH_METHOD, {Long(0), Long(1), Bool(false)});
    Check(outcome.hr == static_cast<HRESULT>(0x800706BA), "call after the double died: " + Hex(outcome.hr));
    s.selection.Reset();
    s.document.Reset();
    s.documents.Reset();
    s.word.Reset();
    testsupport::WriteWordScript(json::object());

    ComPtr<IDispatch> word;
    double ms = 0;
    HRESULT hr = CreateWord(word, &ms);
    std::printf("CoCreateInstance after the server died (Wine keeps its registration): %s in %.0f ms\n", Hex(hr).c_str(), ms);
    word.Reset();

    double killStart = NowMs();
    RunTaskkillLikeTheWorker();
    std::printf("taskkill double with nothing to kill: %.0f ms\n", NowMs() - killStart);
    hr = CreateWord(word, &ms);
    std::printf("CoCreateInstance after the taskkill double restarted rpcss: %s in %.0f ms\n", Hex(hr).c_str(), ms);
    Check(SUCCEEDED(hr), "CoCreateInstance works again after taskkill");
    word.Reset();
    const auto alive = testsupport::WordProcessIds();
    Check(alive.size() == 1, "one double running: " + std::to_string(alive.size()));

    killStart = NowMs();
    RunTaskkillLikeTheWorker();
    std::printf("taskkill double killing a live double: %.0f ms\n", NowMs() - killStart);
    Check(testsupport::WordProcessIds().empty(), "taskkill double ended the double");
    const auto commands = testsupport::ReadTaskkillLog();
    Check(commands.size() == 2 && commands[1] == "taskkill.exe /f /t /im \"winword.exe\"",
          "taskkill log: " + (commands.empty() ? std::string("-") : commands.back()));
    hr = CreateWord(word, &ms);
    Check(SUCCEEDED(hr), "CoCreateInstance after a kill: " + Hex(hr) + " in " + std::to_string(static_cast<int>(ms)) + " ms");
}

// A hung double, freed by killing it.
void HungDouble(const Smoke& s) {
    testsupport::WriteWordScript({{"hangOn", "Documents.Open"},
                                  {"hangOnCount", testsupport::WordCalls(testsupport::ReadWordLog(), "Documents.Open").size() + 1}});
    std::atomic<bool> returned = false;
    HRESULT hungHr = S_OK;
    std::thread caller([&] {
        const ComApartment ownApartment(COINIT_MULTITHREADED);
        ComPtr<IUnknown> running;
        ComPtr<IDispatch> application;
        if (SUCCEEDED(::GetActiveObject(Protocol::CLSID_WordApplication, nullptr, &running)) && SUCCEEDED(running.As(&application))) {
            const ComPtr<IDispatch> hungDocuments = GetObject(application.Get(), L"Documents");
            if (hungDocuments) hungHr = OpenDocument(hungDocuments.Get(), s.documentPath).hr;
        }
        returned = true;
    });
    ::Sleep(1500);
    const auto hungOpens = testsupport::WordCalls(testsupport::ReadWordLog(), "Documents.Open");
    Check(!returned && !hungOpens.empty() && hungOpens.back().value("action", "") == "hang",
          "hangOn: the call is logged and never answered");
    testsupport::KillAllWordDoubles();
    caller.join();
    Check(hungHr == static_cast<HRESULT>(0x800706BE), "hung call after the kill: " + Hex(hungHr));
    testsupport::WriteWordScript(json::object());
}

void NotInstalled() {
    testsupport::KillAllWordDoubles();
    testsupport::UnregisterWordDouble();
    ComPtr<IDispatch> word;
    HRESULT hr = CreateWord(word);
    Check(hr == REGDB_E_CLASSNOTREG, "not registered: CoCreateInstance " + Hex(hr));
    ComPtr<IUnknown> running;
    hr = ::GetActiveObject(Protocol::CLSID_WordApplication, nullptr, &running);
    Check(FAILED(hr), "nothing running: GetActiveObject " + Hex(hr));
    (void)testsupport::RegisterWordDouble();
}

// A warm double started directly, as a Word the user already runs.
void WarmDouble() {
    const double warmStart = NowMs();
    const DWORD pid = testsupport::StartWarmWord();
    std::printf("StartWarmWord: pid %lu in %.0f ms\n", static_cast<unsigned long>(pid), NowMs() - warmStart);
    Check(pid != 0, "StartWarmWord");
    Check(testsupport::FindWordWindow() != nullptr && !testsupport::WordWindowIsMinimised(), "OpusApp window shown normally");
    ::ShowWindow(testsupport::FindWordWindow(), SW_MINIMIZE);
    Check(testsupport::WordWindowIsMinimised(), "minimised window is iconic");
    testsupport::KillAllWordDoubles();
}

}  // namespace

int main() {
    const ComApartment apartment;
    Smoke s = Prepare();
    if (!ColdStart(s)) return 1;
    EventSink(s);
    PreviewCalls(s);
    CallTimings(s);
    WholeTextAndLoggedArguments(s);
    ScriptedBehaviour(s);
    ErrorCodeForms(s);
    EmptyDocuments(s);
    AttachToTheRunningOne();
    DeathAndTaskkill(s);
    HungDouble(s);
    NotInstalled();
    WarmDouble();

    ::DeleteFileW(s.documentPath.c_str());
    std::printf("%s\n", failures ? "SMOKE FAILED" : "smoke passed");
    return failures ? 1 : 0;
}
