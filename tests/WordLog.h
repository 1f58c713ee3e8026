// What the Word double's log says about the documents it still holds.
#pragma once

#include "testing/TestSupport.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace testword {

// Documents each live Word double still has open, from its log.
inline int DocumentsLeftOpen(const std::vector<nlohmann::json>& log) {
    std::map<int, int> open;
    for (const nlohmann::json& line : log) {
        const int pid = line.value("pid", 0);
        const std::string call = line.value("call", "");
        if (call == "Documents.Open" && line.value("result", 1u) == 0u) ++open[pid];
        if (call == "Documents.Close" && line.contains("closed")) open[pid] = 0;
    }
    const std::vector<DWORD> alive = testsupport::WordProcessIds();
    int left = 0;
    for (auto [pid, count] : open)
        if (std::find(alive.begin(), alive.end(), static_cast<DWORD>(pid)) != alive.end()) left += count;
    return left;
}

}  // namespace testword
