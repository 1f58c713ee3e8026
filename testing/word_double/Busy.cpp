#include "Busy.h"

#include "ComObject.h"
#include "Automation.h"

#include <objbase.h>

using nlohmann::json;

namespace word_double {

namespace {

// The spell in progress: calls still to turn away, and/or until when.
struct BusySpell {
    long callsLeft = 0;
    ULONGLONG until = 0;  // GetTickCount64; 0: no time limit in force
    DWORD answer = SERVERCALL_REJECTED;
};
BusySpell& Spell() {
    static BusySpell spell;
    return spell;
}

void Arm(const Script& script) {
    Spell().callsLeft = script.busyCalls;
    Spell().until = script.busyForMs > 0 ? ::GetTickCount64() + static_cast<ULONGLONG>(script.busyForMs) : 0;
    Spell().answer = script.busyAnswer == "retryLater" ? SERVERCALL_RETRYLATER : SERVERCALL_REJECTED;
    json line = LogLine("Busy.Begins");
    line["calls"] = script.busyCalls;
    line["ms"] = script.busyForMs;
    AppendLog(line);
}

// A spell that begins "at the start" begins with the first incoming call
// once the script asks for it: a test can start the double idle, then make
// it busy for the next client by writing the script.
void ArmAtFirstCall() {
    static bool armed = false;
    if (armed) return;
    const Script script = LoadScript();
    if (!script.busyAfter.empty() || (script.busyCalls <= 0 && script.busyForMs <= 0)) return;
    armed = true;
    Arm(script);
}

bool TurnsAway() {
    ArmAtFirstCall();
    BusySpell& spell = Spell();
    if (spell.until != 0) {
        if (::GetTickCount64() < spell.until) return true;
        spell.until = 0;
        AppendLog(LogLine("Busy.Ends"));
        return false;
    }
    if (spell.callsLeft <= 0) return false;
    if (--spell.callsLeft == 0) AppendLog(LogLine("Busy.Ends"));
    return true;
}

class BusyFilter final : public SingleInterfaceObject<IMessageFilter> {
public:
    STDMETHODIMP_(DWORD) HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO info) override {
        if (!TurnsAway()) return SERVERCALL_ISHANDLED;
        json line = LogLine("Busy.TurnedAway");
        if (info) {
            line["iid"] = GuidText(info->iid);
            line["method"] = info->wMethod;
        }
        line["answer"] = Spell().answer == SERVERCALL_RETRYLATER ? "retryLater" : "rejected";
        AppendLog(line);
        return Spell().answer;
    }
    // The double makes no outgoing calls that could be turned away but the
    // events; those are answered at once by the worker or dropped.
    STDMETHODIMP_(DWORD) RetryRejectedCall(HTASK, DWORD, DWORD) override { return static_cast<DWORD>(-1); }
    STDMETHODIMP_(DWORD) MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }
};

}  // namespace

void RegisterBusyFilter() {
    ComPtr<IMessageFilter> filter = Make<BusyFilter>();
    IMessageFilter* previous = nullptr;
    json line = LogLine("Busy.FilterRegistered");
    line["result"] = static_cast<uint32_t>(::CoRegisterMessageFilter(filter.Get(), &previous));
    AppendLog(line);
    if (previous) previous->Release();
    // The apartment keeps its own reference for as long as the process lives.
}

void OnCallAnswered(const Script& script, const std::string& call, long occurrence) {
    if (!script.busyAfter.empty() && call == script.busyAfter && occurrence == script.busyAfterCount) Arm(script);
}

}  // namespace word_double
