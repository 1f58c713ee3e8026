// The double's automation objects: Word's state in this process, the IDispatch
// base (DispatchObject.cpp), and Application, Documents, Document, Selection
// and the class factory (Automation.cpp).
#pragma once

#include "common/ComResources.h"

#include <ocidl.h>

#include <span>
#include <string>
#include <vector>

namespace word_double {

struct OpenDocument {
    long id = 0;
    std::wstring path;
    std::wstring text;  // the whole main text, its final paragraph mark ('\r') included
    bool macros = false;  // carries an open and a close macro
};

// Word's state in this process: the open documents, which one is active and
// the selection in it. Application, Selection and Document objects all see it.
struct WordState {
    std::vector<OpenDocument> documents;
    long activeId = 0;  // 0: none
    long nextId = 1;
    long selectionStart = 0;
    long selectionEnd = 0;
    // Application.AutomationSecurity: 1 (every macro runs) whenever Word
    // starts, 3 forbids the macros of files a program opens.
    long automationSecurity = 1;
    HWND mainWindow = nullptr;  // the "OpusApp" window
    bool fixedTitle = false;    // the script gave the window a title of its own
    // What makes this instance reachable: its class object and its entry in
    // the running-object table (0 once revoked, or before registration).
    DWORD classCookie = 0;
    DWORD activeCookie = 0;

    OpenDocument* Active();
    OpenDocument* Find(long id);
    // As Word's: "<document> - Microsoft Word" while one is active, else "Microsoft Word".
    void ShowActiveDocumentInCaption();
};

WordState& State();

// IDispatch over a fixed table of member names; Invoke goes to Call.
class DispatchObject : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

protected:
    struct Member {
        const wchar_t* name;
        DISPID id;
    };
    virtual ~DispatchObject() = default;
    virtual std::span<const Member> Members() const = 0;
    virtual const char* TypeName() const = 0;
    [[nodiscard]] virtual HRESULT Call(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                                       EXCEPINFO* exception) = 0;

private:
    LONG references_ = 1;
};

// Application, with the events connection point and the class factory that
// hands out this one object (as Word does: one Application per process).
ComPtr<IDispatch> CreateApplication();
ComPtr<IClassFactory> CreateClassFactory(IDispatch* application);

std::string GuidText(REFGUID guid);

inline bool IsGet(WORD flags) { return (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) != 0; }
inline bool IsPut(WORD flags) { return (flags & DISPATCH_PROPERTYPUT) != 0; }

}  // namespace word_double
