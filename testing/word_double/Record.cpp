#include "Record.h"

#include "Automation.h"
#include "Busy.h"
#include "Events.h"

#include "common/ComResources.h"
#include "common/ExecutableFolder.h"
#include "common/TextConversion.h"
#include "testing/ProcessTools.h"

#include <cstdio>
#include <utility>

using nlohmann::json;

namespace word_double {

namespace {

std::wstring BesideExe(const wchar_t* name) { return ExecutableFolder() + name; }

const std::wstring& LogPath() {
    static const std::wstring path = BesideExe(L"word-double-log.jsonl");
    return path;
}

const std::wstring& ScriptPath() {
    static const std::wstring path = BesideExe(L"word-double-script.json");
    return path;
}

long CountOf(const json& script, const char* key, long fallback) {
    const auto it = script.find(key);
    return it != script.end() && it->is_number_integer() ? it->get<long>() : fallback;
}

std::string StringOf(const json& script, const char* key) {
    const auto it = script.find(key);
    return it != script.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

std::string HexCode(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

HRESULT ParseHresult(const json& value) {
    if (value.is_number_integer()) return static_cast<HRESULT>(static_cast<uint32_t>(value.get<int64_t>()));
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        return static_cast<HRESULT>(static_cast<uint32_t>(std::stoull(text, nullptr, 0)));
    }
    throw std::invalid_argument("HRESULT must be a number or a hex string");
}

namespace {

// What Word answers: the texts, the results of Open and of any call, how errors travel.
void ReadAnswers(const json& script, Script& result) {
    if (script.contains("text")) result.text = WideText(script.at("text").get<std::string>(), CP_UTF8);
    if (script.contains("openResults")) {
        result.openResults = script.at("openResults");
        for (const json& code : result.openResults) (void)ParseHresult(code);  // reject bad entries now
    }
    if (script.contains("failCalls")) {
        result.failCalls = script.at("failCalls");
        if (!result.failCalls.is_object()) throw std::invalid_argument("failCalls must be an object");
        for (const json& code : result.failCalls) (void)ParseHresult(code);
    }
    if (script.contains("openDescription"))
        result.openDescription = WideText(script.at("openDescription").get<std::string>(), CP_UTF8);
    if (script.contains("windowTitle"))
        result.windowTitle = WideText(script.at("windowTitle").get<std::string>(), CP_UTF8);
    if (script.contains("finalParagraphMark")) result.finalParagraphMark = script.at("finalParagraphMark").get<bool>();
    result.activeObjectDelayMs = CountOf(script, "activeObjectDelayMs", result.activeObjectDelayMs);
    if (script.contains("errorInfo")) {
        const std::string form = script.at("errorInfo").get<std::string>();
        if (form == "scode") result.errorInfo = Script::ErrorInfo::Scode;
        else if (form == "wCode") result.errorInfo = Script::ErrorInfo::WCode;
        else if (form == "none") result.errorInfo = Script::ErrorInfo::None;
        else throw std::invalid_argument("errorInfo must be \"scode\", \"wCode\" or \"none\"");
    }
    if (script.contains("deferredFillIn")) result.deferredFillIn = script.at("deferredFillIn").get<bool>();
    result.endZeroReads = CountOf(script, "endZeroReads", 0);
    if (script.contains("macros")) result.macros = script.at("macros").get<bool>();
    result.automationSecurityAtStart = CountOf(script, "automationSecurityAtStart", result.automationSecurityAtStart);
    if (script.contains("automationSecurityMember"))
        result.automationSecurityMember = script.at("automationSecurityMember").get<bool>();
}

// Where Word misbehaves: the call on which it dies, hangs or stalls, and the events it raises.
void ReadMisbehaviour(const json& script, Script& result) {
    result.dieOn = StringOf(script, "dieOn");
    result.dieOnCount = CountOf(script, "dieOnCount", 1);
    result.hangOn = StringOf(script, "hangOn");
    result.hangOnCount = CountOf(script, "hangOnCount", 1);
    result.unreachableAfter = StringOf(script, "unreachableAfter");
    result.stallOn = StringOf(script, "stallOn");
    result.stallOnCount = CountOf(script, "stallOnCount", 1);
    result.stallMs = CountOf(script, "stallMs", 0);
    result.eventsAfter = StringOf(script, "eventsAfter");
    result.eventsAfterCount = CountOf(script, "eventsAfterCount", 1);
    result.eventDelayMs = CountOf(script, "eventDelayMs", 0);
    result.eventTimes = CountOf(script, "eventTimes", 1);
    result.eventIntervalMs = CountOf(script, "eventIntervalMs", 50);
    result.busyCalls = CountOf(script, "busyCalls", 0);
    result.busyForMs = CountOf(script, "busyForMs", 0);
    result.busyAfter = StringOf(script, "busyAfter");
    result.busyAfterCount = CountOf(script, "busyAfterCount", 1);
    if (script.contains("busyAnswer")) {
        result.busyAnswer = script.at("busyAnswer").get<std::string>();
        if (result.busyAnswer != "rejected" && result.busyAnswer != "retryLater")
            throw std::invalid_argument("busyAnswer must be \"rejected\" or \"retryLater\"");
    }
}

}  // namespace

Script LoadScript() {
    Script result;
    const auto bytes = process_tools::ReadWholeFile(ScriptPath());
    if (!bytes || bytes->find_first_not_of(" \t\r\n") == std::string::npos) return result;
    try {
        const json script = json::parse(*bytes);
        if (!script.is_object()) throw std::invalid_argument("the script must be a JSON object");
        ReadAnswers(script, result);
        ReadMisbehaviour(script, result);
    } catch (const std::exception& error) {
        // A broken script must show up in the log rather than silently act as defaults.
        Script defaults;
        defaults.error = error.what();
        return defaults;
    }
    return result;
}

void AppendLog(const json& line) {
    (void)process_tools::AppendToFile(LogPath(), line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
}

long CountLoggedCalls(const std::string& call) {
    const auto bytes = process_tools::ReadWholeFile(LogPath());
    if (!bytes) return 0;
    // Every line is written by AppendLog as compact JSON, and a quote inside a
    // string value is always escaped, so this text can only be the "call" field.
    // Searching is several times cheaper than parsing every line on every call.
    const std::string field = "\"call\":" + json(call).dump();
    long count = 0;
    for (size_t at = bytes->find(field); at != std::string::npos; at = bytes->find(field, at + field.size())) ++count;
    return count;
}

json LogLine(const std::string& call) {
    // `tick`: GetTickCount64 as the line is made, on the clock every process shares.
    return json{{"pid", ::GetCurrentProcessId()}, {"call", call}, {"tick", ::GetTickCount64()}};
}

namespace {

json ValueOf(const VARIANT& value) {
    switch (value.vt) {
        case VT_EMPTY:
        case VT_NULL: return nullptr;
        case VT_BOOL: return value.boolVal == VARIANT_FALSE ? 0 : static_cast<int>(value.boolVal);
        case VT_I2: return value.iVal;
        case VT_I4: return value.lVal;
        case VT_UI4: return value.ulVal;
        case VT_INT: return value.intVal;
        case VT_ERROR: return static_cast<uint32_t>(value.scode);
        case VT_BSTR: return value.bstrVal ? Utf8Text({value.bstrVal, ::SysStringLen(value.bstrVal)}) : std::string();
        case VT_DISPATCH: return "<IDispatch>";
        case VT_UNKNOWN: return "<IUnknown>";
        default: return "<vt " + std::to_string(value.vt) + ">";
    }
}

}  // namespace

json DescribeArgument(const VARIANT& argument) {
    json described{{"vt", argument.vt}};
    if (argument.vt == (VT_BYREF | VT_VARIANT)) {
        const VARIANT* inner = argument.pvarVal;
        described["inner"] = inner ? inner->vt : VARTYPE{VT_EMPTY};
        described["value"] = inner ? ValueOf(*inner) : json(nullptr);
    } else if (argument.vt & VT_BYREF) {
        UniqueVariant copy;
        described["value"] = SUCCEEDED(::VariantCopyInd(copy.put(), const_cast<VARIANT*>(&argument))) ? ValueOf(copy.get()) : json(nullptr);
    } else {
        described["value"] = ValueOf(argument);
    }
    return described;
}

Invocation::Invocation(std::string call, const DISPPARAMS* params)
    : script_(LoadScript()), occurrence_(CountLoggedCalls(call) + 1), line_(LogLine(call)) {
    json args = json::array();
    if (params) {
        // rgvarg holds the arguments last first; log them in call order.
        for (UINT i = params->cArgs; i-- > 0;) args.push_back(DescribeArgument(params->rgvarg[i]));
        if (params->cNamedArgs > 0) {
            json named = json::array();
            for (UINT i = 0; i < params->cNamedArgs; ++i) named.push_back(params->rgdispidNamedArgs[i]);
            line_["named"] = named;
        }
    }
    line_["args"] = args;
    // The macro setting in force as the call arrived: what a macro in a
    // document opened or closed by this call would have been allowed.
    line_["automationSecurity"] = State().automationSecurity;
    if (!script_.error.empty()) line_["scriptError"] = script_.error;

    if (call == script_.dieOn && occurrence_ == script_.dieOnCount) {
        line_["action"] = "die";
        AppendLog(line_);
        // No reply, no clean-up: the client sees the server vanish mid-call.
        // Windows drops a dead server's class registration and running-object
        // entry by itself; Wine 8 keeps them until rpcss restarts, so the
        // double ends rpcss on its way out to leave things as Windows would.
        process_tools::RestartRpcss();
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }
    if (call == script_.hangOn && occurrence_ == script_.hangOnCount) {
        line_["action"] = "hang";
        AppendLog(line_);
        for (;;) ::Sleep(INFINITE);
    }
    if (call == script_.stallOn && occurrence_ == script_.stallOnCount) {
        // Logged as it begins, so that a test can act while the call is stalled.
        json stalling = LogLine("Stalling");
        stalling["in"] = call;
        AppendLog(stalling);
        line_["stalledMs"] = script_.stallMs;
        ::Sleep(static_cast<DWORD>(script_.stallMs));
    }
}

namespace {

void BecomeUnreachable() {
    WordState& state = State();
    if (state.activeCookie) (void)::RevokeActiveObject(std::exchange(state.activeCookie, 0), nullptr);
    if (state.classCookie) (void)::CoRevokeClassObject(std::exchange(state.classCookie, 0));
    AppendLog(LogLine("Unreachable"));
}

}  // namespace

HRESULT Invocation::Finish(HRESULT hr) {
    line_["result"] = static_cast<uint32_t>(hr);
    AppendLog(line_);
    if (line_.value("call", "") == script_.unreachableAfter) BecomeUnreachable();
    // The events come once this call has been answered, from the message loop.
    if (line_.value("call", "") == script_.eventsAfter && occurrence_ == script_.eventsAfterCount)
        ScheduleEvents(script_.eventDelayMs, script_.eventTimes, script_.eventIntervalMs);
    OnCallAnswered(script_, line_.value("call", ""), occurrence_);
    return hr;
}

namespace {

// What the deferred fill-in writes: the error last raised (one thread, and
// the fill-in runs before the reply leaves this process).
struct PendingFill {
    HRESULT scode = S_OK;
    Script::ErrorInfo form = Script::ErrorInfo::Scode;
    std::wstring description;
};
PendingFill& Pending() {
    static PendingFill pending;
    return pending;
}

void FillCode(EXCEPINFO& info, HRESULT scode, Script::ErrorInfo form) {
    if (form == Script::ErrorInfo::Scode) info.scode = scode;
    if (form == Script::ErrorInfo::WCode) info.wCode = HRESULT_CODE(scode);  // Word's error number
}

HRESULT STDAPICALLTYPE DeferredFillIn(EXCEPINFO* info) {
    if (!info) return E_POINTER;
    FillCode(*info, Pending().scode, Pending().form);
    info->bstrSource = ::SysAllocString(L"Microsoft Word");
    info->bstrDescription = ::SysAllocString(Pending().description.c_str());
    AppendLog(LogLine("DeferredFillIn"));
    return S_OK;
}

}  // namespace

HRESULT Invocation::Raise(EXCEPINFO* info, HRESULT scode, const std::wstring& description) {
    const Script::ErrorInfo form = script_.errorInfo;
    if (info) {
        *info = EXCEPINFO{};
        if (script_.deferredFillIn) {
            // Only wCode may be there at once; the rest waits for the fill-in.
            if (form == Script::ErrorInfo::WCode) FillCode(*info, scode, form);
            Pending() = PendingFill{scode, form, description};
            info->pfnDeferredFillIn = DeferredFillIn;
        } else {
            FillCode(*info, scode, form);
            info->bstrSource = ::SysAllocString(L"Microsoft Word");
            info->bstrDescription = ::SysAllocString(description.c_str());
        }
    }
    line_["scode"] = static_cast<uint32_t>(scode);
    if (form != Script::ErrorInfo::Scode) line_["errorInfo"] = form == Script::ErrorInfo::WCode ? "wCode" : "none";
    if (script_.deferredFillIn) line_["deferredFillIn"] = true;
    return Finish(DISP_E_EXCEPTION);
}

}  // namespace word_double
