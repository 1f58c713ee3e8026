#include "bench/RoundTrips.h"

#include "bench/BenchStatistics.h"
#include "channel/Protocol.h"
#include "common/ComResources.h"
#include "preview/IgnoringEventSink.h"

#include <ocidl.h>

namespace bench {
namespace {

void LookUpDispid(IDispatch& object, const wchar_t* name, DISPID* id) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    (void)object.GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
}

void PropertyGet(IDispatch& object, DISPID id, UniqueVariant& result, EXCEPINFO* info) {
    DISPPARAMS none{};
    UINT argError = 0;
    (void)object.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.put(), info, &argError);
}

std::vector<double> SampleSinkAdvise(int count, const ComPtr<IDispatch>& application, IDispatch& sink) {
    return Sample(count, [&] {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        if (SUCCEEDED(application.As(&container)) &&
            SUCCEEDED(container->FindConnectionPoint(Protocol::DIID_ApplicationEvents3, &point)) &&
            SUCCEEDED(point->Advise(&sink, &cookie)))
            point->Unadvise(cookie);
    });
}

// Every run closes its documents, so this is Word's "no document" error: still one
// logged round trip, as each of the worker's selection refetches is.
void SampleSelection(int count, IDispatch& application, RoundTrips& trips) {
    DISPID selectionId = DISPID_UNKNOWN;
    trips.getIdsOfNames = Sample(count, [&] { LookUpDispid(application, L"Selection", &selectionId); });
    trips.selectionGet = Sample(count, [&] {
        UniqueVariant result;
        UniqueExcepInfo info;
        PropertyGet(application, selectionId, result, &info.get());
    });
}

// A refetch that lets go of the object right after, as the worker's do: the
// last release of a proxy is one more round trip, and the next fetch builds a
// new proxy. With the object held elsewhere, a fetch is just the call.
void SampleDocuments(int count, IDispatch& application, RoundTrips& trips) {
    DISPID documentsId = DISPID_UNKNOWN;
    LookUpDispid(application, L"Documents", &documentsId);
    const auto fetchDocuments = [&] {
        UniqueVariant result;
        UniqueExcepInfo info;
        PropertyGet(application, documentsId, result, &info.get());
    };
    trips.documentsRefetched = Sample(count, fetchDocuments);
    UniqueVariant held;
    PropertyGet(application, documentsId, held, nullptr);
    trips.documentsKept = Sample(count, fetchDocuments);
}

}  // namespace

RoundTrips MeasureRoundTrips(int count) {
    RoundTrips trips;
    // The worker's own kind of sink, so that Word's calls back on it cost the same.
    IgnoringEventSink sink;
    ComPtr<IUnknown> running;
    trips.getActiveObject = Sample(count, [&] {
        running.Reset();
        (void)::GetActiveObject(Protocol::CLSID_WordApplication, nullptr, &running);
    });
    if (!running) return trips;
    trips.queryWordInterface = Sample(count, [&] {
        ComPtr<IUnknown> word;
        (void)running->QueryInterface(Protocol::IID__Application, reinterpret_cast<void**>(word.GetAddressOf()));
    });
    ComPtr<IDispatch> application;
    if (FAILED(running.As(&application))) return trips;
    trips.sinkAdviseUnadvise = SampleSinkAdvise(count, application, sink);
    SampleSelection(count, *application.Get(), trips);
    SampleDocuments(count, *application.Get(), trips);
    trips.minimise = Sample(count, [] {
        ::ShowWindow(::FindWindowA(nullptr, "Microsoft Word"), SW_MINIMIZE);
        if (HWND word = ::FindWindowA("OpusApp", "Microsoft Word")) ::ShowWindow(word, SW_MINIMIZE);
    });
    return trips;
}

}  // namespace bench
