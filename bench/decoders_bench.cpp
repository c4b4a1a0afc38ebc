// Speed of the transfer decoders on 1 MB inputs, beside memcpy of the same size
// in the same run, and coreutils' base64 -d where the machine has it.
//
// Prints, per decoder: MB/s of encoded input consumed, and the decoder's time
// as a multiple of memcpy's time for the same number of bytes.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "mailparse/SADecoderFactory.h"

namespace {

constexpr size_t kInputSize = 1 << 20;

using Clock = std::chrono::steady_clock;
using BufferDecoder = int (*)(const unsigned char*, unsigned long, unsigned char**, unsigned long*);

inline void keep(void* p) { asm volatile("" : : "g"(p) : "memory"); }

// This thread's processor time in seconds: on a shared, loaded machine it leaves
// out the time other processes hold the processor.
double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Best processor time per call over several rounds of `calls` calls each.
template <class F>
double bestSeconds(F&& run, int calls = 50, int rounds = 7) {
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        double start = threadSeconds();
        for (int i = 0; i < calls; ++i)
            run();
        double s = (threadSeconds() - start) / calls;
        if (s < best)
            best = s;
    }
    return best;
}

std::string base64Input(std::mt19937& random) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(kInputSize);
    // Lines of 76 characters and CR LF, as mail bodies carry them.
    while (out.size() + 78 <= kInputSize) {
        for (int g = 0; g < 19; ++g) {
            unsigned v = random() & 0xFFFFFF;
            for (int k = 3; k >= 0; --k)
                out.push_back(alphabet[(v >> (6 * k)) & 63]);
        }
        out += "\r\n";
    }
    while (out.size() + 4 <= kInputSize)
        out += "QUJD";
    return out;
}

// Text with soft breaks every 76 bytes; `escapedWords` of every 16 words carry
// "=XX" escapes (accented letters).
std::string quotedPrintableInput(std::mt19937& random, unsigned escapedWords) {
    static const char* const plain[] = {"the", "offer", "limited", "time", "click", "here", "today", "free"};
    static const char* const escaped[] = {"caf=E9", "cr=E8me", "=C3=A9t=C3=A9", "na=EFve"};
    std::string out;
    out.reserve(kInputSize + 100);
    size_t line = 0;
    while (out.size() < kInputSize) {
        std::string w = (random() % 16 < escapedWords) ? escaped[random() % 4] : plain[random() % 8];
        if (line + w.size() + 1 > 75) {
            out += "=\r\n";
            line = 0;
        }
        out += w;
        out += ' ';
        line += w.size() + 1;
    }
    out.resize(kInputSize);
    return out;
}

// Every byte escaped: binary content sent as quoted-printable, the worst case.
std::string escapedInput(std::mt19937& random, bool underscores) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(kInputSize);
    while (out.size() + 3 <= kInputSize) {
        unsigned char c = static_cast<unsigned char>(random());
        if (underscores && (c & 7) == 0) {
            out += '_';
            continue;
        }
        out += '=';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

std::string uuencodeInput(std::mt19937& random) {
    std::string out = "begin 644 bench.bin\n";
    while (out.size() + 62 + 10 <= kInputSize) {
        out += 'M';
        for (int g = 0; g < 15; ++g) {
            unsigned v = random() & 0xFFFFFF;
            for (int k = 3; k >= 0; --k)
                out += static_cast<char>(((v >> (6 * k)) & 63) + 32);
        }
        out += '\n';
    }
    out += "`\nend\n";
    return out;
}

struct Row {
    const char* name;
    BufferDecoder decoder;
    std::string input;
};

// Seconds coreutils' base64 -d takes per byte of input, or a negative value.
double coreutilsBase64SecondsPerByte(const std::string& input) {
    if (access("/usr/bin/base64", X_OK) != 0)
        return -1;
    char path[] = "/tmp/decoders-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return -1;
    // 64 copies of a padding-free stream: one long input, so process start-up
    // does not dominate.
    std::string chunk = input.substr(0, input.size() / 78 * 78);
    size_t copies = 64;
    for (size_t i = 0; i < copies; ++i)
        if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
            break;
    close(fd);
    std::string command = std::string("/usr/bin/base64 -d -i ") + path + " > /dev/null";
    // Processor time of the children (the shell and base64), as for the decoders.
    auto childSeconds = [] {
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    };
    double best = 1e30;
    for (int r = 0; r < 3; ++r) {
        double start = childSeconds();
        if (std::system(command.c_str()) != 0) {
            best = -1;
            break;
        }
        double s = childSeconds() - start;
        if (s < best)
            best = s;
    }
    unlink(path);
    return best < 0 ? -1 : best / static_cast<double>(chunk.size() * copies);
}

}  // namespace

int main() {
    std::mt19937 random(20261208);
    std::vector<Row> rows = {
        {"base64 (76-byte lines)", SADecoderFactory::decodeBase64Buffer, base64Input(random)},
        {"quoted-printable (text, 1/16 esc.)", SADecoderFactory::decodeQuotedPrintableBuffer,
         quotedPrintableInput(random, 1)},
        {"quoted-printable (text, 8/16 esc.)", SADecoderFactory::decodeQuotedPrintableBuffer,
         quotedPrintableInput(random, 8)},
        {"quoted-printable (all escaped)", SADecoderFactory::decodeQuotedPrintableBuffer, escapedInput(random, false)},
        {"Q (all escaped)", SADecoderFactory::decodeQBuffer, escapedInput(random, true)},
        {"uuencode", SADecoderFactory::decodeUuencodeBuffer, uuencodeInput(random)},
    };

    std::vector<char> source(kInputSize), target(kInputSize);
    for (size_t i = 0; i < kInputSize; ++i)
        source[i] = static_cast<char>(random());
    auto copy = [&] {
        std::memcpy(target.data(), source.data(), kInputSize);
        keep(target.data());
    };
    const double mb = static_cast<double>(kInputSize) / 1e6;
    std::printf("input size: %zu bytes; processor time, best of rounds, memcpy measured beside each decoder\n",
                kInputSize);
#if defined(__x86_64__) || defined(__i386__)
    // The quoted-printable, Q and uuencode decoders take 16-byte blocks where
    // the processor has SSSE3, and words of eight bytes elsewhere.
    std::printf("processor %s SSSE3\n", __builtin_cpu_supports("ssse3") ? "has" : "lacks");
#endif

    for (const Row& row : rows) {
        const auto* in = reinterpret_cast<const unsigned char*>(row.input.data());
        unsigned long outLength = 0;
        auto decode = [&] {
            unsigned char* out = nullptr;
            if (row.decoder(in, row.input.size(), &out, &outLength) != 0)
                std::abort();
            keep(out);
            std::free(out);
        };
        // Alternate the two so that both see the same machine load.
        double seconds = 1e30, memcpySeconds = 1e30;
        for (int round = 0; round < 15; ++round) {
            seconds = std::min(seconds, bestSeconds(decode, 20, 1));
            memcpySeconds = std::min(memcpySeconds, bestSeconds(copy, 20, 1));
        }
        double perMemcpy = seconds / (memcpySeconds * static_cast<double>(row.input.size()) / kInputSize);
        std::printf("%-36s %8.1f MB/s  %5.1fx memcpy time  (memcpy %.0f MB/s; %lu bytes out)\n", row.name,
                    static_cast<double>(row.input.size()) / 1e6 / seconds, perMemcpy, mb / memcpySeconds, outLength);
    }

    double peer = coreutilsBase64SecondsPerByte(rows[0].input);
    if (peer > 0)
        std::printf("%-36s %8.1f MB/s  (processor time, 64 MB through the program)\n", "coreutils base64 -d",
                    1e-6 / peer);
    else
        std::printf("coreutils base64 -d: not available\n");
    return 0;
}
