// Speed of the MIME parser: messages per second and MB/s over the public
// SpamAssassin corpus (fetched by bench/fetch-corpus) and over one generated
// 10 MB message, beside memcpy of the same bytes in the same run, and beside
// a peer MIME lexer (bogolexer) when one is installed.
//
//   mimeparse_bench [CORPUS_DIR]     (default: $JUNKWARD_CORPUS_DIR, else
//                                     bench/data/spam-assassin beside this file)
//   mimeparse_bench --once [CORPUS_DIR]
//                                    parses every corpus message once and
//                                    nothing else: the workload to profile
//                                    under callgrind
//
// Each parse copies the message into a fresh data object first (the parser
// edits HTML links in place, as the engine's own copy allows), so the figure
// includes one copy; memcpy shows what that copy alone costs. Figures are the
// best of five passes.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SARef.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

/// Processor time of this process, in seconds: on a shared machine it shows
/// the work done, where wall time also counts the waits for a core.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

long peakRSSKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

/// Parses `message` once; returns the number of parts (to keep the work alive).
unsigned long parseOnce(const std::string& message, int* result) {
    SARef<SAData> data =
        SARef<SAData>::adopt(new SAData(reinterpret_cast<const unsigned char*>(message.data()), message.size(), false));
    SARef<SAMIMEPart> top = SARef<SAMIMEPart>::adopt(new SAMIMEPart(data.get(), true, nullptr, nullptr));
    *result = top->process(true, true);
    return top->_parts ? top->_parts->count() + 1 : 1;
}

struct Figure {
    double parseSeconds = 0;      // processor time
    double parseWallSeconds = 0;  // wall time
    double memcpySeconds = 0;
    unsigned long long bytes = 0;
    unsigned long long messages = 0;
    unsigned long long failures = 0;
};

/// Best of `rounds` passes over `messages` for the parser and for memcpy.
Figure measure(const std::vector<std::string>& messages, int rounds) {
    Figure best;
    best.parseSeconds = best.parseWallSeconds = best.memcpySeconds = 1e30;
    std::vector<char> sink;
    std::size_t largest = 0;
    for (const std::string& m : messages) {
        best.bytes += m.size();
        largest = std::max(largest, m.size());
    }
    sink.resize(largest + 1);
    best.messages = messages.size();
    volatile unsigned long keep = 0;
    for (int round = 0; round < rounds; ++round) {
        unsigned long long failures = 0;
        Clock::time_point start = Clock::now();
        double cpuStart = cpuSeconds();
        for (const std::string& m : messages) {
            int result = 0;
            keep = keep + parseOnce(m, &result);
            if (result != 0)
                ++failures;
        }
        best.parseSeconds = std::min(best.parseSeconds, cpuSeconds() - cpuStart);
        best.parseWallSeconds = std::min(best.parseWallSeconds, seconds(Clock::now() - start));
        best.failures = failures;

        start = Clock::now();
        for (const std::string& m : messages) {
            std::memcpy(sink.data(), m.data(), m.size());
            keep = keep + static_cast<unsigned char>(sink[m.size() / 2]);
        }
        best.memcpySeconds = std::min(best.memcpySeconds, seconds(Clock::now() - start));
    }
    return best;
}

void report(const char* name, const Figure& f) {
    double mb = static_cast<double>(f.bytes) / 1e6;
    std::printf("%s: %llu messages, %.2f MB, %llu not parsed with 0\n", name, f.messages, mb, f.failures);
    std::printf("  junkward parser : %10.0f messages/s %9.1f MB/s  (%.4f s processor time, %.4f s wall)\n",
                f.messages / f.parseSeconds, mb / f.parseSeconds, f.parseSeconds, f.parseWallSeconds);
    std::printf("  memcpy          : %10.0f messages/s %9.1f MB/s  (%.6f s)\n", f.messages / f.memcpySeconds,
                mb / f.memcpySeconds, f.memcpySeconds);
}

double childrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    auto toSeconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

/// Processor and wall time of one run of the peer lexer over `path`; false
/// when it is not installed or fails.
bool peerSeconds(const fs::path& path, double* cpu, double* wall) {
    if (std::system("command -v bogolexer >/dev/null 2>&1") != 0)
        return false;
    std::string command = "bogolexer -C -q -I '" + path.string() + "' >/dev/null 2>&1";
    double cpuStart = childrenCpuSeconds();
    Clock::time_point start = Clock::now();
    int status = std::system(command.c_str());
    *wall = seconds(Clock::now() - start);
    *cpu = childrenCpuSeconds() - cpuStart;
    return status == 0;
}

void reportPeer(const fs::path& path, const Figure& f) {
    double cpu = 0;
    double wall = 0;
    if (!peerSeconds(path, &cpu, &wall)) {
        std::printf("  peer (bogolexer): not installed or failed\n");
        return;
    }
    double mb = static_cast<double>(f.bytes) / 1e6;
    std::printf(
        "  peer bogolexer  : %10.0f messages/s %9.1f MB/s  (%.4f s processor time, %.4f s wall; one process,"
        " MIME decoding and tokens)\n",
        f.messages / cpu, mb / cpu, cpu, wall);
}

/// A 10 MB message: a multipart/mixed with a long plain part, a
/// quoted-printable HTML part full of links and a base64 attachment.
std::string generatedMessage(std::size_t target) {
    std::string m =
        "From: \"Generator\" <gen@bench.example>\nTo: reader@bench.example\n"
        "Subject: =?utf-8?Q?A_large_message?=\nMessage-ID: <large@bench.example>\n"
        "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"=_large_boundary\"\n\n"
        "Preamble.\n";
    const std::size_t third = target / 3;
    m += "--=_large_boundary\nContent-Type: text/plain; charset=utf-8\n\n";
    while (m.size() < third)
        m += "Plain text line with an address someone@bench.example and a link http://www.bench.example/p?q=1 .\n";
    m +=
        "\n--=_large_boundary\nContent-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n";
    while (m.size() < 2 * third)
        m += "<p style=3D\"color:#333\">Offer <a href=3D\"http://shop.bench.example/item?id=3D42\">here</a> "
             "<font color=3D\"#ffffff\">x</font> caf=C3=A9</p>\n";
    m += "\n--=_large_boundary\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n";
    while (m.size() < target)
        m += "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAxMjM0\n";
    m += "\n--=_large_boundary--\n";
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path corpus;
    bool once = false;
    if (argc > 1 && std::strcmp(argv[1], "--once") == 0) {
        once = true;
        --argc;
        ++argv;
    }
    if (argc > 1)
        corpus = argv[1];
    else if (const char* env = std::getenv("JUNKWARD_CORPUS_DIR"))
        corpus = fs::path(env) / "spam-assassin";
    else
        corpus = fs::path(__FILE__).parent_path() / "data" / "spam-assassin";

    fs::path scratch = fs::temp_directory_path() / ("mimeparse-bench-" + std::to_string(getpid()));
    fs::create_directories(scratch);

    std::vector<std::string> messages;
    std::error_code error;
    if (fs::is_directory(corpus, error)) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator(corpus, error))
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const fs::path& f : files)
            messages.push_back(readFile(f));
    }
    if (once) {
        unsigned long long parts = 0;
        unsigned long long failures = 0;
        for (const std::string& m : messages) {
            int result = 0;
            parts += parseOnce(m, &result);
            if (result != 0)
                ++failures;
        }
        std::printf("parsed once: %zu messages, %llu parts, %llu not parsed with 0\n", messages.size(), parts,
                    failures);
        fs::remove_all(scratch, error);
        return 0;
    }
    if (messages.empty()) {
        std::printf("corpus: none at %s (run bench/fetch-corpus)\n", corpus.c_str());
    } else {
        Figure f = measure(messages, 5);
        report("SpamAssassin corpus", f);
        // The corpus messages begin with mbox "From " lines: one file is an mbox.
        fs::path mbox = scratch / "corpus.mbox";
        {
            std::ofstream out(mbox, std::ios::binary);
            for (const std::string& m : messages)
                out << m << (m.empty() || m.back() != '\n' ? "\n" : "") << "\n";
        }
        reportPeer(mbox, f);
    }

    std::vector<std::string> large{generatedMessage(10 * 1000 * 1000)};
    Figure g = measure(large, 5);
    report("Generated message", g);
    fs::path largePath = scratch / "large.eml";
    {
        std::ofstream out(largePath, std::ios::binary);
        out << large[0];
    }
    reportPeer(largePath, g);
    std::printf("peak resident memory: %.1f MB\n", peakRSSKilobytes() / 1024.0);

    fs::remove_all(scratch, error);
    return 0;
}
