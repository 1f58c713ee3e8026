#include "stress/FuzzPlan.h"

#include "channel/SharedBlockLayout.h"

#include <iterator>

namespace fuzz {

namespace {

namespace layout = SharedBlockLayout;
using nlohmann::json;

const char* Name(PathForm f) {
    switch (f) {
        case PathForm::Terminated: return "path";
        case PathForm::Unterminated: return "path-no-nul";
        case PathForm::Garbage: return "path-garbage";
    }
    return "?";
}
const char* Name(NameForm f) {
    switch (f) {
        case NameForm::Ours: return "mutex";
        case NameForm::Unterminated: return "mutex-no-nul";
        case NameForm::EndsWithMapping: return "mutex-at-mapping-end";
        case NameForm::Missing: return "mutex-missing";
        case NameForm::Garbage: return "mutex-garbage";
    }
    return "?";
}
const char* Name(WordPlan p) {
    switch (p) {
        case WordPlan::Success: return "success";
        case WordPlan::ServerFault: return "open-80010105";
        case WordPlan::Unavailable: return "open-800706BA";
        case WordPlan::UnavailableThenOpen: return "open-800706BA-then-ok";
        case WordPlan::Rejected: return "open-800A1520";
        case WordPlan::Known141F: return "open-800A141F";
        case WordPlan::Known1401: return "open-800A1401";
        case WordPlan::Unknown: return "open-80004005";
        case WordPlan::EndZero: return "end-zero-once";
        case WordPlan::DieOn: return "die";
        case WordPlan::NotRegistered: return "word-not-registered";
    }
    return "?";
}

// The calls the worker makes, in the order of a normal preview.
constexpr const char* WorkerCalls[] = {"Application.Documents", "Documents.Close", "Documents.Open",
                                       "Application.Selection", "Selection.Document", "Document.Select",
                                       "Selection.End.get", "Selection.End.put", "Selection.Start.put",
                                       "Selection.Copy"};

std::size_t DrawMappingSize(Draw& d) {
    const std::uint32_t r = d.Below(100);
    if (r < 10) return 1 + d.Below(32);
    if (r < 20) return 33 + d.Below(static_cast<std::uint32_t>(layout::MinimumViewSize - 33));
    if (r < 30) return layout::MutexName - 6 + d.Below(40);
    if (r < 42) return 4096 * (1 + d.Below(3));
    return layout::MinimumViewSize + d.Below(14000);
}

std::string DrawText(Draw& d) {
    const std::uint32_t r = d.Below(10);
    const std::size_t length = r == 0 ? 0 : r < 8 ? 1 + d.Below(300) : 3000 + d.Below(2000);
    std::string text(length, ' ');
    for (char& c : text) c = static_cast<char>('a' + d.Below(26));
    return text;
}

WordPlan DrawWordPlan(Draw& d) {
    const std::uint32_t r = d.Below(100);
    if (r < 30) return WordPlan::Success;
    if (r < 36) return WordPlan::ServerFault;
    if (r < 40) return WordPlan::Unavailable;
    if (r < 44) return WordPlan::UnavailableThenOpen;
    if (r < 50) return WordPlan::Rejected;
    if (r < 56) return WordPlan::Known141F;
    if (r < 62) return WordPlan::Known1401;
    if (r < 68) return WordPlan::Unknown;
    if (r < 76) return WordPlan::EndZero;
    if (r < 95) return WordPlan::DieOn;
    return WordPlan::NotRegistered;
}

// Writes the host's bytes into a block, dropping those past the end of the mapping.
class BlockWriter {
public:
    BlockWriter(std::vector<std::uint8_t>& block, std::size_t mappingSize) : block_(block), mappingSize_(mappingSize) {}
    void Put(std::size_t offset, std::uint8_t value) {
        if (offset < mappingSize_) block_[offset] = value;
    }
    void PutText(std::size_t offset, const std::string& text, bool terminated) {
        for (std::size_t i = 0; i < text.size(); ++i) Put(offset + i, static_cast<std::uint8_t>(text[i]));
        if (terminated) Put(offset + text.size(), 0);
    }
    std::size_t MappingSize() const { return mappingSize_; }

private:
    std::vector<std::uint8_t>& block_;
    std::size_t mappingSize_;
};

// The request fields of a well-formed block: handshake bytes mostly clear,
// kind and flags of every sort, the document's path in one of the plan's forms.
void DrawRequest(Draw& d, const Plan& plan, const std::string& documentPath, BlockWriter& block) {
    if (d.Percent(85)) {
        for (std::size_t i = 0; i <= layout::PreviewTaken; ++i) block.Put(i, 0);
        for (std::size_t i = 0; i < 4; ++i) block.Put(layout::Heartbeat + i, 0);
        block.Put(layout::RequestPending, d.Percent(92) ? d.SetFlag() : 0);
    }
    const std::uint32_t kind = d.Below(8);
    block.Put(layout::RequestKind, kind < 6 ? static_cast<std::uint8_t>(kind) : d.Byte());
    block.Put(layout::DeleteAlways, d.Percent(20) ? d.SetFlag() : 0);
    block.Put(layout::DeleteKind1, d.Percent(35) ? d.SetFlag() : 0);
    block.Put(layout::DeleteKind2, d.Percent(35) ? d.SetFlag() : 0);
    block.Put(layout::DeleteKind3, d.Percent(35) ? d.SetFlag() : 0);
    block.Put(layout::HostActive, d.Percent(90) ? d.SetFlag() : 0);
    block.Put(layout::StopWaiting, 0);
    if (plan.path == PathForm::Garbage) return;
    block.PutText(layout::DocumentPath, documentPath, true);
    if (plan.path == PathForm::Unterminated) {
        for (std::size_t i = documentPath.size(); i < layout::DocumentPathCapacity; ++i)
            block.Put(layout::DocumentPath + i, d.NonZeroByte());
        // What follows the path must not be taken for part of it.
        block.Put(layout::Heartbeat, 0);
    }
}

void WriteMutexName(Draw& d, const Plan& plan, const std::string& mutexName, BlockWriter& block) {
    switch (plan.name) {
        case NameForm::Ours: block.PutText(layout::MutexName, mutexName, true); break;
        case NameForm::Missing: block.PutText(layout::MutexName, "fuzz-missing-" + mutexName, true); break;
        case NameForm::Unterminated:
            for (std::size_t i = layout::MutexName; i < block.MappingSize(); ++i) block.Put(i, d.NonZeroByte());
            break;
        case NameForm::EndsWithMapping: block.PutText(layout::MutexName, mutexName, false); break;
        case NameForm::Garbage: break;
    }
}

}  // namespace

std::vector<std::uint8_t> DrawBlock(Draw& d, const Plan& plan, std::size_t readable, const std::string& documentPath,
                                    const std::string& mutexName) {
    std::vector<std::uint8_t> bytes(readable, 0);
    for (std::size_t i = 0; i < plan.mappingSize; ++i) bytes[i] = d.Byte();
    BlockWriter block(bytes, plan.mappingSize);
    if (plan.wellFormed) DrawRequest(d, plan, documentPath, block);
    WriteMutexName(d, plan, mutexName, block);
    // A host starts with GoSignal clear: one already set would let the worker
    // race the host for the mutex, a conversation no host holds.
    block.Put(layout::GoSignal, 0);
    return bytes;
}

std::string Plan::Describe() const {
    std::string d = "size " + std::to_string(mappingSize) + (wellFormed ? " request " : " garbage ") + Name(path) +
                    " " + Name(name) + " word " + Name(word);
    if (word == WordPlan::DieOn) d += " on " + dieOn + " #" + std::to_string(dieOnCount);
    if (text) d += " text " + std::to_string(text->size());
    if (stopWaiting) d += " stop-waiting";
    return d;
}

Plan DrawPlan(Draw& d) {
    Plan plan;
    plan.mappingSize = DrawMappingSize(d);
    plan.wellFormed = d.Percent(75);
    if (plan.wellFormed) {
        const std::uint32_t p = d.Below(100);
        plan.path = p < 80 ? PathForm::Terminated : p < 90 ? PathForm::Unterminated : PathForm::Garbage;
        const std::uint32_t n = d.Below(100);
        plan.name = n < 76 ? NameForm::Ours : n < 83 ? NameForm::Unterminated : n < 88 ? NameForm::EndsWithMapping
                  : n < 94 ? NameForm::Missing : NameForm::Garbage;
    } else {
        plan.name = d.Percent(50) ? NameForm::Ours : NameForm::Garbage;
    }
    plan.word = DrawWordPlan(d);
    if (plan.word == WordPlan::DieOn) {
        plan.dieOn = WorkerCalls[d.Below(std::size(WorkerCalls))];
        plan.dieOnCount = 1 + static_cast<int>(d.Below(2));
    }
    // Without a scripted text the double opens the file itself, which a path
    // that names no file makes fail.
    if (d.Percent(plan.path == PathForm::Terminated ? 40 : 70)) plan.text = DrawText(d);
    plan.stopWaiting = d.Percent(25);
    return plan;
}

json ScriptFor(const Plan& plan) {
    json script = {{"windowTitle", "Microsoft Word"}};
    if (plan.text) script["text"] = *plan.text;
    const auto opens = [&](std::initializer_list<const char*> codes) { script["openResults"] = codes; };
    switch (plan.word) {
        case WordPlan::Success:
        case WordPlan::NotRegistered: break;
        case WordPlan::ServerFault: opens({"0x80010105"}); break;
        case WordPlan::Unavailable: opens({"0x800706BA"}); break;
        case WordPlan::UnavailableThenOpen: opens({"0x800706BA", "0"}); break;
        case WordPlan::Rejected: opens({"0x800A1520"}); break;
        case WordPlan::Known141F: opens({"0x800A141F"}); break;
        case WordPlan::Known1401: opens({"0x800A1401"}); break;
        case WordPlan::Unknown: opens({"0x80004005"}); break;
        case WordPlan::EndZero: script["endZeroReads"] = 1; break;
        case WordPlan::DieOn:
            script["dieOn"] = plan.dieOn;
            script["dieOnCount"] = plan.dieOnCount;
            break;
    }
    return script;
}

}  // namespace fuzz
