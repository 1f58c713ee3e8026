#include "Automation.h"

#include "Record.h"
#include "channel/Protocol.h"
#include "common/TextConversion.h"
#include "testing/ProcessTools.h"

#include <olectl.h>
#include <shlobj.h>

#include <algorithm>
#include <map>

using nlohmann::json;

namespace word_double {

namespace {

// Word's run-time errors, as FACILITY_CONTROL codes in EXCEPINFO.scode.
constexpr HRESULT kNoDocumentOpen = static_cast<HRESULT>(0x800A1098);   // 4248
constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x800A1436);     // 5174
constexpr HRESULT kNothingSelected = static_cast<HRESULT>(0x800A11FD);  // 4605
constexpr HRESULT kObjectDeleted = static_cast<HRESULT>(0x800A16C1);    // 5825

bool IsWordError(HRESULT hr) { return (static_cast<uint32_t>(hr) & 0xFFFF0000u) == 0x800A0000u; }

bool IsGet(WORD flags) { return (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) != 0; }
bool IsPut(WORD flags) { return (flags & DISPATCH_PROPERTYPUT) != 0; }

template <typename T, typename... Args>
ComPtr<T> Make(Args&&... args) {
    ComPtr<T> object;
    object.Attach(new T(std::forward<Args>(args)...));  // born with one reference
    return object;
}

void ReturnDispatch(VARIANT* result, ComPtr<IDispatch> object) {
    if (!result) return;
    ::VariantInit(result);
    result->vt = VT_DISPATCH;
    result->pdispVal = object.Detach();
}

void ReturnLong(VARIANT* result, long value) {
    if (!result) return;
    ::VariantInit(result);
    result->vt = VT_I4;
    result->lVal = value;
}

// The value of a property put (the one argument named DISPID_PROPERTYPUT), as a long.
std::optional<long> PutValue(const DISPPARAMS* params) {
    if (!params || params->cArgs != 1) return std::nullopt;
    UniqueVariant value;
    if (FAILED(::VariantChangeType(value.put(), &params->rgvarg[0], 0, VT_I4))) return std::nullopt;
    return value.get().lVal;
}

// A script may make any call fail every time: "failCalls": {"Documents.Close": "0x800A1098"}.
[[nodiscard]] std::optional<HRESULT> ScriptedFailure(Invocation& call, EXCEPINFO* exception, HRESULT code) {
    if (SUCCEEDED(code)) return std::nullopt;
    if (IsWordError(code)) return call.Raise(exception, code, call.script().openDescription);
    return call.Finish(code);
}

[[nodiscard]] std::optional<HRESULT> FailCallsEntry(Invocation& call, EXCEPINFO* exception) {
    const auto& fail = call.script().failCalls;
    const auto it = fail.find(call.line()["call"].get<std::string>());
    if (it == fail.end()) return std::nullopt;
    return ScriptedFailure(call, exception, ParseHresult(*it));
}

long Clamp(long value, const OpenDocument& document) {
    return std::clamp(value, 0L, static_cast<long>(document.text.size()));
}

// Word's text formats end each paragraph with a line break, the final
// paragraph mark included.
std::wstring ClipboardText(const std::wstring& selected) {
    std::wstring text;
    for (size_t i = 0; i < selected.size(); ++i) {
        text.push_back(selected[i]);
        if (selected[i] == L'\r' && (i + 1 == selected.size() || selected[i + 1] != L'\n')) text.push_back(L'\n');
    }
    return text;
}

// A reference-counted object serving one interface; it deletes itself when
// the last reference goes.
template <typename Interface>
class SingleInterfaceObject : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != __uuidof(Interface)) return E_NOINTERFACE;
        *object = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = ::InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

protected:
    virtual ~SingleInterfaceObject() = default;

private:
    LONG references_ = 1;
};

// What Word's copy leaves on the clipboard: a data object in Word's own
// process that renders the text only when a reader asks for a format.
class CopiedText final : public SingleInterfaceObject<IDataObject> {
public:
    explicit CopiedText(std::wstring text) : text_(std::move(text)) {}

    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (!format || !medium) return E_INVALIDARG;
        const HRESULT offered = QueryGetData(format);
        if (FAILED(offered)) return offered;
        UniqueGlobalMemory block = Render(format->cfFormat);
        json line = LogLine("Clipboard.Render");
        line["format"] = format->cfFormat;
        AppendLog(line);
        if (!block) return E_OUTOFMEMORY;
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = block.release();
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return DATA_E_FORMATETC; }
    STDMETHODIMP QueryGetData(FORMATETC* format) override {
        if (!format) return E_INVALIDARG;
        if (format->cfFormat != CF_UNICODETEXT && format->cfFormat != CF_TEXT) return DV_E_FORMATETC;
        if (!(format->tymed & TYMED_HGLOBAL)) return DV_E_TYMED;
        if (format->dwAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        return S_OK;
    }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
        if (out) out->ptd = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override {
        if (!formats) return E_POINTER;
        *formats = nullptr;
        if (direction != DATADIR_GET) return E_NOTIMPL;
        FORMATETC offered[] = {{CF_UNICODETEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL},
                               {CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}};
        return ::SHCreateStdEnumFmtEtc(2, offered, formats);
    }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

private:
    ~CopiedText() override = default;

    UniqueGlobalMemory Render(CLIPFORMAT format) const {
        if (format == CF_UNICODETEXT) {
            UniqueGlobalMemory block(::GlobalAlloc(GMEM_MOVEABLE, (text_.size() + 1) * sizeof(wchar_t)));
            GlobalLockScope lock(block.get());
            if (!lock.data()) return {};
            std::copy(text_.c_str(), text_.c_str() + text_.size() + 1, static_cast<wchar_t*>(lock.data()));
            return block;
        }
        const std::string narrow = NarrowText(text_, CP_ACP);
        UniqueGlobalMemory block(::GlobalAlloc(GMEM_MOVEABLE, narrow.size() + 1));
        GlobalLockScope lock(block.get());
        if (!lock.data()) return {};
        std::copy(narrow.c_str(), narrow.c_str() + narrow.size() + 1, static_cast<char*>(lock.data()));
        return block;
    }

    std::wstring text_;
};

// Puts the text on the clipboard as Word's copy does, through the OLE
// clipboard; someone else holding the clipboard is waited out briefly.
[[nodiscard]] HRESULT PutOnClipboard(const std::wstring& text) {
    ComPtr<IDataObject> copied;
    copied.Attach(new CopiedText(ClipboardText(text)));
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 100; ++attempt) {
        hr = ::OleSetClipboard(copied.Get());
        if (hr != CLIPBRD_E_CANT_OPEN) break;
        ::Sleep(10);
    }
    return hr;
}

// ---------------------------------------------------------------------------

class Document final : public DispatchObject {
public:
    explicit Document(long id) : id_(id) {}

protected:
    std::span<const Member> Members() const override {
        static const Member members[] = {{L"Select", 1}};
        return members;
    }
    const char* TypeName() const override { return "Document"; }
    HRESULT Call(DISPID id, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO* exception) override {
        if (id != 1) return DISP_E_MEMBERNOTFOUND;
        Invocation call("Document.Select", params);
        call.line()["document"] = id_;
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        OpenDocument* document = State().Find(id_);
        if (!document) return call.Raise(exception, kObjectDeleted, L"Object has been deleted.");
        State().activeId = id_;
        // The whole main text, its final paragraph mark included: an empty
        // document's selection ends at 1.
        State().selectionStart = 0;
        State().selectionEnd = static_cast<long>(document->text.size());
        State().ShowActiveDocumentInCaption();
        return call.Finish(S_OK);
    }

private:
    long id_;
};

class Selection final : public DispatchObject {
protected:
    enum : DISPID { kDocument = 1, kEnd, kStart, kCopy };
    std::span<const Member> Members() const override {
        static const Member members[] = {{L"Document", kDocument}, {L"End", kEnd}, {L"Start", kStart}, {L"Copy", kCopy}};
        return members;
    }
    const char* TypeName() const override { return "Selection"; }

    HRESULT Call(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) override {
        switch (id) {
            case kDocument: return GetDocument(params, result, exception);
            case kEnd: return IsPut(flags) ? PutEnd(params, exception) : GetEnd(params, result, exception);
            case kStart: return IsPut(flags) ? PutStart(params, exception) : GetStart(params, result, exception);
            case kCopy: return Copy(params, exception);
            default: return DISP_E_MEMBERNOTFOUND;
        }
    }

private:
    static HRESULT NoDocument(Invocation& call, EXCEPINFO* exception) {
        return call.Raise(exception, kNoDocumentOpen,
                          L"This command is not available because no document is open.");
    }

    HRESULT GetDocument(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
        Invocation call("Selection.Document", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        const OpenDocument* document = State().Active();
        if (!document) return NoDocument(call, exception);
        ReturnDispatch(result, Make<Document>(document->id));
        call.line()["document"] = document->id;
        return call.Finish(S_OK);
    }

    HRESULT GetEnd(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
        Invocation call("Selection.End.get", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        if (!State().Active()) return NoDocument(call, exception);
        const long value = call.occurrence() <= call.script().endZeroReads ? 0 : State().selectionEnd;
        ReturnLong(result, value);
        call.line()["value"] = value;
        return call.Finish(S_OK);
    }

    HRESULT GetStart(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
        Invocation call("Selection.Start.get", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        if (!State().Active()) return NoDocument(call, exception);
        ReturnLong(result, State().selectionStart);
        call.line()["value"] = State().selectionStart;
        return call.Finish(S_OK);
    }

    HRESULT PutEnd(DISPPARAMS* params, EXCEPINFO* exception) {
        return PutPosition("Selection.End.put", SelectionEnd::End, params, exception);
    }

    HRESULT PutStart(DISPPARAMS* params, EXCEPINFO* exception) {
        return PutPosition("Selection.Start.put", SelectionEnd::Start, params, exception);
    }

    // Like Word: moving one end past the other drags the other along.
    enum class SelectionEnd { Start, End };
    HRESULT PutPosition(const char* name, SelectionEnd which, DISPPARAMS* params, EXCEPINFO* exception) {
        Invocation call(name, params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        const OpenDocument* document = State().Active();
        if (!document) return NoDocument(call, exception);
        const auto value = PutValue(params);
        if (!value) return call.Finish(DISP_E_TYPEMISMATCH);
        const long position = Clamp(*value, *document);
        if (which == SelectionEnd::End) {
            State().selectionEnd = position;
            State().selectionStart = std::min(State().selectionStart, position);
        } else {
            State().selectionStart = position;
            State().selectionEnd = std::max(State().selectionEnd, position);
        }
        return call.Finish(S_OK);
    }

    HRESULT Copy(DISPPARAMS* params, EXCEPINFO* exception) {
        Invocation call("Selection.Copy", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        const OpenDocument* document = State().Active();
        if (!document) return NoDocument(call, exception);
        if (State().selectionStart >= State().selectionEnd)
            return call.Raise(exception, kNothingSelected,
                              L"This method or property is not available because no text is selected.");
        const std::wstring text = document->text.substr(
            static_cast<size_t>(State().selectionStart),
            static_cast<size_t>(State().selectionEnd - State().selectionStart));
        call.line()["copied"] = Utf8Text(text);
        return call.Finish(PutOnClipboard(text));
    }
};

class Documents final : public DispatchObject {
protected:
    enum : DISPID { kOpen = 1, kClose };
    std::span<const Member> Members() const override {
        static const Member members[] = {{L"Open", kOpen}, {L"Close", kClose}};
        return members;
    }
    const char* TypeName() const override { return "Documents"; }

    HRESULT Call(DISPID id, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) override {
        switch (id) {
            case kOpen: return Open(params, result, exception);
            case kClose: return Close(params, exception);
            default: return DISP_E_MEMBERNOTFOUND;
        }
    }

private:
    HRESULT Open(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
        Invocation call("Documents.Open", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        const Script& script = call.script();
        if (!script.openResults.empty()) {
            const size_t index = std::min(static_cast<size_t>(call.occurrence() - 1), script.openResults.size() - 1);
            if (auto failed = ScriptedFailure(call, exception, ParseHresult(script.openResults[index]))) return *failed;
        }
        if (!params || params->cArgs < 1) return call.Finish(DISP_E_BADPARAMCOUNT);
        UniqueVariant fileName;
        if (FAILED(::VariantChangeType(fileName.put(), &params->rgvarg[params->cArgs - 1], 0, VT_BSTR)))
            return call.Finish(DISP_E_TYPEMISMATCH);

        OpenDocument document{State().nextId++, fileName.get().bstrVal, {}};
        if (script.text) {
            document.text = *script.text;
        } else if (const auto bytes = process_tools::ReadWholeFile(document.path)) {
            document.text = WideText(*bytes, CP_ACP);
        } else {
            return call.Raise(exception, kFileNotFound,
                              L"Sorry, we couldn't find your file. Was it moved, renamed, or deleted?");
        }
        if (script.finalParagraphMark) document.text.push_back(L'\r');
        State().documents.push_back(document);
        State().activeId = document.id;
        State().selectionStart = State().selectionEnd = 0;
        State().ShowActiveDocumentInCaption();
        ReturnDispatch(result, Make<Document>(document.id));
        call.line()["document"] = document.id;
        call.line()["textLength"] = document.text.size();
        return call.Finish(S_OK);
    }

    HRESULT Close(DISPPARAMS* params, EXCEPINFO* exception) {
        Invocation call("Documents.Close", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        call.line()["closed"] = State().documents.size();
        State().documents.clear();
        State().activeId = 0;
        State().selectionStart = State().selectionEnd = 0;
        State().ShowActiveDocumentInCaption();
        return call.Finish(S_OK);
    }
};

// ---------------------------------------------------------------------------

class EventsConnectionPoint;
EventsConnectionPoint* g_eventPoint = nullptr;  // the Application's one point

// ApplicationEvents3's DocumentChange: no arguments, raised whenever the
// active document changes (the user switching windows, say).
constexpr DISPID DocumentChangeEvent = 3;

class EventsConnectionPoint final : public SingleInterfaceObject<IConnectionPoint> {
public:
    explicit EventsConnectionPoint(IConnectionPointContainer* container) : container_(container) {
        g_eventPoint = this;
    }

    // Calls every advised sink, as Word does: synchronously, one after another.
    void RaiseOnEverySink() {
        // A sink may Unadvise while it is being called: call a copy.
        const std::map<DWORD, ComPtr<IUnknown>> sinks = sinks_;
        for (const auto& [cookie, sink] : sinks) {
            json line = LogLine("Event");
            line["dispid"] = DocumentChangeEvent;
            line["cookie"] = cookie;
            // Timed from the query for the sink's dispatch interface on: across
            // processes that query is a call into the sink's apartment too.
            LARGE_INTEGER frequency{}, start{}, end{};
            ::QueryPerformanceFrequency(&frequency);
            ::QueryPerformanceCounter(&start);
            ComPtr<IDispatch> dispatch;
            HRESULT hr = sink.As(&dispatch);
            if (SUCCEEDED(hr)) {
                DISPPARAMS none{};
                hr = dispatch->Invoke(DocumentChangeEvent, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none,
                                      nullptr, nullptr, nullptr);
            }
            ::QueryPerformanceCounter(&end);
            line["ms"] = static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
            line["result"] = static_cast<uint32_t>(hr);
            AppendLog(line);
        }
    }

    STDMETHODIMP GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = Protocol::DIID_ApplicationEvents3;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override {
        if (!container) return E_POINTER;
        *container = container_;
        container_->AddRef();
        return S_OK;
    }
    // Events never fire; the sink is only held so that Unadvise has something to let go.
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
        json line = LogLine("Advise");
        HRESULT hr = S_OK;
        if (!sink || !cookie) {
            hr = E_POINTER;
        } else {
            *cookie = nextCookie_++;
            sinks_[*cookie] = sink;
            line["cookie"] = *cookie;
        }
        line["result"] = static_cast<uint32_t>(hr);
        AppendLog(line);
        return hr;
    }
    STDMETHODIMP Unadvise(DWORD cookie) override {
        const HRESULT hr = sinks_.erase(cookie) ? S_OK : CONNECT_E_NOCONNECTION;
        json line = LogLine("Unadvise");
        line["cookie"] = cookie;
        line["result"] = static_cast<uint32_t>(hr);
        AppendLog(line);
        return hr;
    }
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override {
        if (connections) *connections = nullptr;
        return E_NOTIMPL;
    }

private:
    ~EventsConnectionPoint() override { g_eventPoint = nullptr; }
    IConnectionPointContainer* container_;  // not owned: the container owns this point
    DWORD nextCookie_ = 1;
    std::map<DWORD, ComPtr<IUnknown>> sinks_;
};

class Application final : public DispatchObject, public IConnectionPointContainer {
public:
    Application() { events_.Attach(new EventsConnectionPoint(this)); }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        const char* logged = nullptr;
        if (iid == IID_IConnectionPointContainer) {
            *object = static_cast<IConnectionPointContainer*>(this);
            logged = "IConnectionPointContainer";
        } else if (iid == Protocol::IID__Application) {
            *object = static_cast<IDispatch*>(this);
            logged = "IID__Application";
        } else {
            return DispatchObject::QueryInterface(iid, object);
        }
        AddRef();
        json line = LogLine("QueryInterface");
        line["iid"] = logged;
        line["result"] = 0;
        AppendLog(line);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return DispatchObject::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return DispatchObject::Release(); }

    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override {
        if (points) *points = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        if (!point) return E_POINTER;
        *point = nullptr;
        const HRESULT hr = iid == Protocol::DIID_ApplicationEvents3 ? events_.CopyTo(point) : CONNECT_E_NOCONNECTION;
        json line = LogLine("FindConnectionPoint");
        line["iid"] = GuidText(iid);
        line["result"] = static_cast<uint32_t>(hr);
        AppendLog(line);
        return hr;
    }

protected:
    enum : DISPID { kDocuments = 1, kSelection };
    std::span<const Member> Members() const override {
        static const Member members[] = {{L"Documents", kDocuments}, {L"Selection", kSelection}};
        return members;
    }
    const char* TypeName() const override { return "Application"; }

    HRESULT Call(DISPID id, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) override {
        if (id == kDocuments) {
            Invocation call("Application.Documents", params);
            if (auto failed = FailCallsEntry(call, exception)) return *failed;
            ReturnDispatch(result, documents_);
            return call.Finish(S_OK);
        }
        if (id == kSelection) {
            Invocation call("Application.Selection", params);
            if (auto failed = FailCallsEntry(call, exception)) return *failed;
            if (!State().Active())
                return call.Raise(exception, kNoDocumentOpen,
                                  L"This command is not available because no document is open.");
            ReturnDispatch(result, Make<Selection>());
            return call.Finish(S_OK);
        }
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    ComPtr<EventsConnectionPoint> events_;
    ComPtr<IDispatch> documents_ = Make<Documents>();
};

class ClassFactory final : public SingleInterfaceObject<IClassFactory> {
public:
    explicit ClassFactory(IDispatch* application) : application_(application) {}

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        const HRESULT hr = outer ? CLASS_E_NOAGGREGATION : application_->QueryInterface(iid, object);
        json line = LogLine("ClassFactory.CreateInstance");
        line["iid"] = GuidText(iid);
        line["result"] = static_cast<uint32_t>(hr);
        AppendLog(line);
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    ~ClassFactory() override = default;
    ComPtr<IDispatch> application_;
};

}  // namespace

// ---------------------------------------------------------------------------

OpenDocument* WordState::Active() { return Find(activeId); }

void WordState::ShowActiveDocumentInCaption() {
    if (fixedTitle || !mainWindow) return;
    std::wstring title = L"Microsoft Word";
    if (const OpenDocument* document = Active()) {
        const size_t slash = document->path.find_last_of(L"\\/");
        title = document->path.substr(slash == std::wstring::npos ? 0 : slash + 1) + L" - " + title;
    }
    ::SetWindowTextW(mainWindow, title.c_str());
}

OpenDocument* WordState::Find(long id) {
    const auto it = std::find_if(documents.begin(), documents.end(), [id](const OpenDocument& d) { return d.id == id; });
    return it == documents.end() ? nullptr : &*it;
}

WordState& State() {
    static WordState state;
    return state;
}

std::string GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return Utf8Text(text);
}

STDMETHODIMP DispatchObject::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch) return E_NOINTERFACE;
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) DispatchObject::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }

STDMETHODIMP_(ULONG) DispatchObject::Release() {
    const LONG left = ::InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

STDMETHODIMP DispatchObject::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP DispatchObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
}

STDMETHODIMP DispatchObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        // Only the member name (i == 0) is looked up; these members take no named arguments.
        if (i == 0) {
            for (const Member& member : Members())
                if (::CompareStringOrdinal(names[0], -1, member.name, -1, TRUE) == CSTR_EQUAL) ids[0] = member.id;
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    if (FAILED(hr)) {
        // Unknown names mean the client asked for something Word would have
        // but this double does not serve: make that visible to the test.
        json line = LogLine("GetIDsOfNames");
        line["object"] = TypeName();
        line["name"] = count > 0 && names[0] ? Utf8Text(names[0]) : std::string();
        line["result"] = static_cast<uint32_t>(hr);
        AppendLog(line);
    }
    return hr;
}

STDMETHODIMP DispatchObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                    EXCEPINFO* exception, UINT*) {
    if (!IsGet(flags) && !IsPut(flags)) return DISP_E_MEMBERNOTFOUND;
    const HRESULT hr = Call(id, flags, params, result, exception);
    // Called from another process, an object runs its own deferred fill-in
    // before the reply leaves: the pointer means nothing in the caller's
    // process (and Wine 8 would pass it on as it is).
    if (hr == DISP_E_EXCEPTION && exception && exception->pfnDeferredFillIn) {
        exception->pfnDeferredFillIn(exception);
        exception->pfnDeferredFillIn = nullptr;
    }
    if (hr == DISP_E_MEMBERNOTFOUND) {
        json line = LogLine("Invoke");
        line["object"] = TypeName();
        line["dispid"] = id;
        line["flags"] = flags;
        line["result"] = static_cast<uint32_t>(hr);
        AppendLog(line);
    }
    return hr;
}

ComPtr<IDispatch> CreateApplication() { return Make<Application>(); }

ComPtr<IClassFactory> CreateClassFactory(IDispatch* application) { return Make<ClassFactory>(application); }

namespace {
long g_eventsLeft = 0;
long g_eventIntervalMs = 0;
}  // namespace

void ScheduleEvents(long delayMs, long times, long intervalMs) {
    g_eventsLeft = times;
    g_eventIntervalMs = intervalMs;
    if (times > 0) ::SetTimer(State().mainWindow, EventTimerId, static_cast<UINT>(delayMs), nullptr);
}

void OnEventTimer() {
    // Stopped while the sinks are called: the calls pump messages, and a tick
    // arriving meanwhile must not raise a nested round of events.
    ::KillTimer(State().mainWindow, EventTimerId);
    if (g_eventsLeft <= 0) return;
    --g_eventsLeft;
    if (g_eventPoint) g_eventPoint->RaiseOnEverySink();
    if (g_eventsLeft > 0) ::SetTimer(State().mainWindow, EventTimerId, static_cast<UINT>(g_eventIntervalMs), nullptr);
}

}  // namespace word_double
