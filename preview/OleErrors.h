// The exception classes of the worker. Failures are exceptions: `Exception`
// is the root; automation failures carry the 32-bit result code Word (or the
// automation layer between the processes) returned.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

class EOleError : public Exception {
public:
    using Exception::Exception;
};

// A system-level automation failure, e.g. Word could not be reached or started.
class EOleSysError : public EOleError {
public:
    EOleSysError(std::string message, HRESULT errorCode) : EOleError(std::move(message)), ErrorCode(errorCode) {}
    HRESULT ErrorCode;
};

// A failing automation call: Word's own error, with its source and help file.
class EOleException : public EOleSysError {
public:
    EOleException(std::string message, HRESULT errorCode, std::string source, std::string helpFile)
        : EOleSysError(std::move(message), errorCode), Source(std::move(source)), HelpFile(std::move(helpFile)) {}
    std::string Source;
    std::string HelpFile;
};

// The system's text for `code`, without the trailing line break; empty when it has none.
[[nodiscard]] std::string SystemErrorText(HRESULT code);

// The connection failure: "<system text>, ClassID: <class id>".
[[noreturn]] void RaiseConnectionError(HRESULT code, REFCLSID classId);

// Turns a failed IDispatch::Invoke into an EOleException carrying
// AutomationErrorCode; the strings in `info` go with it.
[[noreturn]] void RaiseAutomationError(HRESULT invokeResult, EXCEPINFO& info);

// The code a failed IDispatch::Invoke is acted on by; never a success code.
// For DISP_E_EXCEPTION the deferred fill-in, when there is one, completes
// `info` first; the code is then scode, else wCode as a FACILITY_CONTROL
// code, else DISP_E_EXCEPTION itself. Any other result is its own code.
[[nodiscard]] HRESULT AutomationErrorCode(HRESULT invokeResult, EXCEPINFO& info) noexcept;
