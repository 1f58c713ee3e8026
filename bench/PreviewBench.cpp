// preview_bench: how long one preview takes, against two floors, in the same
// run and against the same warm Word double:
//   (a) bare_client.exe: start, attach, the same Word calls, exit;
//   (b) full_client.exe: (a) plus every step the worker must make and (a)
//       skips, and the worker's fixed waits, driven by the same host as the
//       worker. What the worker spends beyond (b) is its own cost.
//
//   preview_bench.exe [RUNS]       RUNS rounds of worker, (a), (b), interleaved (default 40)
//
// PREVIEW_BENCH_WORKER=<exe> measures another build of the worker in its place
// (e.g. an older one copied into testbin, to see what a change took away).
//
// Prints a table of the host's stage times, the platform's own costs behind the
// worker's fixed waits, a traced run, and finally `name: value` lines.
#include "common/ComResources.h"
#include "common/KernelResources.h"
#include "host/PreviewHost.h"
#include "testing/TestSupport.h"
#include "channel/Protocol.h"

#include <ocidl.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int WarmUpRuns = 3;
constexpr int ListenedRuns = 10;
constexpr DWORD SettleMs = 150;  // before each measured run
constexpr int DocumentLength = 5000;
constexpr auto Bound = std::chrono::milliseconds(30000);

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

// --- statistics ----------------------------------------------------------------------

struct Spread {
    double median = 0, p10 = 0, p90 = 0, min = 0, max = 0;
};

double Quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double at = q * static_cast<double>(values.size() - 1);
    const auto low = static_cast<std::size_t>(std::floor(at));
    const auto high = std::min(values.size() - 1, low + 1);
    return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

Spread SpreadOf(const std::vector<double>& values) {
    Spread s;
    if (values.empty()) return s;
    s.median = Quantile(values, 0.5);
    s.p10 = Quantile(values, 0.1);
    s.p90 = Quantile(values, 0.9);
    s.min = *std::min_element(values.begin(), values.end());
    s.max = *std::max_element(values.begin(), values.end());
    return s;
}

void PrintRow(const char* name, const std::vector<double>& values, const char* unit = "ms") {
    const Spread s = SpreadOf(values);
    std::printf("  %-34s %8.2f %8.2f %8.2f %8.2f %8.2f  %s\n", name, s.median, s.p10, s.p90, s.min, s.max, unit);
}

void PrintHeader() {
    std::printf("  %-34s %8s %8s %8s %8s %8s\n", "", "median", "p10", "p90", "min", "max");
}

// --- processes -----------------------------------------------------------------------

// Starts a program the way the reference host starts the worker (detached, no
// inherited handles) and waits for its exit. Returns the whole time in ms, or
// nullopt when it did not start, did not end within the bound or failed.
std::size_t PeakPrivateBytesOf(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        return 0;
    return std::max<std::size_t>(counters.PeakPagefileUsage, counters.PrivateUsage);
}

// With `peakPrivateBytes`, the process's memory is sampled every 5 ms while it
// runs, as the reference host samples the worker's.
std::optional<double> TimeProcess(const std::wstring& exe, const std::wstring& arguments, DWORD* exitCode = nullptr,
                                  std::size_t* peakPrivateBytes = nullptr) {
    std::wstring commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const std::wstring folder = testsupport::TestBinDir();
    const auto start = Clock::now();
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                          folder.c_str(), &startup, &info))
        return std::nullopt;
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    if (peakPrivateBytes) {
        *peakPrivateBytes = 0;
        while (::WaitForSingleObject(process.get(), 5) == WAIT_TIMEOUT && MsSince(start) < Bound.count())
            *peakPrivateBytes = std::max(*peakPrivateBytes, PeakPrivateBytesOf(process.get()));
    }
    if (::WaitForSingleObject(process.get(), static_cast<DWORD>(Bound.count())) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), 5000);
        return std::nullopt;
    }
    const double elapsed = MsSince(start);
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    if (exitCode) *exitCode = code;
    return elapsed;
}

// --- a debug-output listener ------------------------------------------------------------

// Collects every process's OutputDebugStringA lines through the DBWIN buffer,
// as DebugView does, with the time each arrived. Unlike running the worker as a
// debuggee (PreviewOptions::trace), this costs the writer only a hand-off per
// line, so the stages it shows are close to an untraced run's.
class DebugOutputListener {
public:
    struct Line {
        double ms;  // since Rebase()
        std::string text;
    };

    DebugOutputListener() {
        bufferReady_.reset(::CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
        dataReady_.reset(::CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
        mapping_.reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER"));
        if (mapping_) view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 4096));
        if (!bufferReady_ || !dataReady_ || !view_) return;
        thread_ = std::thread([this] { Listen(); });
    }
    DebugOutputListener(const DebugOutputListener&) = delete;
    DebugOutputListener& operator=(const DebugOutputListener&) = delete;
    ~DebugOutputListener() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool Listening() const { return thread_.joinable(); }

    // Forgets the lines so far and measures from now on.
    void Rebase() {
        std::lock_guard<std::mutex> lock(lock_);
        lines_.clear();
        epoch_ = Clock::now();
    }
    std::vector<Line> Lines() {
        std::lock_guard<std::mutex> lock(lock_);
        return lines_;
    }

private:
    void Listen() {
        const char* data = static_cast<const char*>(view_.get());
        while (!stop_) {
            ::SetEvent(bufferReady_.get());
            if (::WaitForSingleObject(dataReady_.get(), 20) != WAIT_OBJECT_0) continue;
            const Clock::time_point now = Clock::now();
            std::string text(data + sizeof(DWORD), ::strnlen(data + sizeof(DWORD), 4096 - sizeof(DWORD)));
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            std::lock_guard<std::mutex> lock(lock_);
            lines_.push_back(Line{std::chrono::duration<double, std::milli>(now - epoch_).count(), std::move(text)});
        }
    }

    UniqueHandle bufferReady_, dataReady_, mapping_;
    UniqueMappedView view_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    Clock::time_point epoch_ = Clock::now();
    std::vector<Line> lines_;
};

// --- the platform's own costs, measured in this process ------------------------------------

template <typename Step>
std::vector<double> Sample(int count, Step step) {
    std::vector<double> values;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        step();
        values.push_back(MsSince(start));
    }
    return values;
}

using TimeBeginPeriodFn = UINT(WINAPI*)(UINT);

struct PlatformCosts {
    std::vector<double> sleep10;           // Sleep(10), ms
    std::vector<double> sleep10Period1;    // Sleep(10) under timeBeginPeriod(1), ms
    std::vector<double> firstTick;         // SetTimer(1 ms) to the first WM_TIMER, ms
    double debugStringUs = 0;              // OutputDebugStringA with nobody listening, µs per call
    std::vector<double> windowCreate;      // RegisterClass + CreateWindowEx hidden + DestroyWindow, ms
};

LRESULT CALLBACK TickWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        ::KillTimer(window, wParam);
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

PlatformCosts MeasurePlatform() {
    PlatformCosts costs;
    costs.sleep10 = Sample(30, [] { ::Sleep(10); });

    // winmm is loaded here only, so that the rest of the bench runs without it.
    if (HMODULE winmm = ::LoadLibraryA("winmm.dll")) {
        const auto begin = reinterpret_cast<TimeBeginPeriodFn>(reinterpret_cast<void*>(::GetProcAddress(winmm, "timeBeginPeriod")));
        const auto end = reinterpret_cast<TimeBeginPeriodFn>(reinterpret_cast<void*>(::GetProcAddress(winmm, "timeEndPeriod")));
        if (begin && end) {
            begin(1);
            costs.sleep10Period1 = Sample(30, [] { ::Sleep(10); });
            end(1);
        }
        ::FreeLibrary(winmm);
    }

    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = TickWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "PreviewBenchTick";
    ::RegisterClassExA(&windowClass);
    costs.windowCreate = Sample(20, [&] {
        const UniqueWindow window(::CreateWindowExA(0, "PreviewBenchTick", "Tick", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                                    CW_USEDEFAULT, 570, 330, nullptr, nullptr, instance, nullptr));
    });
    const UniqueWindow window(::CreateWindowExA(0, "PreviewBenchTick", "Tick", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                                CW_USEDEFAULT, 570, 330, nullptr, nullptr, instance, nullptr));
    costs.firstTick = Sample(20, [&] {
        ::SetTimer(window.get(), 1, 1, nullptr);
        MSG message;
        while (::GetMessageA(&message, nullptr, 0, 0) > 0) ::DispatchMessageA(&message);
    });

    constexpr int DebugStrings = 2000;
    const auto start = Clock::now();
    for (int i = 0; i < DebugStrings; ++i) ::OutputDebugStringA("WordPreview: document opened\n");
    costs.debugStringUs = 1000.0 * MsSince(start) / DebugStrings;
    return costs;
}

// --- the worker's Word round trips, measured from this process ------------------------------

class NullSink final : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == Protocol::DIID_ApplicationEvents3) {
            *object = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return S_OK;
    }
};

struct RoundTrips {
    std::vector<double> getActiveObject, queryWordInterface, sinkAdviseUnadvise, getIdsOfNames, selectionGet, minimise;
    std::vector<double> documentsKept, documentsRefetched;
};

RoundTrips MeasureRoundTrips(int count) {
    RoundTrips trips;
    NullSink sink;
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
    trips.sinkAdviseUnadvise = Sample(count, [&] {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        if (SUCCEEDED(application.As(&container)) &&
            SUCCEEDED(container->FindConnectionPoint(Protocol::DIID_ApplicationEvents3, &point)) &&
            SUCCEEDED(point->Advise(&sink, &cookie)))
            point->Unadvise(cookie);
    });
    DISPID selectionId = DISPID_UNKNOWN;
    trips.getIdsOfNames = Sample(count, [&] {
        LPOLESTR names[] = {const_cast<LPOLESTR>(L"Selection")};
        (void)application->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &selectionId);
    });
    // Every run closes its documents, so this is Word's "no document" error: still one
    // logged round trip, as each of the worker's selection refetches is.
    trips.selectionGet = Sample(count, [&] {
        DISPPARAMS none{};
        UniqueVariant result;
        EXCEPINFO info{};
        UINT argError = 0;
        (void)application->Invoke(selectionId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.put(),
                                  &info, &argError);
        const UniqueBstr description(info.bstrDescription), source(info.bstrSource), help(info.bstrHelpFile);
    });
    // A refetch that lets go of the object right after, as the worker's do: the
    // last release of a proxy is one more round trip, and the next fetch builds a
    // new proxy. With the object held elsewhere, a fetch is just the call.
    DISPID documentsId = DISPID_UNKNOWN;
    {
        LPOLESTR names[] = {const_cast<LPOLESTR>(L"Documents")};
        (void)application->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &documentsId);
    }
    const auto fetchDocuments = [&] {
        DISPPARAMS none{};
        UniqueVariant result;
        EXCEPINFO info{};
        UINT argError = 0;
        (void)application->Invoke(documentsId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.put(),
                                  &info, &argError);
    };
    trips.documentsRefetched = Sample(count, fetchDocuments);
    {
        UniqueVariant held;
        DISPPARAMS none{};
        UINT argError = 0;
        (void)application->Invoke(documentsId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, held.put(),
                                  nullptr, &argError);
        trips.documentsKept = Sample(count, fetchDocuments);
    }
    trips.minimise = Sample(count, [] {
        ::ShowWindow(::FindWindowA(nullptr, "Microsoft Word"), SW_MINIMIZE);
        if (HWND word = ::FindWindowA("OpusApp", "Microsoft Word")) ::ShowWindow(word, SW_MINIMIZE);
    });
    return trips;
}

// --- one worker run, one floor run ------------------------------------------------------

struct WorkerRun {
    std::map<std::string, double> stages;
    std::size_t peakPrivateBytes = 0;
    std::vector<previewhost::Stage> trace;
};

previewhost::PreviewOptions WorkerOptions(const std::wstring& exe, const std::string& documentPath, bool trace) {
    previewhost::PreviewOptions options;
    options.workerPath = exe;
    options.workerDirectory = testsupport::TestBinDir();
    options.request.documentPath = documentPath;
    options.bound = Bound;
    options.trace = trace;
    return options;
}

// One request through the reference host, to the worker or to full_client.exe.
std::optional<WorkerRun> RunHosted(const std::wstring& exe, const std::string& documentPath,
                                   const std::string& expectedText, bool trace, DebugOutputListener* listener = nullptr) {
    testsupport::ClearWordLog();
    previewhost::PreviewOptions options = WorkerOptions(exe, documentPath, trace);
    // Called right before the host takes its epoch: both clocks start together.
    if (listener) options.beforeStart = [listener](previewhost::HostChannel&) { listener->Rebase(); };
    const previewhost::PreviewResult result = previewhost::RunPreview(options);
    if (result.outcome != previewhost::Outcome::Preview || result.clipboardText != expectedText) {
        std::fprintf(stderr, "%ls run failed: %s %s (%zu chars read)\n", exe.c_str(),
                     previewhost::OutcomeName(result.outcome), result.failure.c_str(), result.clipboardText.size());
        return std::nullopt;
    }
    WorkerRun run;
    for (const auto& stage : result.stages) run.stages[stage.name] = stage.milliseconds;
    run.peakPrivateBytes = result.peakPrivateBytes;
    run.trace = result.traceLines;
    return run;
}

std::wstring WorkerUnderTest() {
    wchar_t path[MAX_PATH] = L"";
    const DWORD length = ::GetEnvironmentVariableW(L"PREVIEW_BENCH_WORKER", path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(path) : testsupport::WorkerPath();
}

std::optional<WorkerRun> RunWorker(const std::string& documentPath, const std::string& expectedText, bool trace,
                                   DebugOutputListener* listener = nullptr) {
    return RunHosted(WorkerUnderTest(), documentPath, expectedText, trace, listener);
}

// full_client.exe stamps its phases only when told to, through its environment.
std::optional<WorkerRun> RunFullClient(const std::wstring& exe, const std::string& documentPath,
                                       const std::string& expectedText, DebugOutputListener* listener = nullptr) {
    if (listener) ::SetEnvironmentVariableW(L"FULL_CLIENT_STAMPS", L"1");
    auto run = RunHosted(exe, documentPath, expectedText, false, listener);
    if (listener) ::SetEnvironmentVariableW(L"FULL_CLIENT_STAMPS", nullptr);
    return run;
}

std::optional<double> RunFloor(const std::wstring& floorExe, const std::wstring& documentPath,
                               DebugOutputListener* listener = nullptr, std::size_t* peakPrivateBytes = nullptr) {
    testsupport::ClearWordLog();
    previewhost::EmptyClipboardNow();  // as the host does before it starts the worker
    DWORD failedCalls = 0;
    if (listener) listener->Rebase();
    const auto elapsed = TimeProcess(floorExe, std::wstring(listener ? L"--stamps " : L"") + L"\"" + documentPath + L"\"",
                                     &failedCalls, peakPrivateBytes);
    if (!elapsed || failedCalls != 0) {
        std::fprintf(stderr, "floor run failed (%lu failed calls)\n", static_cast<unsigned long>(failedCalls));
        return std::nullopt;
    }
    return elapsed;
}

// How many calls Word received in one run, by the double's log.
std::map<std::string, int> LoggedCalls() {
    std::map<std::string, int> counts;
    for (const json& line : testsupport::ReadWordLog()) ++counts[line.value("call", std::string("?"))];
    return counts;
}

int Total(const std::map<std::string, int>& counts) {
    int total = 0;
    for (const auto& [call, n] : counts)
        if (call != "Window.Minimised") total += n;
    return total;
}

double TraceTime(const std::vector<previewhost::Stage>& lines, const std::string& text) {
    for (const auto& line : lines)
        if (line.name.find(text) != std::string::npos) return line.milliseconds;
    return std::nan("");
}

// The time of the first line that contains `text`, or NaN.
double LineTime(const std::vector<DebugOutputListener::Line>& lines, const std::string& text) {
    for (const auto& line : lines)
        if (line.text.find(text) != std::string::npos) return line.ms;
    return std::nan("");
}

// Per-phase durations of listened runs: phases[i] = marks[i+1] - marks[i].
struct PhaseTable {
    std::vector<std::string> names;
    std::vector<std::vector<double>> values;
    void Add(const std::vector<double>& marks) {
        if (values.size() < names.size()) values.resize(names.size());
        for (std::size_t i = 0; i + 1 < marks.size() && i < names.size(); ++i)
            if (!std::isnan(marks[i]) && !std::isnan(marks[i + 1])) values[i].push_back(marks[i + 1] - marks[i]);
    }
    double Median(std::size_t i) const { return i < values.size() ? SpreadOf(values[i]).median : std::nan(""); }
};

std::string DocumentText() {
    static const char words[] =
        "The quarterly report describes the progress of the preview service, its latency and its memory use. ";
    std::string text;
    while (text.size() < DocumentLength) text += words;
    text.resize(DocumentLength);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const ComApartment apartment(COINIT_APARTMENTTHREADED);

    const std::wstring floorExe = testsupport::TestBinDir() + L"\\bare_client.exe";
    const std::wstring fullExe = testsupport::TestBinDir() + L"\\full_client.exe";
    const std::wstring probeExe = testsupport::TestBinDir() + L"\\startup_probe.exe";
    const std::wstring workerExe = WorkerUnderTest();
    const std::wstring documentPathW = testsupport::TestBinDir() + L"\\bench-document.txt";
    const std::string documentPath = Narrow(documentPathW);
    const std::string text = DocumentText();
    const std::string expectedPreview = text.substr(0, 3000);

    // The Word double, warm, serving a ~5000-character document.
    if (!testsupport::RegisterWordDouble()) {
        std::fprintf(stderr, "cannot register the Word double\n");
        return 2;
    }
    if (!testsupport::WordProcessIds().empty()) testsupport::KillAllWordDoubles();
    {
        std::ofstream document(documentPathW.c_str(), std::ios::binary);
        document << text;
    }
    testsupport::WriteWordScript(json{{"text", text}});
    testsupport::ClearWordLog();
    if (testsupport::StartWarmWord() == 0) {
        std::fprintf(stderr, "the Word double did not come up\n");
        return 2;
    }
    std::printf("preview_bench: %d rounds of worker, bare client (a) and full client (b), interleaved, after %d warm-up "
                "rounds\n", runs, WarmUpRuns);
    std::printf("document: %d characters; worker %s\n\n", DocumentLength, Narrow(workerExe).c_str());

    int failures = 0;
    for (int i = 0; i < WarmUpRuns; ++i) {
        if (!RunWorker(documentPath, expectedPreview, false)) ++failures;
        if (!RunFloor(floorExe, documentPathW)) ++failures;
        if (!RunFullClient(fullExe, documentPath, expectedPreview)) ++failures;
    }

    std::vector<WorkerRun> workerRuns, fullRuns;
    // Rounds in which both the worker and (b) succeeded, as indices into the two.
    std::vector<std::pair<std::size_t, std::size_t>> pairedRounds;
    std::vector<double> floorRuns;
    std::size_t floorPeakPrivateBytes = 0;
    // A process's end still settles in Word and in Wine (Word's window was just
    // minimised, objects were released) while the next one starts: each run
    // waits a moment first, and the rounds go through all six orders, so that
    // each series follows each other one equally often.
    const std::function<void()> series[] = {
        [&] {
            if (auto run = RunWorker(documentPath, expectedPreview, false)) workerRuns.push_back(std::move(*run));
            else ++failures;
        },
        [&] {
            std::size_t peak = 0;
            if (auto ms = RunFloor(floorExe, documentPathW, nullptr, &peak)) floorRuns.push_back(*ms);
            else ++failures;
            floorPeakPrivateBytes = std::max(floorPeakPrivateBytes, peak);
        },
        [&] {
            if (auto run = RunFullClient(fullExe, documentPath, expectedPreview)) fullRuns.push_back(std::move(*run));
            else ++failures;
        },
    };
    constexpr int Orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (int i = 0; i < runs; ++i) {
        const std::size_t workersBefore = workerRuns.size(), fullsBefore = fullRuns.size();
        for (int k : Orders[i % 6]) {
            ::Sleep(SettleMs);
            series[k]();
        }
        if (workerRuns.size() > workersBefore && fullRuns.size() > fullsBefore)
            pairedRounds.emplace_back(workersBefore, fullsBefore);
    }
    if (workerRuns.empty() || floorRuns.empty() || fullRuns.empty()) {
        std::fprintf(stderr, "no successful runs\n");
        testsupport::KillAllWordDoubles();
        return 1;
    }

    // What Word saw in one run of each.
    RunWorker(documentPath, expectedPreview, false);
    const auto workerCalls = LoggedCalls();
    RunFloor(floorExe, documentPathW);
    const auto floorCalls = LoggedCalls();
    RunFullClient(fullExe, documentPath, expectedPreview);
    const auto fullCalls = LoggedCalls();

    // Two traced runs: the worker's own stage lines, timed by the host.
    std::vector<WorkerRun> traced;
    for (int i = 0; i < 2; ++i)
        if (auto run = RunWorker(documentPath, expectedPreview, true)) traced.push_back(std::move(*run));

    // Runs with a debug-output listener: where the time goes inside each process.
    // The worker and full_client.exe mark the same phases under the same names.
    PhaseTable workerPhases{{"start-up: process, CRT, COM, window, attach", "first timer tick",
                             "heartbeat sleep (host answers during it)", "GoSignal seen -> mutex owned",
                             "GetActiveObject (traced before QI and sink)", "QI, event sink, close, minimise, open",
                             "select, cut to 3000, copy (refetches)", "release + sleep after release",
                             "PreviewTaken polling", "collapse, close, unadvise, minimise",
                             "busy off, release, trace", "window, COM and process end"}, {}};
    PhaseTable floorPhases{{"start-up: process, CRT, COM", "GetActiveObject, QI IDispatch",
                            "close documents, open", "select, cut to 3000, copy", "collapse, close",
                            "COM and process end"}, {}};
    const char* workerMarks[] = {"attached", "request taken", "go", "mutex owned", "connected",
                                 "document opened", "copied", "handed over", "acknowledged", "cleaned up", "exiting"};
    const char* floorMarks[] = {"apartment", "connected", "document opened", "copied", "cleaned up", "exiting"};
    PhaseTable fullPhases{workerPhases.names, {}};
    std::vector<double> debugLinesPerRequest;
    {
        DebugOutputListener listener;
        for (int i = 0; listener.Listening() && i < ListenedRuns; ++i) {
            if (auto run = RunWorker(documentPath, expectedPreview, false, &listener)) {
                const auto lines = listener.Lines();
                std::vector<double> marks{0.0};
                for (const char* mark : workerMarks) marks.push_back(LineTime(lines, std::string("WordPreview: ") + mark));
                marks.push_back(run->stages.at("exited"));
                workerPhases.Add(marks);
                debugLinesPerRequest.push_back(static_cast<double>(lines.size()));
            }
            if (auto run = RunFullClient(fullExe, documentPath, expectedPreview, &listener)) {
                const auto lines = listener.Lines();
                std::vector<double> marks{0.0};
                for (const char* mark : workerMarks) marks.push_back(LineTime(lines, std::string("full_client: ") + mark));
                marks.push_back(run->stages.at("exited"));
                fullPhases.Add(marks);
            }
            if (auto ms = RunFloor(floorExe, documentPathW, &listener)) {
                const auto lines = listener.Lines();
                std::vector<double> marks{0.0};
                for (const char* mark : floorMarks) marks.push_back(LineTime(lines, std::string("bare_client: ") + mark));
                marks.push_back(*ms);
                floorPhases.Add(marks);
            }
        }
    }

    // Whole processes for the start-up steps, alternating.
    const char* probeModes[] = {"crt", "com", "window", "tick", "winmm", "ntdll"};
    std::map<std::string, std::vector<double>> probes;
    // Whole processes vary by more than the steps cost: a step's cost is the median
    // of its differences within a round.
    std::map<std::string, std::vector<double>> overTick;
    for (int i = 0; i < 20; ++i) {
        std::map<std::string, double> round;
        for (const char* mode : probeModes)
            if (auto ms = TimeProcess(probeExe, std::wstring(mode, mode + std::strlen(mode)))) {
                probes[mode].push_back(*ms);
                round[mode] = *ms;
            }
        for (const char* mode : {"winmm", "ntdll"})
            if (round.count(mode) && round.count("tick")) overTick[mode].push_back(round[mode] - round["tick"]);
    }

    const PlatformCosts platform = MeasurePlatform();
    const RoundTrips trips = MeasureRoundTrips(20);
    testsupport::KillAllWordDoubles();

    // --- the table ----------------------------------------------------------------------
    // The host's stages, in ms since it started the program; `from` null is the start.
    const auto stage = [](const std::vector<WorkerRun>& hosted, const char* from, const char* to) {
        std::vector<double> values;
        for (const auto& run : hosted) {
            const double a = from ? run.stages.at(from) : 0.0;
            values.push_back(run.stages.at(to) - a);
        }
        return values;
    };
    struct HostPhase {
        const char* name;
        const char* from;
        const char* to;
    };
    const HostPhase hostPhases[] = {
        {"start -> busy (request taken)", nullptr, "busy"},
        {"busy -> heartbeat", "busy", "heartbeat"},
        {"heartbeat -> go", "heartbeat", "go"},
        {"go -> mutex (Word work up to the copy)", "go", "mutex"},
        {"mutex -> acknowledged (host reads)", "mutex", "acknowledged"},
        {"acknowledged -> exit (clean-up)", "acknowledged", "exited"},
        {"whole request (start -> exit)", nullptr, "exited"},
    };
    const auto peakRow = [](const std::vector<WorkerRun>& hosted, std::size_t* peakBytes) {
        std::vector<double> peaks;
        for (const auto& run : hosted) {
            peaks.push_back(static_cast<double>(run.peakPrivateBytes) / 1024.0);
            *peakBytes = std::max(*peakBytes, run.peakPrivateBytes);
        }
        PrintRow("peak private bytes (sampled)", peaks, "KiB");
    };
    std::printf("worker (RunPreview, trace off), %zu runs; ms since the host started the worker\n", workerRuns.size());
    PrintHeader();
    for (const HostPhase& phase : hostPhases) PrintRow(phase.name, stage(workerRuns, phase.from, phase.to));
    const std::vector<double> workerWhole = stage(workerRuns, nullptr, "exited");
    std::size_t peakPrivateBytes = 0;
    peakRow(workerRuns, &peakPrivateBytes);
    std::printf("floor (b): full_client.exe, the same host, %zu runs\n", fullRuns.size());
    for (const HostPhase& phase : hostPhases) PrintRow(phase.name, stage(fullRuns, phase.from, phase.to));
    const std::vector<double> fullWhole = stage(fullRuns, nullptr, "exited");
    std::size_t fullPeakPrivateBytes = 0;
    peakRow(fullRuns, &fullPeakPrivateBytes);
    std::printf("floor (a): bare_client.exe, %zu runs\n", floorRuns.size());
    PrintRow("whole (start -> exit)", floorRuns);

    // Beside the difference of the medians, the median of the differences within a
    // round: the two ran moments apart, so a load that comes and goes weighs on both.
    const auto pairedOwn = [&](const char* from, const char* to) {
        std::vector<double> differences;
        for (const auto& [w, f] : pairedRounds) {
            const auto& worker = workerRuns[w].stages;
            const auto& full = fullRuns[f].stages;
            differences.push_back((worker.at(to) - (from ? worker.at(from) : 0.0)) -
                                  (full.at(to) - (from ? full.at(from) : 0.0)));
        }
        return SpreadOf(differences).median;
    };
    std::printf("\nthe worker's own cost by phase: medians of the runs above, worker minus (b)\n"
                "(and, as \"paired\", the median of worker minus (b) within each of %zu rounds)\n", pairedRounds.size());
    std::printf("  %-40s %8s %8s %8s %8s\n", "", "worker", "(b)", "own", "paired");
    for (const HostPhase& phase : hostPhases) {
        const double w = SpreadOf(stage(workerRuns, phase.from, phase.to)).median;
        const double f = SpreadOf(stage(fullRuns, phase.from, phase.to)).median;
        std::printf("  %-40s %8.2f %8.2f %8.2f %8.2f  ms\n", phase.name, w, f, w - f, pairedOwn(phase.from, phase.to));
    }

    std::printf("\nwhere the time goes: median ms per phase, %d runs each with a debug-output listener\n", ListenedRuns);
    std::printf("(DBWIN buffer, as DebugView; each line costs its writer a hand-off to the listener)\n");
    std::printf("  %-44s %7s %7s %7s\n", "", "worker", "(b)", "own");
    {
        double workerSum = 0, fullSum = 0, floorSum = 0;
        for (std::size_t i = 0; i < workerPhases.names.size(); ++i) {
            const double w = workerPhases.Median(i);
            const double f = fullPhases.Median(i);
            workerSum += std::isnan(w) ? 0 : w;
            fullSum += std::isnan(f) ? 0 : f;
            std::printf("  %-44s %7.2f %7.2f %7.2f\n", workerPhases.names[i].c_str(), w, f, w - f);
        }
        std::printf("  %-44s %7.2f %7.2f %7.2f\n", "sum of medians", workerSum, fullSum, workerSum - fullSum);
        std::printf("  debug lines per worker request: %.0f\n", SpreadOf(debugLinesPerRequest).median);
        std::printf("  floor (a)\n");
        for (std::size_t i = 0; i < floorPhases.names.size(); ++i) {
            const double f = floorPhases.Median(i);
            floorSum += std::isnan(f) ? 0 : f;
            std::printf("  %-44s %7.2f\n", floorPhases.names[i].c_str(), f);
        }
        std::printf("  %-44s %7.2f\n", "sum of medians", floorSum);
    }

    std::printf("\nstart-up steps as whole processes (startup_probe.exe), %zu runs each\n", probes["crt"].size());
    PrintHeader();
    PrintRow("process + DLLs + CRT", probes["crt"]);
    PrintRow("  + STA apartment", probes["com"]);
    PrintRow("  + hidden window", probes["window"]);
    PrintRow("  + 1 ms timer's first tick", probes["tick"]);
    PrintRow("  tick + timeBeginPeriod (winmm.dll)", probes["winmm"]);
    PrintRow("  tick + NtSetTimerResolution (ntdll)", probes["ntdll"]);
    PrintRow("timeBeginPeriod over tick, per round", overTick["winmm"]);
    PrintRow("NtSetTimerResolution over tick, per round", overTick["ntdll"]);

    std::printf("\nplatform costs in this process\n");
    PrintHeader();
    PrintRow("Sleep(10)", platform.sleep10);
    PrintRow("Sleep(10) after timeBeginPeriod(1)", platform.sleep10Period1);
    PrintRow("SetTimer(1 ms) -> first WM_TIMER", platform.firstTick);
    PrintRow("hidden window create + destroy", platform.windowCreate);
    PrintRow("GetActiveObject", trips.getActiveObject);
    PrintRow("QI IID__Application (refused)", trips.queryWordInterface);
    PrintRow("event sink: FindCP+Advise+Unadvise", trips.sinkAdviseUnadvise);
    PrintRow("GetIDsOfNames (one name)", trips.getIdsOfNames);
    PrintRow("Application.Selection (logged)", trips.selectionGet);
    PrintRow("two FindWindow+ShowWindow minimises", trips.minimise);
    PrintRow("Documents get, object held elsewhere", trips.documentsKept);
    PrintRow("Documents get + last release (refetch)", trips.documentsRefetched);
    std::printf("  OutputDebugStringA, nobody listening: %.1f us per call\n", platform.debugStringUs);

    std::printf("\ncalls Word logged in one run: worker %d, (b) %d, (a) %d\n", Total(workerCalls), Total(fullCalls),
                Total(floorCalls));
    const auto count = [](const std::map<std::string, int>& calls, const std::string& call) {
        const auto found = calls.find(call);
        return found == calls.end() ? 0 : found->second;
    };
    for (const auto& [call, n] : workerCalls)
        std::printf("  %-30s worker %2d  (b) %2d  (a) %2d\n", call.c_str(), n, count(fullCalls, call), count(floorCalls, call));
    for (const auto& [call, n] : fullCalls)
        if (!workerCalls.count(call)) std::printf("  %-30s worker  0  (b) %2d  (a) %2d\n", call.c_str(), n, count(floorCalls, call));

    // --- the fixed waits, from the traced runs -------------------------------------------------
    std::vector<double> tickTraced, heartbeatTraced, handOverTraced, pollTraced;
    std::size_t traceLinesPerRun = 0;
    for (const auto& run : traced) {
        const auto& lines = run.trace;
        std::size_t ownLines = 0;
        for (const auto& line : lines)
            if (line.name.rfind("WordPreview:", 0) == 0) ++ownLines;
        traceLinesPerRun = std::max(traceLinesPerRun, ownLines);
        tickTraced.push_back(TraceTime(lines, "request taken") - TraceTime(lines, "attached"));
        heartbeatTraced.push_back(TraceTime(lines, ": go") - TraceTime(lines, "request taken"));
        handOverTraced.push_back(TraceTime(lines, "handed over") - run.stages.at("mutex"));
        pollTraced.push_back(std::max(0.0, TraceTime(lines, "acknowledged") - TraceTime(lines, "handed over")));
    }
    if (!traced.empty()) {
        std::printf("\ntraced run (trace=true; each line costs a debug event, so the run is slower)\n");
        const auto& run = traced.back();
        std::vector<std::pair<double, std::string>> merged;
        for (const auto& line : run.trace) merged.emplace_back(line.milliseconds, "  " + line.name);
        for (const auto& [name, ms] : run.stages) merged.emplace_back(ms, "  [host] " + name);
        std::stable_sort(merged.begin(), merged.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [ms, line] : merged) std::printf("  %8.2f %s\n", ms, line.c_str());
        std::printf("  traced: first tick (attached -> request taken) %.1f ms, heartbeat wait (request taken -> go) %.1f ms,\n"
                    "          hand-over (host has the mutex -> handed over) %.1f ms, PreviewTaken polling (handed over -> acknowledged) %.1f ms\n",
                    SpreadOf(tickTraced).median, SpreadOf(heartbeatTraced).median, SpreadOf(handOverTraced).median,
                    SpreadOf(pollTraced).median);
    }

    // The worker's own waits: the first tick of its 1 ms timer, one heartbeat sleep
    // (the host answers the first beat within a millisecond, during that sleep), one
    // sleep after the successful release in the hand-over (the host reads the
    // clipboard during it), and whatever the PreviewTaken poll adds when the host
    // takes longer than that sleep. The first three are the platform's own figures
    // measured above; the polling share comes from the traced runs.
    const double tick = SpreadOf(platform.firstTick).median;
    const double sleep10 = SpreadOf(platform.sleep10).median;
    const double polling = traced.empty() ? 0.0 : SpreadOf(pollTraced).median;
    const double fixedSleeps = tick + sleep10 + sleep10 + polling;
    std::printf("\nfixed sleeps = first tick %.2f + heartbeat sleep %.2f + hand-over sleep %.2f + PreviewTaken polling %.2f ms\n",
                tick, sleep10, sleep10, polling);
    std::printf("trace lines per request: %zu; OutputDebugStringA cost without a listener: %.3f ms per request\n",
                traceLinesPerRun, traceLinesPerRun * platform.debugStringUs / 1000.0);
    if (failures) std::printf("failed runs: %d\n", failures);

    const double workerMs = SpreadOf(workerWhole).median;
    const double floorMs = SpreadOf(floorRuns).median;
    const double fullMs = SpreadOf(fullWhole).median;
    const auto ownIn = [&](const char* from, const char* to) {
        return SpreadOf(stage(workerRuns, from, to)).median - SpreadOf(stage(fullRuns, from, to)).median;
    };
    std::printf("\nworker_ms: %.2f\n", workerMs);
    std::printf("full_floor_ms: %.2f\n", fullMs);
    std::printf("own_cost_ms: %.2f\n", workerMs - fullMs);
    std::printf("own_cost_start_ms: %.2f\n", ownIn(nullptr, "busy"));
    std::printf("own_cost_word_ms: %.2f\n", ownIn("go", "mutex"));
    std::printf("own_cost_cleanup_ms: %.2f\n", ownIn("acknowledged", "exited"));
    std::printf("own_cost_paired_ms: %.2f\n", pairedOwn(nullptr, "exited"));
    std::printf("floor_ms: %.2f\n", floorMs);
    std::printf("ratio: %.2f\n", workerMs / floorMs);
    std::printf("fixed_sleeps_ms: %.2f\n", fixedSleeps);
    std::printf("ratio_without_fixed_sleeps: %.2f\n", (workerMs - fixedSleeps) / floorMs);
    std::printf("winmm_resolution_ms: %.2f\n", SpreadOf(overTick["winmm"]).median);
    std::printf("ntdll_resolution_ms: %.2f\n", SpreadOf(overTick["ntdll"]).median);
    std::printf("peak_private_bytes: %zu\n", peakPrivateBytes);
    std::printf("full_floor_peak_private_bytes: %zu\n", fullPeakPrivateBytes);
    std::printf("floor_peak_private_bytes: %zu\n", floorPeakPrivateBytes);
    return failures ? 1 : 0;
}
