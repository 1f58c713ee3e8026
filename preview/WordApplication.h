// Word's automation interface as the preview procedure uses it: the
// Application connection (running-or-new), and thin late-bound wrappers for
// the Documents collection, a Document and the Selection.
//
// Calls whose result matters raise EOleException with Word's result code;
// calls whose result the procedure ignores return the HRESULT instead of
// raising, so that "ignored" is visible at the call site.
#pragma once

#include "channel/Protocol.h"
#include "common/ComResources.h"
#include "preview/OleErrors.h"

#include <oaidl.h>
#include <ocidl.h>

#include <optional>
#include <string>

// A late-bound automation object. `typeName` qualifies member names in the
// process-wide DISPID cache: Word's dispatch ids are fixed per interface, so
// each name is looked up once per process, not once per call.
class AutomationObject {
public:
    AutomationObject() = default;
    AutomationObject(ComPtr<IDispatch> object, const char* typeName) : object_(std::move(object)), typeName_(typeName) {}
    explicit operator bool() const noexcept { return object_ != nullptr; }

protected:
    // Raises EOleException on failure.
    void Invoke(const wchar_t* member, WORD flags, VARIANT* argsInOrder, UINT argCount, VARIANT* result);
    // Returns the failure code (as EOleException would carry it) instead of raising.
    [[nodiscard]] HRESULT InvokeIgnoringResult(const wchar_t* member, WORD flags, VARIANT* argsInOrder,
                                               UINT argCount) noexcept;
    ComPtr<IDispatch> GetObjectProperty(const wchar_t* member);

private:
    static constexpr UINT MaxArguments = 16;
    // Word's answer to GetIDsOfNames, or S_OK from the process-wide cache;
    // the cache's own allocations raise std::bad_alloc.
    [[nodiscard]] HRESULT LookUpDispatchId(const wchar_t* member, DISPID& id);
    // IDispatch::Invoke itself; argCount is at most MaxArguments.
    [[nodiscard]] HRESULT CallMember(DISPID id, WORD flags, VARIANT* argsInOrder, UINT argCount, VARIANT* result,
                                     EXCEPINFO& info) noexcept;
    ComPtr<IDispatch> object_;
    const char* typeName_ = "";
};

class WordDocument : public AutomationObject {
public:
    using AutomationObject::AutomationObject;
    [[nodiscard]] HRESULT Select() noexcept;
};

// The arguments of Documents.Open, in the order Word takes them. Omitted
// ones travel as the automation marker for a missing parameter.
struct OpenArguments {
    std::string fileName;  // system code page
    bool confirmConversions = false;
    bool readOnly = false;
    bool addToRecentFiles = false;
    std::string passwordDocument;
    std::string passwordTemplate;
    bool revert = false;
    std::string writePasswordDocument;
    std::string writePasswordTemplate;
    long format = 0;
    bool visible = true;
    bool openAndRepair = false;
    bool noEncodingDialog = true;
};

class WordDocuments : public AutomationObject {
public:
    using AutomationObject::AutomationObject;
    [[nodiscard]] HRESULT Close(long saveChanges, long originalFormat, bool routeDocument) noexcept;
    // The returned document is not wanted; it is released at once.
    void Open(const OpenArguments& arguments);
};

class WordSelection : public AutomationObject {
public:
    using AutomationObject::AutomationObject;
    WordDocument Document();
    long End();
    [[nodiscard]] HRESULT SetEnd(long position) noexcept;
    [[nodiscard]] HRESULT SetStart(long position) noexcept;
    [[nodiscard]] HRESULT Copy() noexcept;
};

// Word's Application object, fetched afresh for each use by TWordApplication.
class WordApplicationObject : public AutomationObject {
public:
    explicit WordApplicationObject(ComPtr<IDispatch> application) : AutomationObject(std::move(application), "Application") {}
    WordDocuments Documents();
    WordSelection Selection();
    // Word's answer when it has no such property (an older Word) or will not tell.
    [[nodiscard]] HRESULT AutomationSecurity(long& value) noexcept;
    [[nodiscard]] HRESULT SetAutomationSecurity(long value) noexcept;
};

// How Connect finds Word: the running instance if there is one, else a new one.
enum TConnectKind { ckRunningOrNew };

// The one connection to Word. It never asks Word to quit: disconnecting (and
// destroying the object) only lets go of Word.
class TWordApplication {
public:
    TConnectKind ConnectKind = ckRunningOrNew;
    bool AutoConnect = false;  // nothing connects until the preview asks

    TWordApplication() = default;
    TWordApplication(const TWordApplication&) = delete;
    TWordApplication& operator=(const TWordApplication&) = delete;
    ~TWordApplication() { Disconnect(); }

    // Attaches to a running Word or starts one; raises EOleSysError when neither works.
    void Connect();
    void Disconnect() noexcept;
    bool Connected() const noexcept { return application_ != nullptr; }

    // Each connects first when not connected.
    WordDocuments Documents();
    WordSelection Selection();

    // Word runs a document's open and close macros when a program opens it,
    // unless its AutomationSecurity forbids every macro in such files. This
    // forbids them on the connected Word until the connection ends, when
    // Disconnect puts back the user's value. A Word that has no such setting
    // or refuses the change is left as it is (the stage trace says so).
    void ForbidMacrosUntilDisconnect() noexcept;

private:
    void AttachEventSink() noexcept;
    void RestoreMacroSetting() noexcept;
    ComPtr<IDispatch> application_;
    ComPtr<IConnectionPoint> eventPoint_;
    DWORD eventCookie_ = 0;
    // The user's AutomationSecurity, as first read in this request. Kept
    // until it has been put back, so that an attempt after a failed put-back
    // (a retry on the same Word) does not take the forced value for the user's.
    std::optional<long> userMacroSetting_;
    bool macrosForbidden_ = false;  // forced on this connection, to be put back
};
