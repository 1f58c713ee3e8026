#include "Events.h"

#include "Automation.h"
#include "ComObject.h"
#include "Record.h"
#include "channel/Protocol.h"

#include <olectl.h>

#include <map>

using nlohmann::json;

namespace word_double {

namespace {

class EventsConnectionPoint;
EventsConnectionPoint* g_eventPoint = nullptr;  // the Application's one point

// ApplicationEvents3's DocumentChange: no arguments, raised whenever the
// active document changes (the user switching windows, say).
constexpr DISPID DocumentChangeEvent = 3;

class EventsConnectionPoint final : public SingleInterfaceObject<IConnectionPoint> {
public:
    explicit EventsConnectionPoint(IConnectionPointContainer* container) : container_(container) {
        g_eventPoint = this;
    }

    // Calls every advised sink, as Word does: synchronously, one after another.
    void RaiseOnEverySink() {
        // A sink may Unadvise while it is being called: call a copy.
        const std::map<DWORD, ComPtr<IUnknown>> sinks = sinks_;
        for (const auto& [cookie, sink] : sinks) {
            json line = LogLine("Event");
            line["dispid"] = DocumentChangeEvent;
            line["cookie"] = cookie;
            // Timed from the query for the sink's dispatch interface on: across
            // processes that query is a call into the sink's apartment too.
            LARGE_INTEGER frequency{}, start{}, end{};
            ::QueryPerformanceFrequency(&frequency);
            ::QueryPerformanceCounter(&start);
            ComPtr<IDispatch> dispatch;
            HRESULT hr = sink.As(&dispatch);
            if (SUCCEEDED(hr)) {
                DISPPARAMS none{};
                hr = dispatch->Invoke(DocumentChangeEvent, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none,
                                      nullptr, nullptr, nullptr);
            }
            ::QueryPerformanceCounter(&end);
            line["ms"] = static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
            line["result"] = static_cast<uint32_t>(hr);
            AppendLog(line);
        }
    }

    STDMETHODIMP GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = Protocol::DIID_ApplicationEvents3;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override {
        if (!container) return E_POINTER;
        *container = container_;
        container_->AddRef();
        return S_OK;
    }
    // Events never fire; the sink is only held so that Unadvise has something to let go.
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
        json line = LogLine("Advise");
        HRESULT hr = S_OK;
        if (!sink || !cookie) {
            hr = E_POINTER;
        } else {
            *cookie = nextCookie_++;
            sinks_[*cookie] = sink;
            line["cookie"] = *cookie;
        }
        line["result"] = static_cast<uint32_t>(hr);
        AppendLog(line);
        return hr;
    }
    STDMETHODIMP Unadvise(DWORD cookie) override {
        const HRESULT hr = sinks_.erase(cookie) ? S_OK : CONNECT_E_NOCONNECTION;
        json line = LogLine("Unadvise");
        line["cookie"] = cookie;
        line["result"] = static_cast<uint32_t>(hr);
        AppendLog(line);
        return hr;
    }
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override {
        if (connections) *connections = nullptr;
        return E_NOTIMPL;
    }

private:
    ~EventsConnectionPoint() override { g_eventPoint = nullptr; }
    IConnectionPointContainer* container_;  // not owned: the container owns this point
    DWORD nextCookie_ = 1;
    std::map<DWORD, ComPtr<IUnknown>> sinks_;
};

long g_eventsLeft = 0;
long g_eventIntervalMs = 0;

}  // namespace

ComPtr<IConnectionPoint> CreateEventsConnectionPoint(IConnectionPointContainer* container) {
    return Make<EventsConnectionPoint>(container);
}

void ScheduleEvents(long delayMs, long times, long intervalMs) {
    g_eventsLeft = times;
    g_eventIntervalMs = intervalMs;
    if (times > 0) ::SetTimer(State().mainWindow, EventTimerId, static_cast<UINT>(delayMs), nullptr);
}

void OnEventTimer() {
    // Stopped while the sinks are called: the calls pump messages, and a tick
    // arriving meanwhile must not raise a nested round of events.
    ::KillTimer(State().mainWindow, EventTimerId);
    if (g_eventsLeft <= 0) return;
    --g_eventsLeft;
    if (g_eventPoint) g_eventPoint->RaiseOnEverySink();
    if (g_eventsLeft > 0) ::SetTimer(State().mainWindow, EventTimerId, static_cast<UINT>(g_eventIntervalMs), nullptr);
}

}  // namespace word_double
