// One request played from the host's side, step by step, each wait bounded.
#include "host/DebugPump.h"
#include "host/HostInternals.h"
#include "host/PreviewHost.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <utility>

namespace previewhost {

namespace Layout = SharedBlockLayout;
using namespace internal;

namespace {

constexpr std::chrono::milliseconds MemorySamplePeriod{5};

// Owns a mutex acquired by this thread until it goes.
class MutexOwnership {
public:
    explicit MutexOwnership(HANDLE mutex) noexcept : mutex_(mutex) {}
    MutexOwnership(const MutexOwnership&) = delete;
    MutexOwnership& operator=(const MutexOwnership&) = delete;
    ~MutexOwnership() { Release(); }
    void Release() noexcept {
        if (mutex_) (void)::ReleaseMutex(std::exchange(mutex_, nullptr));
    }

private:
    HANDLE mutex_;
};

enum class Wait { Met, WorkerExited, TimedOut };

// One request's host side; each step waits with the same bound.
class Session {
public:
    Session(const PreviewOptions& options, PreviewResult& result) : options_(options), result_(result) {}

    void Run() {
        if (options_.emptyClipboardFirst) EmptyClipboardNow(options_.bound);
        HostChannel channel = HostChannel::Create(options_.mappingSize, options_.mutexName);
        if (channel.Size() <= Layout::PreviewTaken)
            throw HostError("the mapping must hold at least the handshake bytes (" +
                            std::to_string(Layout::PreviewTaken + 1) + " bytes)");
        channel.WriteRequest(options_.request);
        if (options_.beforeStart) options_.beforeStart(channel);
        channel_ = &channel;

        std::optional<DebugPump> pump;
        epoch_ = Clock::now();
        if (options_.trace) {
            pump.emplace(epoch_);
            worker_ = pump->Start(options_.workerPath, options_.workerDirectory);
        } else {
            worker_ = WorkerProcess::Start(options_.workerPath, options_.workerDirectory);
        }
        Mark("started");

        try {
            Handshake();
        } catch (...) {
            EndWorker();
            CollectTrace(pump);
            throw;
        }
        EndWorker();
        CollectTrace(pump);
    }

private:
    // The host's side, step by step. Each step returns false once the request
    // has ended (the outcome is then recorded) and the steps after it do not apply.
    void Handshake() {
        if (!AwaitRequestTaken() || !AwaitHeartbeat() || !GoAndAwaitMutexTaken()) return;
        std::optional<MutexOwnership> owned = AwaitMutex();
        if (!owned) return;
        ReadAndAcknowledge(*owned);
        AwaitExit();
    }

    std::string Bound() const { return std::to_string(options_.bound.count()) + " ms"; }

    // 1. The worker takes the request: RequestPending cleared, WorkerBusy set.
    [[nodiscard]] bool AwaitRequestTaken() {
        HostChannel& channel = *channel_;
        switch (WaitFor([&] { return channel.Byte(Layout::RequestPending) == 0 && channel.Byte(Layout::WorkerBusy); })) {
        case Wait::TimedOut:
            TimedOut("busy", "the worker did not take the request within " + Bound());
            return false;
        case Wait::WorkerExited:
            if (channel.Byte(Layout::RequestPending) != 0) {
                NotTaken();
            } else {
                Finish();
            }
            return false;
        case Wait::Met:
            break;
        }
        Mark("busy");
        return true;
    }

    // 2. Its heartbeat, which it writes only for an active host.
    [[nodiscard]] bool AwaitHeartbeat() {
        HostChannel& channel = *channel_;
        const bool heartbeatExpected = options_.request.hostActive && channel.Size() > Layout::HostActive;
        if (!heartbeatExpected) return true;
        switch (WaitFor([&] { return channel.Heartbeat() != 0; })) {
        case Wait::TimedOut:
            TimedOut("heartbeat", "no heartbeat from the worker within " + Bound());
            return false;
        case Wait::WorkerExited:
            Finish();
            return false;
        case Wait::Met:
            break;
        }
        Mark("heartbeat");
        return true;
    }

    // 3. Go. Asking for the mutex right away could win it before the worker
    // does, so wait until the worker owns it (it clears GoSignal) or is done.
    [[nodiscard]] bool GoAndAwaitMutexTaken() {
        HostChannel& channel = *channel_;
        if (options_.beforeGo) options_.beforeGo(channel);
        channel.SetByte(Layout::GoSignal, 1);
        Mark("go");
        if (options_.afterGo) options_.afterGo(channel);
        const Wait taken =
            WaitFor([&] { return channel.Byte(Layout::GoSignal) == 0 || channel.Byte(Layout::WorkerBusy) == 0; });
        if (taken != Wait::TimedOut) return true;
        TimedOut("go", "the worker did not take the mutex within " + Bound() + " of GoSignal");
        return false;
    }

    // 4. The mutex comes back either once the preview is on the clipboard (the
    // worker then waits for PreviewTaken) or once the worker is through. A
    // worker that dies holding it leaves it abandoned, which still makes it ours.
    [[nodiscard]] std::optional<MutexOwnership> AwaitMutex() {
        const HANDLE mutex = channel_->Mutex();
        const auto deadline = Clock::now() + options_.bound;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            const DWORD slice = static_cast<DWORD>(std::clamp<long long>(left, 0, 5));
            const DWORD wait = ::WaitForSingleObject(mutex, slice);
            if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
                result_.mutexAbandoned = wait == WAIT_ABANDONED;
                Mark("mutex");
                return std::optional<MutexOwnership>(std::in_place, mutex);
            }
            if (wait == WAIT_FAILED) throw HostError("waiting for the mutex failed: " + SystemMessage(::GetLastError()));
            SampleMemory();
            if (left <= 0) {
                TimedOut("mutex", "the worker held the mutex for more than " + Bound());
                return std::nullopt;
            }
        }
    }

    // 5. Read the clipboard while holding the mutex, then acknowledge.
    void ReadAndAcknowledge(MutexOwnership& owned) {
        HostChannel& channel = *channel_;
        try {
            result_.clipboardText = ReadClipboardText(options_.bound).value_or(std::string());
        } catch (const HostError& error) {
            hostFailure_ = error.what();  // still release the worker below
        }
        if (options_.beforeAcknowledge) options_.beforeAcknowledge(channel);
        channel.SetByte(options_.stopWaitingInsteadOfTaken ? Layout::StopWaiting : Layout::PreviewTaken, 1);
        owned.Release();
        Mark("acknowledged");
    }

    // 6. The worker finishes and exits.
    void AwaitExit() {
        if (WaitFor([] { return false; }) == Wait::TimedOut) {
            TimedOut("exited", "the worker did not exit within " + Bound() + " of the acknowledgement");
        } else {
            Finish();
        }
    }

    // Polls `condition` until it holds, the worker exits or the bound runs out.
    template <typename Condition>
    [[nodiscard]] Wait WaitFor(Condition condition) {
        const auto deadline = Clock::now() + options_.bound;
        for (;;) {
            if (condition()) return Wait::Met;
            SampleMemory();
            if (worker_.HasExited()) return condition() ? Wait::Met : Wait::WorkerExited;
            if (Clock::now() >= deadline) return Wait::TimedOut;
            ::Sleep(PollMs);
        }
    }

    // Each query is a round trip to the kernel (~0.1 ms under Wine) that the worker's own
    // calls queue behind, so sample every few polls; the counters are gone once it exits.
    void SampleMemory() {
        const auto now = Clock::now();
        if (now < nextSample_) return;
        nextSample_ = now + MemorySamplePeriod;
        result_.peakPrivateBytes = std::max(result_.peakPrivateBytes, worker_.PeakPrivateBytes());
    }

    void Mark(const char* stage) {
        result_.stages.push_back(Stage{stage, MillisecondsSince(epoch_)});
        nextSample_ = Clock::time_point();  // the worker's use changes most between stages
    }

    void NotTaken() {
        Finish();
        result_.outcome = Outcome::NotTaken;
        result_.failure = "worker exited (code " + std::to_string(result_.workerExitCode.value_or(0)) +
                          ") without taking the request";
    }

    void TimedOut(const char* stage, std::string message) {
        worker_.Kill();
        Finish();
        result_.outcome = Outcome::TimedOut;
        result_.stuckStage = stage;
        result_.failure = std::move(message) + " (timed out in stage \"" + stage + "\"; worker killed)";
    }

    // The worker is gone: read what it left in the block and say what happened.
    void Finish() {
        if (!worker_.HasExited()) (void)worker_.WaitForExit(KillBound);
        result_.workerExited = worker_.HasExited();
        if (result_.workerExited) Mark("exited");
        result_.workerExitCode = worker_.ExitCode();

        HostChannel& channel = *channel_;
        if (options_.afterExit) options_.afterExit(channel);
        result_.wordReady = channel.Byte(Layout::WordReady) != 0;
        result_.openRejected = channel.Size() > Layout::OpenRejected && channel.Byte(Layout::OpenRejected) == 1;
        const std::string code = std::to_string(result_.workerExitCode.value_or(0));
        if (!hostFailure_.empty()) {
            result_.outcome = Outcome::HostFailure;
            result_.failure = hostFailure_;
        } else if (channel.Byte(Layout::WorkerBusy) != 0) {
            result_.outcome = Outcome::WorkerFailed;
            result_.failure = "worker exited (code " + code + ") in the middle of the request";
        } else if (!result_.wordReady) {
            result_.outcome = Outcome::WordUnavailable;
        } else if (result_.openRejected) {
            result_.outcome = Outcome::DocumentRefused;
        } else if (result_.clipboardText == Protocol::PlaceholderText) {
            result_.outcome = Outcome::Placeholder;
        } else {
            result_.outcome = Outcome::Preview;
        }
    }

    // Whatever happened, no worker outlives the request.
    void EndWorker() {
        if (worker_.Handle() && !worker_.HasExited()) worker_.Kill();
    }

    void CollectTrace(std::optional<DebugPump>& pump) {
        if (pump) result_.traceLines = pump->Finish();
    }

    const PreviewOptions& options_;
    PreviewResult& result_;
    HostChannel* channel_ = nullptr;
    WorkerProcess worker_;
    Clock::time_point epoch_;
    Clock::time_point nextSample_;
    std::string hostFailure_;
};

}  // namespace

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Preview: return "Preview";
    case Outcome::Placeholder: return "Placeholder";
    case Outcome::WordUnavailable: return "WordUnavailable";
    case Outcome::DocumentRefused: return "DocumentRefused";
    case Outcome::NotTaken: return "NotTaken";
    case Outcome::WorkerFailed: return "WorkerFailed";
    case Outcome::HostFailure: return "HostFailure";
    case Outcome::TimedOut: return "TimedOut";
    }
    return "?";
}

PreviewResult RunPreview(const PreviewOptions& options) {
    PreviewResult result;
    try {
        Session(options, result).Run();
    } catch (const std::exception& error) {
        result.outcome = Outcome::HostFailure;
        result.failure = error.what();
    } catch (...) {
        result.outcome = Outcome::HostFailure;
        result.failure = "unexpected failure in the host";
    }
    return result;
}

}  // namespace previewhost
