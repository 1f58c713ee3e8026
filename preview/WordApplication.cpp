#include "preview/WordApplication.h"

#include "common/StageTrace.h"
#include "common/TextConversion.h"
#include "preview/AutomationStrings.h"
#include "preview/BusyWord.h"
#include "preview/IgnoringEventSink.h"

#include <map>
#include <new>
#include <string>
#include <utility>

namespace {

// An automation string of the text in the system code page. Running out of
// memory is the worker's own failure, not Word's answer to the call the
// string was meant for: it raises std::bad_alloc, never an EOleSysError.
UniqueBstr ToBstr(const std::string& text) {
    const std::wstring wide = WideText(text, CP_ACP);
    UniqueBstr result(AllocateAutomationString(wide.c_str(), static_cast<UINT>(wide.size())));
    if (!result) throw std::bad_alloc();
    return result;
}

void SetBool(VARIANT& v, bool value) {
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}
void SetLong(VARIANT& v, long value) {
    v.vt = VT_I4;
    v.lVal = value;
}
void SetString(VARIANT& v, const std::string& value) {
    BSTR text = ToBstr(value).release();  // may raise: the variant stays empty then
    v.vt = VT_BSTR;
    v.bstrVal = text;
}
void SetMissing(VARIANT& v) {
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
}

// Word takes the optional arguments of Open and Close as variants by
// reference; each reference points at a value variant that this holder owns.
template <std::size_t Count>
class ByRefArguments {
public:
    VARIANT& Value(std::size_t index) { return values_[index].get(); }
    VARIANT* Prepare() {
        for (std::size_t i = 0; i < Count; ++i) {
            references_[i].vt = VT_BYREF | VT_VARIANT;
            references_[i].pvarVal = &values_[i].get();
        }
        return references_;
    }

private:
    UniqueVariant values_[Count];
    VARIANT references_[Count] = {};
};

// Dispatch ids by type and member; Word's are fixed per interface. Both
// names are string literals of the automation layer, so their addresses serve as the
// key: a lookup needs no memory (a worker out of memory still closes what it
// opened), only a first insertion does. Two copies of one literal at two
// addresses would only be looked up once each.
using MemberKey = std::pair<const char*, const wchar_t*>;
std::map<MemberKey, DISPID>& DispidCache() {
    static std::map<MemberKey, DISPID> cache;
    return cache;
}

// One sink for the process's life.
IgnoringEventSink g_eventSink;

}  // namespace

// --- AutomationObject --------------------------------------------------------

HRESULT AutomationObject::LookUpDispatchId(const wchar_t* member, DISPID& id) {
    const MemberKey key(typeName_, member);
    auto& cache = DispidCache();
    auto found = cache.find(key);
    if (found != cache.end()) {
        id = found->second;
        return S_OK;
    }
    LPOLESTR name = const_cast<LPOLESTR>(member);
    const HRESULT hr =
        CallWhenWordTakesIt([&] { return object_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id); });
    if (SUCCEEDED(hr)) cache.emplace(key, id);
    return hr;
}

HRESULT AutomationObject::CallMember(DISPID id, WORD flags, VARIANT* argsInOrder, UINT argCount, VARIANT* result,
                                     EXCEPINFO& info) noexcept {
    // IDispatch takes its arguments last to first.
    VARIANT reversed[MaxArguments] = {};
    for (UINT i = 0; i < argCount; ++i) reversed[i] = argsInOrder[argCount - 1 - i];
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS params{};
    params.rgvarg = argCount ? reversed : nullptr;
    params.cArgs = argCount;
    if (flags & DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &putId;
        params.cNamedArgs = 1;
    }
    UINT argError = 0;
    return CallWhenWordTakesIt(
        [&] { return object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &info, &argError); });
}

void AutomationObject::Invoke(const wchar_t* member, WORD flags, VARIANT* argsInOrder, UINT argCount,
                              VARIANT* result) {
    // Only what Word (or the automation layer) answers becomes an
    // EOleException; the worker's own failures on the way there raise
    // something else.
    if (!object_ || argCount > MaxArguments) throw Exception("An automation call that cannot be made");
    UniqueExcepInfo info;
    DISPID id = 0;
    HRESULT hr = LookUpDispatchId(member, id);
    if (SUCCEEDED(hr)) hr = CallMember(id, flags, argsInOrder, argCount, result, info.get());
    if (FAILED(hr)) RaiseAutomationError(hr, info.get());
}

HRESULT AutomationObject::InvokeIgnoringResult(const wchar_t* member, WORD flags, VARIANT* argsInOrder,
                                               UINT argCount) noexcept {
    if (!object_) return E_POINTER;
    if (argCount > MaxArguments) return E_INVALIDARG;
    UniqueExcepInfo info;
    UniqueVariant result;
    DISPID id = 0;
    HRESULT hr = E_FAIL;
    try {
        hr = LookUpDispatchId(member, id);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) hr = CallMember(id, flags, argsInOrder, argCount, result.put(), info.get());
    return FAILED(hr) ? AutomationErrorCode(hr, info.get()) : S_OK;
}

ComPtr<IDispatch> AutomationObject::GetObjectProperty(const wchar_t* member) {
    UniqueVariant result;
    Invoke(member, DISPATCH_PROPERTYGET, nullptr, 0, result.put());
    ComPtr<IDispatch> object;
    if (result.get().vt == VT_DISPATCH && result.get().pdispVal) {
        object = result.get().pdispVal;
    } else if (result.get().vt == VT_UNKNOWN && result.get().punkVal) {
        (void)result.get().punkVal->QueryInterface(IID_PPV_ARGS(&object));  // a refusal leaves it empty
    }
    if (!object) {
        EXCEPINFO none{};
        RaiseAutomationError(E_NOINTERFACE, none);
    }
    return object;
}

// --- Word objects ------------------------------------------------------------

HRESULT WordDocument::Select() noexcept { return InvokeIgnoringResult(L"Select", DISPATCH_METHOD, nullptr, 0); }

HRESULT WordDocuments::Close(long saveChanges, long originalFormat, bool routeDocument) noexcept {
    ByRefArguments<3> args;
    SetLong(args.Value(0), saveChanges);
    SetLong(args.Value(1), originalFormat);
    SetBool(args.Value(2), routeDocument);
    return InvokeIgnoringResult(L"Close", DISPATCH_METHOD, args.Prepare(), 3);
}

void WordDocuments::Open(const OpenArguments& a) {
    ByRefArguments<15> args;
    SetString(args.Value(0), a.fileName);
    SetBool(args.Value(1), a.confirmConversions);
    SetBool(args.Value(2), a.readOnly);
    SetBool(args.Value(3), a.addToRecentFiles);
    SetString(args.Value(4), a.passwordDocument);
    SetString(args.Value(5), a.passwordTemplate);
    SetBool(args.Value(6), a.revert);
    SetString(args.Value(7), a.writePasswordDocument);
    SetString(args.Value(8), a.writePasswordTemplate);
    SetLong(args.Value(9), a.format);
    SetMissing(args.Value(10));  // Encoding
    SetBool(args.Value(11), a.visible);
    SetBool(args.Value(12), a.openAndRepair);
    SetMissing(args.Value(13));  // DocumentDirection
    SetBool(args.Value(14), a.noEncodingDialog);
    UniqueVariant openedDocument;
    Invoke(L"Open", DISPATCH_METHOD, args.Prepare(), 15, openedDocument.put());
}

WordDocument WordSelection::Document() { return WordDocument(GetObjectProperty(L"Document"), "Document"); }

long WordSelection::End() {
    UniqueVariant result;
    Invoke(L"End", DISPATCH_PROPERTYGET, nullptr, 0, result.put());
    if (FAILED(::VariantChangeType(&result.get(), &result.get(), 0, VT_I4))) {
        EXCEPINFO none{};
        RaiseAutomationError(DISP_E_TYPEMISMATCH, none);
    }
    return result.get().lVal;
}

HRESULT WordSelection::SetEnd(long position) noexcept {
    VARIANT value{};
    SetLong(value, position);
    return InvokeIgnoringResult(L"End", DISPATCH_PROPERTYPUT, &value, 1);
}

HRESULT WordSelection::SetStart(long position) noexcept {
    VARIANT value{};
    SetLong(value, position);
    return InvokeIgnoringResult(L"Start", DISPATCH_PROPERTYPUT, &value, 1);
}

HRESULT WordSelection::Copy() noexcept { return InvokeIgnoringResult(L"Copy", DISPATCH_METHOD, nullptr, 0); }

WordDocuments WordApplicationObject::Documents() { return WordDocuments(GetObjectProperty(L"Documents"), "Documents"); }

WordSelection WordApplicationObject::Selection() { return WordSelection(GetObjectProperty(L"Selection"), "Selection"); }

HRESULT WordApplicationObject::AutomationSecurity(long& value) noexcept {
    try {
        UniqueVariant result;
        Invoke(L"AutomationSecurity", DISPATCH_PROPERTYGET, nullptr, 0, result.put());
        if (FAILED(::VariantChangeType(&result.get(), &result.get(), 0, VT_I4))) return DISP_E_TYPEMISMATCH;
        value = result.get().lVal;
        return S_OK;
    } catch (const EOleSysError& failure) {
        return failure.ErrorCode;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WordApplicationObject::SetAutomationSecurity(long value) noexcept {
    VARIANT setting{};
    SetLong(setting, value);
    return InvokeIgnoringResult(L"AutomationSecurity", DISPATCH_PROPERTYPUT, &setting, 1);
}

// --- TWordApplication --------------------------------------------------------

void TWordApplication::Connect() {
    if (application_) return;
    ComPtr<IUnknown> running;
    const HRESULT found = CallWhenWordTakesIt(
        [&] { return ::GetActiveObject(Protocol::CLSID_WordApplication, nullptr, running.ReleaseAndGetAddressOf()); });
    if (SUCCEEDED(found) && running) {
        TraceStage("connected to the running Word");
    } else {
        const HRESULT hr = CallWhenWordTakesIt([&] {
            return ::CoCreateInstance(Protocol::CLSID_WordApplication, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                      IID_IUnknown, reinterpret_cast<void**>(running.ReleaseAndGetAddressOf()));
        });
        if (FAILED(hr)) {
            TraceStage("Word cannot be started: %08lx", static_cast<unsigned long>(hr));
            RaiseConnectionError(hr, Protocol::CLSID_WordApplication);
        }
        TraceStage("connected to a new Word");
    }
    // A regular client asks for Word's own interface; across processes there
    // may be no proxy for it, and the calls go through IDispatch either way,
    // so the answer is not examined.
    ComPtr<IUnknown> wordInterface;
    (void)CallWhenWordTakesIt([&] {
        return running->QueryInterface(Protocol::IID__Application,
                                       reinterpret_cast<void**>(wordInterface.ReleaseAndGetAddressOf()));
    });
    ComPtr<IDispatch> application;
    const HRESULT hr = CallWhenWordTakesIt([&] { return running.As(&application); });
    if (FAILED(hr)) RaiseConnectionError(hr, Protocol::CLSID_WordApplication);
    application_ = std::move(application);
    AttachEventSink();
}

void TWordApplication::AttachEventSink() noexcept {
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(CallWhenWordTakesIt([&] { return application_.As(&container); }))) return;
    ComPtr<IConnectionPoint> point;
    if (FAILED(CallWhenWordTakesIt([&] {
            return container->FindConnectionPoint(Protocol::DIID_ApplicationEvents3, point.ReleaseAndGetAddressOf());
        })))
        return;
    DWORD cookie = 0;
    if (FAILED(CallWhenWordTakesIt([&] { return point->Advise(&g_eventSink, &cookie); }))) return;
    eventPoint_ = std::move(point);
    eventCookie_ = cookie;
}

namespace {
// msoAutomationSecurityForceDisable: no macro runs in a file a program opens.
constexpr long MacrosForbiddenInOpenedFiles = 3;
}  // namespace

void TWordApplication::ForbidMacrosUntilDisconnect() noexcept {
    if (!application_ || macrosForbidden_) return;
    WordApplicationObject application(application_);
    if (!userMacroSetting_) {
        long setting = 0;
        const HRESULT read = application.AutomationSecurity(setting);
        if (FAILED(read)) {
            TraceStage("macros not forbidden: Word has no AutomationSecurity to read (%08lx)",
                       static_cast<unsigned long>(read));
            return;
        }
        userMacroSetting_ = setting;
    }
    const HRESULT forced = application.SetAutomationSecurity(MacrosForbiddenInOpenedFiles);
    if (FAILED(forced)) {
        TraceStage("macros not forbidden: Word refused AutomationSecurity %ld (%08lx)", MacrosForbiddenInOpenedFiles,
                   static_cast<unsigned long>(forced));
        return;
    }
    macrosForbidden_ = true;
    TraceStage("macros forbidden (the user's AutomationSecurity: %ld)", *userMacroSetting_);
}

// Before letting go of Word: whatever ended the attempt, the user's Word
// keeps the setting it had. A Word that is gone needs nothing put back (a
// new one starts with its default), and the value stays known for the next
// attempt in case this Word is still there after all.
void TWordApplication::RestoreMacroSetting() noexcept {
    if (!std::exchange(macrosForbidden_, false) || !userMacroSetting_) return;
    const HRESULT restored = WordApplicationObject(application_).SetAutomationSecurity(*userMacroSetting_);
    if (SUCCEEDED(restored)) {
        userMacroSetting_.reset();
        TraceStage("macro setting put back");
    } else {
        TraceStage("macro setting not put back: %08lx", static_cast<unsigned long>(restored));
    }
}

void TWordApplication::Disconnect() noexcept {
    if (!application_) return;
    RestoreMacroSetting();
    if (eventPoint_) (void)CallWhenWordTakesIt([&] { return eventPoint_->Unadvise(eventCookie_); });
    eventPoint_.Reset();
    eventCookie_ = 0;
    application_.Reset();
}

WordDocuments TWordApplication::Documents() {
    Connect();
    return WordApplicationObject(application_).Documents();
}

WordSelection TWordApplication::Selection() {
    Connect();
    return WordApplicationObject(application_).Selection();
}
