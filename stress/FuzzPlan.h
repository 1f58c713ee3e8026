// What the block fuzzer draws for one block: the shape of the request block
// and how the Word double behaves. Every draw comes from the block's own
// generator, so a seed and an index always give the same block.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace fuzz {

// Uniform draws built on the engine's raw 32-bit output only: the standard
// library's distributions are free to differ between implementations, and a
// seed must give the same blocks wherever the fuzzer was built.
class Draw {
public:
    Draw(std::uint32_t seed, std::uint32_t block) {
        std::seed_seq sequence{seed, block};
        engine_.seed(sequence);
    }
    // Uniform in [0, n), by rejection so that no value is favoured.
    std::uint32_t Below(std::uint32_t n) {
        const std::uint64_t range = std::uint64_t{1} << 32;
        const std::uint64_t limit = range - range % n;
        for (;;) {
            const std::uint64_t x = static_cast<std::uint32_t>(engine_());
            if (x < limit) return static_cast<std::uint32_t>(x % n);
        }
    }
    bool Percent(std::uint32_t p) { return Below(100) < p; }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Below(256)); }
    std::uint8_t NonZeroByte() { return static_cast<std::uint8_t>(1 + Below(255)); }
    // A set flag is mostly 1, sometimes any other nonzero byte (flags are tested zero/nonzero).
    std::uint8_t SetFlag() { return Percent(70) ? 1 : NonZeroByte(); }

private:
    std::mt19937 engine_;
};

enum class PathForm { Terminated, Unterminated, Garbage };
enum class NameForm { Ours, Unterminated, EndsWithMapping, Missing, Garbage };
enum class WordPlan {
    Success, ServerFault, Unavailable, UnavailableThenOpen, Rejected, Known141F, Known1401, Unknown, EndZero, DieOn,
    NotRegistered
};

struct Plan {
    std::size_t mappingSize = 0;
    bool wellFormed = false;
    PathForm path = PathForm::Garbage;
    NameForm name = NameForm::Garbage;
    WordPlan word = WordPlan::Success;
    std::string dieOn;
    int dieOnCount = 1;
    std::optional<std::string> text;
    bool stopWaiting = false;

    // One line for reports: every choice the plan made.
    std::string Describe() const;
};

// The block's shape and Word's behaviour, drawn first.
[[nodiscard]] Plan DrawPlan(Draw& d);

// What the host writes: random bytes over its whole mapping (the rest of the
// last page, up to `readable`, stays zero, as the system gives it), then the
// request as the plan shapes it.
[[nodiscard]] std::vector<std::uint8_t> DrawBlock(Draw& d, const Plan& plan, std::size_t readable,
                                                  const std::string& documentPath, const std::string& mutexName);

// The Word double's script for the plan.
[[nodiscard]] nlohmann::json ScriptFor(const Plan& plan);

}  // namespace fuzz
