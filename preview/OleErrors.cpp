#include "preview/OleErrors.h"

#include "common/WinResources.h"

#include <cstdio>

namespace {

std::string ToSystemCodePage(const wchar_t* text, int length = -1) {
    if (!text || length == 0) return {};
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string result(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, length, result.data(), size, nullptr, nullptr);
    if (length < 0) result.pop_back();  // the converted NUL
    return result;
}

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

std::string BstrText(BSTR text) { return text ? ToSystemCodePage(text, static_cast<int>(::SysStringLen(text))) : std::string(); }

}  // namespace

std::string SystemErrorText(HRESULT code) {
    char* buffer = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = length ? std::string(buffer, length) : std::string();
    if (buffer) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

void RaiseConnectionError(HRESULT code, REFCLSID classId) {
    wchar_t classText[40] = L"";
    ::StringFromGUID2(classId, classText, 40);
    throw EOleSysError(SystemErrorText(code) + ", ClassID: " + ToSystemCodePage(classText), code);
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
        char fallback[32];
        std::snprintf(fallback, sizeof fallback, "OLE error %.8lx", static_cast<unsigned long>(code));
        message = fallback;
    }
    throw EOleException(std::move(message), code, BstrText(source.get()), BstrText(helpFile.get()));
}
