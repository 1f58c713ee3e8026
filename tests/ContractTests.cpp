// What a host written from the protocol alone relies on, one fact a row. Each
// row states the fact as the protocol gives it, as a literal, and compares it
// with the product's constant: a changed constant fails the row that names it.
#include "channel/Protocol.h"
#include "channel/SharedBlock.h"
#include "channel/SharedBlockLayout.h"
#include "desktop/Clipboard.h"
#include "desktop/WordWindows.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace layout = SharedBlockLayout;

// --- Numbers: the block's offsets and widths, the preview's limit -----------

struct NumberRow {
    const char* name;
    std::size_t literal;  // as the protocol gives it
    std::size_t product;
};

void PrintTo(const NumberRow& row, std::ostream* out) { *out << row.name; }

class NumberContract : public ::testing::TestWithParam<NumberRow> {};

TEST_P(NumberContract, ProductAgrees) {
    const NumberRow& row = GetParam();
    EXPECT_EQ(row.product, row.literal) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, NumberContract,
    ::testing::Values(NumberRow{"WordReady", 0, layout::WordReady},
                      NumberRow{"WorkerBusy", 1, layout::WorkerBusy},
                      NumberRow{"GoSignal", 2, layout::GoSignal},
                      NumberRow{"RequestPending", 3, layout::RequestPending},
                      NumberRow{"PreviewTaken", 4, layout::PreviewTaken},
                      NumberRow{"RequestRecord", 8, layout::Request},
                      NumberRow{"RequestKind", 16, layout::RequestKind},
                      NumberRow{"OpenRejected", 18, layout::OpenRejected},
                      NumberRow{"DocumentPath", 32, layout::DocumentPath},
                      NumberRow{"DocumentPathCapacity", 520, layout::DocumentPathCapacity},
                      NumberRow{"Heartbeat", 552, layout::Heartbeat},
                      NumberRow{"HostActive", 1684, layout::HostActive},
                      NumberRow{"StopWaiting", 1704, layout::StopWaiting},
                      NumberRow{"DeleteAlways", 1752, layout::DeleteAlways},
                      NumberRow{"DeleteKind1", 1753, layout::DeleteKind1},
                      NumberRow{"DeleteKind2", 1754, layout::DeleteKind2},
                      NumberRow{"DeleteKind3", 1755, layout::DeleteKind3},
                      NumberRow{"MutexName", 1816, layout::MutexName},
                      NumberRow{"PreviewLengthLimit", 3000, static_cast<std::size_t>(Protocol::PreviewLengthLimit)}),
    [](const ::testing::TestParamInfo<NumberRow>& info) { return std::string(info.param.name); });

// --- Texts: compared byte for byte, case included -----------------------------

struct TextRow {
    const char* name;
    const char* literal;
    const char* product;
};

void PrintTo(const TextRow& row, std::ostream* out) { *out << row.name; }

class TextContract : public ::testing::TestWithParam<TextRow> {};

TEST_P(TextContract, ProductAgrees) {
    const TextRow& row = GetParam();
    EXPECT_EQ(std::string(row.product), std::string(row.literal)) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, TextContract,
    ::testing::Values(TextRow{"MappingName", "jlrf73hw2de", layout::MappingName},
                      TextRow{"Placeholder", "PREVIEW IS NOT AVAILABLE FOR THIS DOCUMENT!", Protocol::PlaceholderText},
                      TextRow{"WorkerWindowClass", "TWordForm", Protocol::WorkerWindowClass},
                      TextRow{"WorkerWindowCaption", "WordForm", Protocol::WorkerWindowCaption},
                      TextRow{"TaskkillCommand", "taskkill.exe /f /t /im \"winword.exe\"", KillWordCommand}),
    [](const ::testing::TestParamInfo<TextRow>& info) { return std::string(info.param.name); });

// --- Word's identifiers: the literal text parsed by the system ---------------

struct GuidRow {
    const char* name;
    const wchar_t* literal;
    GUID product;
    bool isClassId;  // parsed with CLSIDFromString, else IIDFromString
};

void PrintTo(const GuidRow& row, std::ostream* out) { *out << row.name; }

class GuidContract : public ::testing::TestWithParam<GuidRow> {};

TEST_P(GuidContract, ProductAgrees) {
    const GuidRow& row = GetParam();
    GUID parsed{};
    const HRESULT result = row.isClassId ? ::CLSIDFromString(row.literal, &parsed)
                                         : ::IIDFromString(row.literal, &parsed);
    ASSERT_EQ(result, S_OK) << row.name;
    EXPECT_TRUE(::IsEqualGUID(parsed, row.product)) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Word, GuidContract,
    ::testing::Values(
        GuidRow{"WordApplicationClass", L"{000209FF-0000-0000-C000-000000000046}", Protocol::CLSID_WordApplication, true},
        GuidRow{"ApplicationInterface", L"{00020970-0000-0000-C000-000000000046}", Protocol::IID__Application, false},
        GuidRow{"ApplicationEvents3", L"{00020A00-0000-0000-C000-000000000046}", Protocol::DIID_ApplicationEvents3, false}),
    [](const ::testing::TestParamInfo<GuidRow>& info) { return std::string(info.param.name); });

// The class id's text form, as the registry spells it, names the same class.
TEST(WordContract, ClassIdTextNamesWordsClass) {
    CLSID parsed{};
    ASSERT_EQ(::CLSIDFromString(Protocol::WordClassIdText, &parsed), S_OK);
    EXPECT_TRUE(::IsEqualGUID(parsed, Protocol::CLSID_WordApplication));
    EXPECT_EQ(std::wstring(Protocol::WordClassIdText), std::wstring(L"{000209FF-0000-0000-C000-000000000046}"));
}

// --- Behaviour a host reads: the heartbeat's bytes, the worker's bytes -------

// Four bytes at 552, little-endian, and nothing else written.
TEST(BlockContract, HeartbeatIsFourBytesLittleEndianAt552) {
    std::vector<std::uint8_t> bytes(2048, 0xEE);
    const std::vector<std::uint8_t> before = bytes;
    SharedBlock block(bytes.data(), bytes.size());
    block.WriteHeartbeat(0x01020304);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::uint8_t expected = before[i];
        if (i == 552) expected = 0x04;
        if (i == 553) expected = 0x03;
        if (i == 554) expected = 0x02;
        if (i == 555) expected = 0x01;
        ASSERT_EQ(bytes[i], expected) << "byte " << i;
    }
}

// The placeholder reaches the clipboard as CF_TEXT (format 1), exactly those
// bytes and their NUL.
TEST(ClipboardContract, PlaceholderIsPublishedAsFormatOne) {
    HWND owner = ::CreateWindowExA(0, "STATIC", "contract", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(owner, nullptr);
    SetClipboardOwnerWindow(owner);
    PublishClipboardText(Protocol::PlaceholderText);
    SetClipboardOwnerWindow(nullptr);

    ASSERT_TRUE(::OpenClipboard(owner));
    std::string text;
    bool terminated = false;
    if (HANDLE data = ::GetClipboardData(1)) {
        const SIZE_T size = ::GlobalSize(data);
        if (const char* bytes = static_cast<const char*>(::GlobalLock(data))) {
            const std::size_t length = ::strnlen(bytes, size);
            text.assign(bytes, length);
            terminated = length < size;
            ::GlobalUnlock(data);
        }
    }
    ::EmptyClipboard();
    ::CloseClipboard();
    ::DestroyWindow(owner);

    EXPECT_EQ(text, "PREVIEW IS NOT AVAILABLE FOR THIS DOCUMENT!");
    EXPECT_TRUE(terminated);
}

}  // namespace
