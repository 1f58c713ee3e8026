// The double's script (what it should do) and log (what it was asked to do).
// Both live beside WINWORD.EXE; see main.cpp for their formats.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace word_double {

struct Script {
    std::optional<std::wstring> text;
    nlohmann::json openResults = nlohmann::json::array();
    std::wstring openDescription = L"Word could not open the document.";
    long endZeroReads = 0;
    std::string dieOn;
    long dieOnCount = 1;
    std::string hangOn;
    long hangOnCount = 1;
    // After answering this call, stop being reachable (a Word on its way
    // out): no class object, no running-object entry; the process lives on.
    std::string unreachableAfter;
    // Stall inside a call (then answer it normally), as a busy Word does.
    std::string stallOn;
    long stallOnCount = 1;
    long stallMs = 0;
    // Raise events on every advised sink: `eventTimes` events, the first
    // `eventDelayMs` after the `eventsAfterCount`-th `eventsAfter` call has
    // been answered, then one every `eventIntervalMs`.
    std::string eventsAfter;
    long eventsAfterCount = 1;
    long eventDelayMs = 0;
    long eventTimes = 1;
    long eventIntervalMs = 50;
    // Turn incoming calls away through the message filter (a busy Word):
    // `busyCalls` calls, or every call for `busyForMs`, from the start or
    // from the moment the `busyAfterCount`-th `busyAfter` call is answered;
    // `busyAnswer` "rejected" (SERVERCALL_REJECTED) or "retryLater".
    long busyCalls = 0;
    long busyForMs = 0;
    std::string busyAfter;
    long busyAfterCount = 1;
    std::string busyAnswer = "rejected";
    nlohmann::json failCalls = nlohmann::json::object();  // call name -> HRESULT, every time
    // A fixed window title; by default the title follows the active document as Word's does.
    std::optional<std::wstring> windowTitle;
    bool finalParagraphMark = true;  // false: documents end without one, so an empty one selects nothing
    // Every document opened carries an open macro and a close macro, which run
    // (and are logged) unless AutomationSecurity forbids them (3).
    bool macros = false;
    long automationSecurityAtStart = 1;   // Word's own value whenever it starts (read once, at start)
    bool automationSecurityMember = true;  // false: an older Word, without the property
    long activeObjectDelayMs = 250;  // from start to the running-object registration
    enum class ErrorInfo { Scode, WCode, None };
    ErrorInfo errorInfo = ErrorInfo::Scode;  // where a raised error's code travels
    bool deferredFillIn = false;             // the code and texts come from pfnDeferredFillIn
    std::string error;  // why the file could not be used, when it could not
};

// Read afresh on every call so that a warm instance can change behaviour
// between requests; a missing file gives the defaults.
Script LoadScript();

// One JSON line appended to the log (and the file closed again).
void AppendLog(const nlohmann::json& line);

// How many lines of the whole log (every instance since it was cleared) have
// this "call" name.
long CountLoggedCalls(const std::string& call);

// HRESULTs in the script are hex strings ("0x800A1520") or numbers.
[[nodiscard]] HRESULT ParseHresult(const nlohmann::json& value);

// Describes one argument: {"vt":..,"inner":..,"value":..}.
nlohmann::json DescribeArgument(const VARIANT& argument);

// One automation call from arrival to reply. Construction logs and ends the
// process (dieOn) or blocks forever (hangOn) when the script says so for this
// occurrence of the call; otherwise Finish/Raise log it with its result.
class Invocation {
public:
    Invocation(std::string call, const DISPPARAMS* params);
    Invocation(const Invocation&) = delete;
    Invocation& operator=(const Invocation&) = delete;

    const Script& script() const noexcept { return script_; }
    long occurrence() const noexcept { return occurrence_; }  // 1 for the first in the log
    nlohmann::json& line() noexcept { return line_; }

    [[nodiscard]] HRESULT Finish(HRESULT hr);
    // Word's own errors: DISP_E_EXCEPTION with the code in EXCEPINFO.scode,
    // or as the script says: Word's error number in wCode, no code at all,
    // and either way perhaps through a deferred fill-in.
    [[nodiscard]] HRESULT Raise(EXCEPINFO* info, HRESULT scode, const std::wstring& description);

private:
    Script script_;
    long occurrence_ = 0;
    nlohmann::json line_;
};

// A JSON line for calls that are not automation calls (QueryInterface, Advise...).
nlohmann::json LogLine(const std::string& call);

std::string HexCode(HRESULT hr);

}  // namespace word_double
