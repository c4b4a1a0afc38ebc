// Every message of the public SpamAssassin corpus parses, and junkward-mime
// prints each of them. Skipped when the corpus is not cached (bench/fetch-corpus).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "mailparse/tests/mimepart_test_support.h"

using namespace mimetest;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kCorpusMessages = 6046;

std::vector<fs::path> corpusFiles() {
    std::vector<fs::path> roots;
    if (const char* dir = std::getenv("JUNKWARD_CORPUS_DIR"))
        roots.push_back(fs::path(dir) / "spam-assassin");
    if (const char* source = std::getenv("JUNKWARD_SOURCE_DIR"))
        roots.push_back(fs::path(source) / "bench" / "data" / "spam-assassin");
    for (const fs::path& root : roots) {
        std::error_code error;
        if (!fs::is_directory(root, error))
            continue;
        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator(root, error))
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        if (!files.empty())
            return files;
    }
    return {};
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void checkTree(SAMIMEPart* part, int depth, unsigned long* parts) {
    ++*parts;
    ASSERT_EQ(part->_depth, depth);
    ASSERT_NE(part->_headers, nullptr);
    for (unsigned long i = 0; i < childCount(part); ++i)
        checkTree(child(part, i), depth + 1, parts);
}

TEST(MimeCorpus, everyCorpusMessageParses) {
    std::vector<fs::path> files = corpusFiles();
    if (files.empty())
        GTEST_SKIP() << "corpus not cached; run bench/fetch-corpus";
    EXPECT_EQ(files.size(), kCorpusMessages);
    unsigned long parts = 0;
    unsigned long multipart = 0;
    unsigned long withLinks = 0;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        Parsed p = parse(readAll(file));
        ASSERT_EQ(p.result(), 0);
        checkTree(p.part(), 0, &parts);
        multipart += p->_contentType == SAMIMETypeMultipart;
        withLinks += p->_urls && p->_urls->count() > 0;
    }
    // About one message in twelve is multipart; all but a few malformed ones
    // (a boundary that differs from its delimiters) have children.
    EXPECT_GT(multipart, 400u);
    EXPECT_GT(withLinks, 2000u);
    EXPECT_GT(parts, files.size() + multipart);
}

TEST(MimeCorpus, theToolPrintsEveryCorpusMessage) {
    std::vector<fs::path> files = corpusFiles();
    if (files.empty())
        GTEST_SKIP() << "corpus not cached; run bench/fetch-corpus";
    const char* stage = std::getenv("JUNKWARD_STAGE");
    ASSERT_NE(stage, nullptr);
    const std::string tool = std::string(stage) + "/bin/junkward-mime";
    ASSERT_EQ(access(tool.c_str(), X_OK), 0) << tool;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        std::string out;
        ASSERT_EQ(runProgram(tool, {file.string()}, &out), 0);
        ASSERT_EQ(out.rfind("== Result of parsing: 0\n== Parse tree\n", 0), 0u);
        ASSERT_NE(out.find("\n== Parts\nMIME part 1 (depth 0): "), std::string::npos);
        ASSERT_NE(out.find("\ncontainsExoticCharset        "), std::string::npos);
    }
}

}  // namespace
