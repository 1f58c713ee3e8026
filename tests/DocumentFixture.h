// The fixture of the suites that run whole requests against the Word double:
// a registered double, empty logs, and a document of the suite's own in the
// temp folder; afterwards no worker and no double are left running.
#pragma once

#include "host/PreviewHost.h"
#include "testing/ProcessTools.h"
#include "testing/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <utility>

namespace testdocument {

// At least `length` characters of numbered sentences, recognisable anywhere.
inline std::string NumberedText(std::size_t length, const std::string& sentence) {
    std::string text;
    for (int i = 0; text.size() < length; ++i) text += sentence + " " + std::to_string(i) + ". ";
    return text;
}

class DocumentFixture : public ::testing::Test {
protected:
    DocumentFixture(std::string fileName, std::string text) : text_(std::move(text)), fileName_(std::move(fileName)) {}

    void SetUp() override {
        testsupport::KillAllWordDoubles();
        testsupport::ClearWordLog();
        testsupport::ClearTaskkillLog();
        ASSERT_TRUE(testsupport::RegisterWordDouble());
        path_ = testsupport::TempPath(fileName_);
        std::ofstream(path_, std::ios::binary) << text_;
    }

    void TearDown() override {
        for (DWORD pid : process_tools::ProcessIdsByName(L"WordPreview.exe")) (void)process_tools::TerminateAndWait(pid);
        testsupport::KillAllWordDoubles();
        (void)::DeleteFileA(path_.c_str());
    }

    // A request for the document, with a bound generous enough for a slow machine.
    previewhost::PreviewOptions Options() const {
        previewhost::PreviewOptions options;
        options.workerPath = testsupport::WorkerPath();
        options.request.documentPath = path_;
        options.bound = std::chrono::seconds(60);
        return options;
    }

    const std::string text_;
    std::string path_;  // system code page, as the block carries it

private:
    std::string fileName_;
};

}  // namespace testdocument
