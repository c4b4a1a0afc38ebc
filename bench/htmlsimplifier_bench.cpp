// Speed of the HTML, enriched and pseudo-HTML simplifier on 1, 2, 4 and 8 MB
// inputs of several shapes, hostile ones included, beside memcpy of the same
// bytes. Time per byte that stays flat from 1 to 8 MB means linear time.
// When xmllint is on the PATH, its HTML parse of the same mixed input is
// printed as a peer figure (it includes starting the process).

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "mailparse/SATextTranslator.h"

namespace {

using Clock = std::chrono::steady_clock;
using Form = int (*)(const unsigned char*, unsigned long, unsigned char**, unsigned long*);

std::string fill(const std::string& piece, size_t size) {
    std::string out;
    out.reserve(size + piece.size());
    while (out.size() < size)
        out += piece;
    out.resize(size);
    return out;
}

struct Shape {
    const char* name;
    Form form;
    std::function<std::string(size_t)> make;
};

const char kMixed[] =
    "<html><head><title>Offer</title><style>p{margin:0}</style></head><body bgcolor=#ffffff>\r\n"
    "<table width=600 bgcolor=\"#003366\"><tr><td><font color=white face=Arial>Limited time</font></td></tr>"
    "<tr><td bgcolor=#ffffff><p style=\"font-size:12px\">Dear customer, our <b>best</b> prices are "
    "<a href=\"http://example.invalid/x?id=1\">here</a>.<br>Unsubscribe <i>below</i>.</p>"
    "<div style=\"float:left;width:50%\">left</div><div>right</div><span style=\"display:none\">x</span>"
    "<!-- comment > with a bracket --><o:p></o:p><blink>new</blink></td></tr></table>\r\n"
    "&nbsp;&copy; 2026</body></html>\r\n";

double secondsFor(const std::function<void()>& work) {
    double best = 1e30;
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

void runShape(const Shape& shape) {
    std::printf("%-22s", shape.name);
    double firstPerByte = 0;
    for (size_t megabytes : {1, 2, 4, 8}) {
        const std::string input = shape.make(megabytes << 20);
        const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
        unsigned long produced = 0;
        const double seconds = secondsFor([&] {
            unsigned char* out = nullptr;
            unsigned long outLength = 0;
            if (shape.form(bytes, input.size(), &out, &outLength) == 0)
                produced = outLength;
            std::free(out);
        });
        const double perByte = seconds / static_cast<double>(input.size()) * 1e9;
        if (megabytes == 1)
            firstPerByte = perByte;
        std::printf(" %2zu MB %8.1f ms %7.1f MB/s x%.2f |", megabytes, seconds * 1e3,
                    static_cast<double>(input.size()) / 1048576.0 / seconds, perByte / firstPerByte);
        (void)produced;
    }
    std::printf("\n");
}

void runMemcpy() {
    std::printf("%-22s", "memcpy");
    for (size_t megabytes : {1, 2, 4, 8}) {
        std::vector<unsigned char> from(megabytes << 20, 'a'), to(megabytes << 20);
        const double seconds = secondsFor([&] {
            std::memcpy(to.data(), from.data(), from.size());
            asm volatile("" : : "r"(to.data()) : "memory");
        });
        std::printf(" %2zu MB %8.3f ms %7.0f MB/s       |", megabytes, seconds * 1e3,
                    static_cast<double>(from.size()) / 1048576.0 / seconds);
    }
    std::printf("\n");
}

void runPeer() {
    if (std::system("command -v xmllint >/dev/null 2>&1") != 0) {
        std::printf("peer: xmllint not found, no peer figure\n");
        return;
    }
    char path[] = "/tmp/htmlbenchXXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return;
    const std::string input = fill(kMixed, 8u << 20);
    const bool written = write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size());
    close(fd);
    if (written) {
        const std::string command = std::string("xmllint --html --noout --nowarning ") + path + " 2>/dev/null";
        const double seconds = secondsFor([&] { (void)std::system(command.c_str()); });
        std::printf("peer: xmllint --html (libxml2 tree) on 8 MB mixed: %.1f ms, %.1f MB/s\n", seconds * 1e3,
                    8.0 / seconds);
    }
    unlink(path);
}

}  // namespace

int main(int argc, char** argv) {
    // An argument restricts the run to the shapes whose name contains it.
    const std::string only = argc > 1 ? argv[1] : "";
    const std::vector<Shape> shapes = {
        {"html mixed", SATextTranslator::simplifiedHTMLBuffer, [](size_t n) { return fill(kMixed, n); }},
        {"html all '<'", SATextTranslator::simplifiedHTMLBuffer, [](size_t n) { return std::string(n, '<'); }},
        {"html deep <td>", SATextTranslator::simplifiedHTMLBuffer,
         [](size_t n) { return fill("<td bgcolor=black>", n); }},
        {"html one huge tag", SATextTranslator::simplifiedHTMLBuffer,
         [](size_t n) { return "<font " + fill("a=1 b='2' ", n - 20) + "color=x>"; }},
        {"html long style", SATextTranslator::simplifiedHTMLBuffer,
         [](size_t n) { return "<span style=\"" + fill("a:b;", n - 30) + "display:none\">"; }},
        {"html unknown tags", SATextTranslator::simplifiedHTMLBuffer, [](size_t n) { return fill("<x1>t", n); }},
        {"html open comments", SATextTranslator::simplifiedHTMLBuffer, [](size_t n) { return fill("<!-- a > ", n); }},
        {"html NUL bytes", SATextTranslator::simplifiedHTMLBuffer,
         [](size_t n) { return fill(std::string("a\0<b>\0", 6), n); }},
        {"enriched", SATextTranslator::enrichedToPlainBuffer,
         [](size_t n) { return fill("<color><param>white</param>text</color>\nline\n\n<<x", n); }},
        {"enriched all '<'", SATextTranslator::enrichedToPlainBuffer, [](size_t n) { return std::string(n, '<'); }},
        {"pseudo", SATextTranslator::simplifiedPseudoHTMLBuffer, [](size_t n) { return fill("Buy <b>now</b> <x", n); }},
    };
    std::printf("best of 3 runs; xN = time per byte relative to the 1 MB input\n");
    for (const Shape& shape : shapes)
        if (only.empty() || std::string(shape.name).find(only) != std::string::npos)
            runShape(shape);
    runMemcpy();
    if (only.empty())
        runPeer();
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %ld MB (inputs up to 8 MB, outputs as large)\n", usage.ru_maxrss / 1024);
    return 0;
}
