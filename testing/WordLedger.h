// What the Word doubles' logs say each of them still holds: open documents and
// advised event sinks. A killed Word takes both with it, so only the doubles
// still running count.
#pragma once

#include "testing/TestSupport.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace testword {

class WordLedger {
public:
    // Adds what a log (read since the last clear) says; logs of successive
    // requests may be added one after another.
    void Add(const std::vector<nlohmann::json>& log) {
        for (const nlohmann::json& line : log) {
            Held& held = held_[line.value("pid", 0u)];
            const std::string call = line.value("call", "");
            const bool succeeded = line.value("result", 1u) == 0u;
            if (call == "Documents.Open" && succeeded) ++held.documents;
            // Close with no document named closes every open one.
            if (call == "Documents.Close" && line.contains("closed")) held.documents = 0;
            if (call == "Advise" && succeeded) ++held.sinks;
            if (call == "Unadvise" && succeeded) --held.sinks;
        }
    }

    [[nodiscard]] int DocumentsOpenInLiveWords() const { return SumOverLiveWords(&Held::documents); }
    [[nodiscard]] int SinksAdvisedInLiveWords() const { return SumOverLiveWords(&Held::sinks); }

private:
    struct Held {
        int documents = 0;
        int sinks = 0;
    };

    int SumOverLiveWords(int Held::*count) const {
        const std::vector<DWORD> alive = testsupport::WordProcessIds();
        int total = 0;
        for (const auto& [pid, held] : held_)
            if (std::find(alive.begin(), alive.end(), pid) != alive.end()) total += held.*count;
        return total;
    }

    std::map<DWORD, Held> held_;
};

// Documents the live doubles still have open, from one log.
inline int DocumentsLeftOpen(const std::vector<nlohmann::json>& log) {
    WordLedger ledger;
    ledger.Add(log);
    return ledger.DocumentsOpenInLiveWords();
}

}  // namespace testword
