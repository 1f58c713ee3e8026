// The double's shared state and the IDispatch base of its objects.
#include "Automation.h"

#include "Record.h"
#include "common/TextConversion.h"

#include <algorithm>

using nlohmann::json;

namespace word_double {

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

}  // namespace word_double
