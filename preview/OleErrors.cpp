#include "preview/OleErrors.h"

#include "common/ComResources.h"
#include "common/SystemMessage.h"
#include "common/TextConversion.h"

#include <windows.h>

namespace {

// Word ends its descriptions with a full stop and sometimes a line break;
// the message carries the sentence without them.
std::string TrimDescription(std::string text) {
    while (!text.empty()) {
        const unsigned char last = static_cast<unsigned char>(text.back());
        if (last <= ' ' || last == '.') text.pop_back();
        else break;
    }
    return text;
}

std::string BstrText(BSTR text) {
    return text ? NarrowText(std::wstring_view(text, ::SysStringLen(text)), CP_ACP) : std::string();
}

}  // namespace

std::string SystemErrorText(HRESULT code) { return SystemMessageText(static_cast<DWORD>(code)); }

void RaiseConnectionError(HRESULT code, REFCLSID classId) {
    wchar_t classText[40] = L"";
    (void)::StringFromGUID2(classId, classText, 40);
    throw EOleSysError(SystemErrorText(code) + ", ClassID: " + NarrowText(classText, CP_ACP), code);
}

HRESULT AutomationErrorCode(HRESULT invokeResult, EXCEPINFO& info) noexcept {
    if (invokeResult != DISP_E_EXCEPTION) return invokeResult;
    // A server may leave everything but wCode to a fill-in that the caller
    // runs; it runs once, however often the code is asked for.
    if (info.pfnDeferredFillIn) {
        const auto fillIn = info.pfnDeferredFillIn;
        info.pfnDeferredFillIn = nullptr;
        (void)fillIn(&info);
    }
    if (FAILED(info.scode)) return info.scode;
    // wCode carries the server's error number; Word's numbers are the low
    // word of its FACILITY_CONTROL codes (5408 is 0x800A1520).
    if (info.wCode != 0) return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, info.wCode);
    // No code at all is still a failure.
    return DISP_E_EXCEPTION;
}

void RaiseAutomationError(HRESULT invokeResult, EXCEPINFO& info) {
    const HRESULT code = AutomationErrorCode(invokeResult, info);
    // The strings belong to us once Invoke has returned them.
    UniqueBstr description(info.bstrDescription), source(info.bstrSource), helpFile(info.bstrHelpFile);
    info.bstrDescription = info.bstrSource = info.bstrHelpFile = nullptr;

    std::string message = invokeResult == DISP_E_EXCEPTION ? TrimDescription(BstrText(description.get())) : std::string();
    if (message.empty()) message = SystemErrorText(code);
    if (message.empty()) {
        // wsprintfA (the system's own, already imported) rather than the C
        // library's snprintf, whose floating-point formatter would come along.
        char fallback[32];
        (void)::wsprintfA(fallback, "OLE error %.8lx", static_cast<unsigned long>(code));
        message = fallback;
    }
    throw EOleException(std::move(message), code, BstrText(source.get()), BstrText(helpFile.get()));
}
