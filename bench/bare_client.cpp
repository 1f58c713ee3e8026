// bare_client: the floor the worker is measured against. It starts, attaches
// to the running Word and makes the Word calls of the worker's normal road,
// with nothing around them: no window, no timer, no shared block, no event
// sink, no refetching, no minimising, no trace. Each member's DISPID is looked
// up once. The exit code is the number of calls that failed (the collapsed
// copy at the end, which Word refuses, is not counted).
//
// Usage: bare_client.exe <document path>
#include "channel/Protocol.h"
#include "common/ComResources.h"
#include "common/KernelResources.h"

#include <string>

namespace {

int g_failures = 0;

// The command line's text after the program's own name, without quotes.
// (CommandLineToArgvW would bring in shell32, which is slow to load under Wine.)
std::wstring FirstArgument() {
    const wchar_t* p = ::GetCommandLineW();
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p) {
        }
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    std::wstring argument;
    for (; *p; ++p)
        if (*p != L'"') argument.push_back(*p);
    while (!argument.empty() && argument.back() == L' ') argument.pop_back();
    return argument;
}

void Note(HRESULT hr) {
    if (FAILED(hr)) ++g_failures;
}

// One looked-up member of one object.
struct Member {
    IDispatch* object = nullptr;
    DISPID id = DISPID_UNKNOWN;

    Member(IDispatch* owner, const wchar_t* name) : object(owner) {
        if (!object) return;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        Note(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
    }

    // `argsLastFirst` is in IDispatch's own order.
    HRESULT Call(WORD flags, VARIANT* argsLastFirst = nullptr, UINT count = 0, VARIANT* result = nullptr) const {
        if (!object) return E_POINTER;
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS params{argsLastFirst, nullptr, count, 0};
        if (flags == DISPATCH_PROPERTYPUT) {
            params.rgdispidNamedArgs = &putId;
            params.cNamedArgs = 1;
        }
        EXCEPINFO info{};
        UINT argError = 0;
        const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &info, &argError);
        const UniqueBstr description(info.bstrDescription), source(info.bstrSource), help(info.bstrHelpFile);
        return hr;
    }

    ComPtr<IDispatch> Get() const {
        UniqueVariant value;
        Note(Call(DISPATCH_PROPERTYGET, nullptr, 0, value.put()));
        if (value.get().vt != VT_DISPATCH || !value.get().pdispVal) return nullptr;
        return ComPtr<IDispatch>(value.get().pdispVal);
    }

    void Put(long position) const {
        VARIANT value{};
        value.vt = VT_I4;
        value.lVal = position;
        Note(Call(DISPATCH_PROPERTYPUT, &value, 1));
    }
};

// Variants by reference, as Word takes the optional arguments of Open and Close.
template <UINT Count>
struct ByRef {
    UniqueVariant values[Count];
    VARIANT references[Count] = {};

    VARIANT& operator[](UINT i) { return values[i].get(); }
    // IDispatch's order: last argument first.
    VARIANT* LastFirst() {
        for (UINT i = 0; i < Count; ++i) {
            references[Count - 1 - i].vt = VT_BYREF | VT_VARIANT;
            references[Count - 1 - i].pvarVal = &values[i].get();
        }
        return references;
    }
};

void SetBool(VARIANT& v, bool value) {
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}
void SetLong(VARIANT& v, long value) {
    v.vt = VT_I4;
    v.lVal = value;
}
void SetString(VARIANT& v, const wchar_t* value) {
    v.vt = VT_BSTR;
    v.bstrVal = ::SysAllocString(value);
}
void SetMissing(VARIANT& v) {
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
}

void CloseDocuments(const Member& close) {
    ByRef<3> args;
    SetLong(args[0], 0);      // do not save changes
    SetLong(args[1], 1);      // original format
    SetBool(args[2], false);  // do not route
    Note(close.Call(DISPATCH_METHOD, args.LastFirst(), 3));
}

// The fifteen arguments exactly as the worker passes them.
void OpenDocument(const Member& open, const std::wstring& path) {
    ByRef<15> args;
    SetString(args[0], path.c_str());
    SetBool(args[1], false);  // ConfirmConversions
    SetBool(args[2], false);  // ReadOnly
    SetBool(args[3], false);  // AddToRecentFiles
    SetString(args[4], L"1");
    SetString(args[5], L"1");
    SetBool(args[6], true);  // Revert
    SetString(args[7], L"1");
    SetString(args[8], L"1");
    SetLong(args[9], 0);  // Format
    SetMissing(args[10]);
    SetBool(args[11], true);   // Visible
    SetBool(args[12], false);  // OpenAndRepair
    SetMissing(args[13]);
    SetBool(args[14], true);  // NoEncodingDialog
    UniqueVariant opened;
    Note(open.Call(DISPATCH_METHOD, args.LastFirst(), 15, opened.put()));
}

void Preview(IDispatch* application, const std::wstring& path) {
    const ComPtr<IDispatch> documents = Member(application, L"Documents").Get();
    const Member close(documents.Get(), L"Close");
    CloseDocuments(close);
    // Macros forbidden around the open, the user's setting put back after the close.
    const Member macroSetting(application, L"AutomationSecurity");
    UniqueVariant usersSetting;
    Note(macroSetting.Call(DISPATCH_PROPERTYGET, nullptr, 0, usersSetting.put()));
    macroSetting.Put(3);
    OpenDocument(Member(documents.Get(), L"Open"), path);

    const ComPtr<IDispatch> selection = Member(application, L"Selection").Get();
    const ComPtr<IDispatch> document = Member(selection.Get(), L"Document").Get();
    Note(Member(document.Get(), L"Select").Call(DISPATCH_METHOD));

    const Member end(selection.Get(), L"End");
    UniqueVariant length;
    Note(end.Call(DISPATCH_PROPERTYGET, nullptr, 0, length.put()));
    end.Put(Protocol::PreviewLengthLimit);
    const Member copy(selection.Get(), L"Copy");
    Note(copy.Call(DISPATCH_METHOD));

    Member(selection.Get(), L"Start").Put(0);
    end.Put(0);
    // Word refuses to copy an empty selection (0x800A11FD); the worker ignores that too.
    (void)copy.Call(DISPATCH_METHOD);
    CloseDocuments(close);
    macroSetting.Put(usersSetting.get().vt == VT_I4 ? usersSetting.get().lVal : 1);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::wstring path = FirstArgument();
    const ComApartment apartment(COINIT_APARTMENTTHREADED);
    {
        ComPtr<IUnknown> running;
        Note(::GetActiveObject(Protocol::CLSID_WordApplication, nullptr, &running));
        ComPtr<IDispatch> application;
        if (running) Note(running.As(&application));
        if (application) Preview(application.Get(), path);
    }
    return g_failures;
}
