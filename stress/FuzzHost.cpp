#include "stress/FuzzHost.h"

#include "channel/SharedBlockLayout.h"
#include "testing/TestSupport.h"

namespace fuzz {

namespace {

namespace layout = SharedBlockLayout;
using Clock = std::chrono::steady_clock;

constexpr auto DialogPollPeriod = std::chrono::milliseconds(25);

// A message box, or any dialog: the window class of dialog boxes.
[[nodiscard]] bool HasDialog(DWORD pid) { return testsupport::TopLevelWindowOf(pid, "#32770") != nullptr; }

enum class Phase { Take, Heartbeat, GoCleared, Mutex, Exit };

// The host's part of the conversation, one look at the block at a time.
class HostPlayer {
public:
    HostPlayer(const Plan& plan, const Expectation& e, void* view, HANDLE mutex, std::vector<std::uint8_t>& expected)
        : plan_(plan), e_(e), bytes_(static_cast<volatile std::uint8_t*>(view)), mutex_(mutex), expected_(expected),
          initialHeartbeat_(Heartbeat()), phase_(e.pending ? Phase::Take : Phase::Exit) {}

    // Goes on from the current phase as far as the block allows. The mutex
    // phase waits on the mutex itself; every other look returns at once.
    void Step() {
        switch (phase_) {
            case Phase::Take:
                if (bytes_[layout::RequestPending] == 0) phase_ = e_.hostActive ? Phase::Heartbeat : Phase::Exit;
                break;
            case Phase::Heartbeat:
                if (Heartbeat() != initialHeartbeat_) {
                    bytes_[layout::GoSignal] = 1;
                    phase_ = Phase::GoCleared;
                }
                break;
            case Phase::GoCleared:
                if (bytes_[layout::GoSignal] == 0 || bytes_[layout::WorkerBusy] == 0) phase_ = Phase::Mutex;
                break;
            case Phase::Mutex: TakeMutexAndAcknowledge(); break;
            case Phase::Exit: break;
        }
    }
    bool WaitsForMutex() const { return phase_ == Phase::Mutex; }

private:
    std::int32_t Heartbeat() const {
        return *reinterpret_cast<const volatile std::int32_t*>(bytes_ + layout::Heartbeat);
    }

    void TakeMutexAndAcknowledge() {
        const DWORD wait = ::WaitForSingleObject(mutex_, 5);
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return;
        if (plan_.stopWaiting) {
            bytes_[layout::StopWaiting] = 1;
            expected_[layout::StopWaiting] = 1;
        } else {
            bytes_[layout::PreviewTaken] = 1;
        }
        (void)::ReleaseMutex(mutex_);
        phase_ = Phase::Exit;
    }

    const Plan& plan_;
    const Expectation& e_;
    volatile std::uint8_t* bytes_;
    HANDLE mutex_;
    std::vector<std::uint8_t>& expected_;
    std::int32_t initialHeartbeat_;
    Phase phase_;
};

}  // namespace

std::wstring WorkerUnderTest() { return testsupport::WorkerPathFrom(L"BLOCK_FUZZER_WORKER"); }

std::optional<HostSide> CreateHostSide(const Plan& plan, const std::string& mutexName, std::string& failure) {
    HostSide host;
    host.mapping.reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            static_cast<DWORD>(plan.mappingSize), layout::MappingName));
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (!host.mapping || existed) {
        failure = existed ? "mapping still exists" : "cannot create the mapping";
        return std::nullopt;
    }
    host.view.reset(::MapViewOfFile(host.mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    MEMORY_BASIC_INFORMATION info{};
    if (!host.view || ::VirtualQuery(host.view.get(), &info, sizeof info) == 0) {
        failure = "cannot map the block";
        return std::nullopt;
    }
    host.readable = info.RegionSize;
    host.mutex.reset(::CreateMutexA(nullptr, FALSE, mutexName.c_str()));
    return host;
}

WorkerRun PlayHost(previewhost::WorkerProcess& worker, const Plan& plan, const Expectation& e, void* view,
                   HANDLE mutex, std::vector<std::uint8_t>& expected) {
    HostPlayer host(plan, e, view, mutex, expected);
    WorkerRun run;
    const auto start = Clock::now();
    auto nextDialogCheck = start;
    while (!worker.HasExited()) {
        const auto now = Clock::now();
        if (now >= nextDialogCheck) {
            nextDialogCheck = now + DialogPollPeriod;
            run.dialog = HasDialog(worker.Id());
        }
        run.hung = !run.dialog && now - start >= BlockBound;
        if (run.dialog || run.hung) {
            worker.Kill();
            break;
        }
        const bool waitedOnMutex = host.WaitsForMutex();
        host.Step();
        if (!waitedOnMutex) ::Sleep(1);
    }
    if (!run.hung && !run.dialog && !worker.HasExited()) (void)worker.WaitForExit(std::chrono::seconds(5));
    run.exitCode = worker.ExitCode();
    return run;
}

}  // namespace fuzz
