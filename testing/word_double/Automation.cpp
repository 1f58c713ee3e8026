#include "Automation.h"

#include "ComObject.h"
#include "CopiedText.h"
#include "Events.h"
#include "Record.h"
#include "channel/Protocol.h"
#include "common/TextConversion.h"
#include "testing/ProcessTools.h"

#include <olectl.h>

#include <algorithm>

using nlohmann::json;

namespace word_double {

namespace {

// Word's run-time errors, as FACILITY_CONTROL codes in EXCEPINFO.scode.
constexpr HRESULT kNoDocumentOpen = static_cast<HRESULT>(0x800A1098);   // 4248
constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x800A1436);     // 5174
constexpr HRESULT kNothingSelected = static_cast<HRESULT>(0x800A11FD);  // 4605
constexpr HRESULT kObjectDeleted = static_cast<HRESULT>(0x800A16C1);    // 5825

bool IsWordError(HRESULT hr) { return (static_cast<uint32_t>(hr) & 0xFFFF0000u) == 0x800A0000u; }


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

// Open's Visible argument (the 12th): Word shows a document opened visible,
// and with it its own window, however the window was left; an omitted
// argument means visible too.
constexpr UINT OpenVisibleArgument = 12;
[[nodiscard]] bool OpensVisible(const DISPPARAMS* params) {
    if (!params || params->cArgs < OpenVisibleArgument) return true;
    UniqueVariant visible;
    VARIANT* argument = &params->rgvarg[params->cArgs - OpenVisibleArgument];
    if (FAILED(::VariantChangeType(visible.put(), argument, 0, VT_BOOL))) return true;
    return visible.get().boolVal != VARIANT_FALSE;
}

// msoAutomationSecurityForceDisable: no macro of a file a program opens runs.
constexpr long kMacrosForbidden = 3;

// A document's macro runs as Word would run it: unless the setting forbids it.
void RunMacroOf(const OpenDocument& document, const char* macro) {
    if (!document.macros || State().automationSecurity == kMacrosForbidden) return;
    json ran = LogLine("Macro.Ran");
    ran["macro"] = macro;
    ran["document"] = document.id;
    ran["automationSecurity"] = State().automationSecurity;
    AppendLog(ran);
}

long Clamp(long value, const OpenDocument& document) {
    return std::clamp(value, 0L, static_cast<long>(document.text.size()));
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
    [[nodiscard]] static HRESULT NoDocument(Invocation& call, EXCEPINFO* exception) {
        return call.Raise(exception, kNoDocumentOpen,
                          L"This command is not available because no document is open.");
    }

    [[nodiscard]] HRESULT GetDocument(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
        Invocation call("Selection.Document", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        const OpenDocument* document = State().Active();
        if (!document) return NoDocument(call, exception);
        ReturnDispatch(result, Make<Document>(document->id));
        call.line()["document"] = document->id;
        return call.Finish(S_OK);
    }

    [[nodiscard]] HRESULT GetEnd(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
        Invocation call("Selection.End.get", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        if (!State().Active()) return NoDocument(call, exception);
        const long value = call.occurrence() <= call.script().endZeroReads ? 0 : State().selectionEnd;
        ReturnLong(result, value);
        call.line()["value"] = value;
        return call.Finish(S_OK);
    }

    [[nodiscard]] HRESULT GetStart(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
        Invocation call("Selection.Start.get", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        if (!State().Active()) return NoDocument(call, exception);
        ReturnLong(result, State().selectionStart);
        call.line()["value"] = State().selectionStart;
        return call.Finish(S_OK);
    }

    [[nodiscard]] HRESULT PutEnd(DISPPARAMS* params, EXCEPINFO* exception) {
        return PutPosition("Selection.End.put", SelectionEnd::End, params, exception);
    }

    [[nodiscard]] HRESULT PutStart(DISPPARAMS* params, EXCEPINFO* exception) {
        return PutPosition("Selection.Start.put", SelectionEnd::Start, params, exception);
    }

    // Like Word: moving one end past the other drags the other along.
    enum class SelectionEnd { Start, End };
    [[nodiscard]] HRESULT PutPosition(const char* name, SelectionEnd which, DISPPARAMS* params,
                                      EXCEPINFO* exception) {
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

    [[nodiscard]] HRESULT Copy(DISPPARAMS* params, EXCEPINFO* exception) {
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
    [[nodiscard]] HRESULT Open(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
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

        OpenDocument document{State().nextId++, fileName.get().bstrVal, {}, script.macros};
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
        // Restored without taking the activation: minimising an active window
        // later would have Windows activate another program's window, whose
        // thread may not be answering messages at that moment.
        if (OpensVisible(params) && State().mainWindow && ::IsIconic(State().mainWindow))
            ::ShowWindow(State().mainWindow, SW_SHOWNOACTIVATE);
        RunMacroOf(document, "AutoOpen");
        ReturnDispatch(result, Make<Document>(document.id));
        call.line()["document"] = document.id;
        call.line()["textLength"] = document.text.size();
        return call.Finish(S_OK);
    }

    [[nodiscard]] HRESULT Close(DISPPARAMS* params, EXCEPINFO* exception) {
        Invocation call("Documents.Close", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        call.line()["closed"] = State().documents.size();
        for (const OpenDocument& document : State().documents) RunMacroOf(document, "AutoClose");
        State().documents.clear();
        State().activeId = 0;
        State().selectionStart = State().selectionEnd = 0;
        State().ShowActiveDocumentInCaption();
        return call.Finish(S_OK);
    }
};

// ---------------------------------------------------------------------------

class Application final : public DispatchObject, public IConnectionPointContainer {
public:
    Application() : events_(CreateEventsConnectionPoint(this)) {}

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
    enum : DISPID { kDocuments = 1, kSelection, kAutomationSecurity };
    std::span<const Member> Members() const override {
        static const Member members[] = {
            {L"Documents", kDocuments}, {L"Selection", kSelection}, {L"AutomationSecurity", kAutomationSecurity}};
        // An older Word has no AutomationSecurity: the name is unknown to it.
        if (!LoadScript().automationSecurityMember) return std::span<const Member>(members, 2);
        return members;
    }
    const char* TypeName() const override { return "Application"; }

    HRESULT Call(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) override {
        if (id == kAutomationSecurity) return IsPut(flags) ? PutAutomationSecurity(params, exception)
                                                           : GetAutomationSecurity(params, result, exception);
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
    [[nodiscard]] HRESULT GetAutomationSecurity(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
        Invocation call("Application.AutomationSecurity.get", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        ReturnLong(result, State().automationSecurity);
        call.line()["value"] = State().automationSecurity;
        return call.Finish(S_OK);
    }

    // Word takes 1 to 3 (msoAutomationSecurityLow .. ForceDisable).
    [[nodiscard]] HRESULT PutAutomationSecurity(DISPPARAMS* params, EXCEPINFO* exception) {
        Invocation call("Application.AutomationSecurity.put", params);
        if (auto failed = FailCallsEntry(call, exception)) return *failed;
        const auto value = PutValue(params);
        if (!value) return call.Finish(DISP_E_TYPEMISMATCH);
        if (*value < 1 || *value > kMacrosForbidden) return call.Finish(E_INVALIDARG);
        State().automationSecurity = *value;
        call.line()["value"] = State().automationSecurity;
        return call.Finish(S_OK);
    }

    ComPtr<IConnectionPoint> events_;
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

ComPtr<IDispatch> CreateApplication() { return Make<Application>(); }

ComPtr<IClassFactory> CreateClassFactory(IDispatch* application) { return Make<ClassFactory>(application); }

}  // namespace word_double
