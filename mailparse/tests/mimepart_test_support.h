#pragma once

// Helpers shared by the MIME parser tests: parse a message held in a string,
// read strings and lists out of the tree, load the sample messages.

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mailparse/SAArray.h"
#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SANumber.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"
#include "tests/support/ParsedMessage.h"

namespace mimetest {

using Parsed = testsupport::ParsedMessage;

inline Parsed parse(const std::string& message, bool lfLineEnds = true, bool isMessage = true,
                    SAMIMEHeaderCallback callback = nullptr, void* context = nullptr, bool skipCallback = false) {
    return Parsed(message, {lfLineEnds, isMessage, callback, context, skipCallback});
}

inline std::string text(const SAString* s) {
    if (!s || !s->cString())
        return "<null>";
    return std::string(s->cString(), s->length());
}

inline std::string text(const SAData* d) {
    if (!d)
        return "<null>";
    if (!d->bytes())
        return "";
    return std::string(d->bytes(), d->length());
}

inline std::string text(SAObject* o) {
    if (o && o->isKindOfClass(GETIDSAString()))
        return text(static_cast<SAString*>(o));
    if (o && o->isKindOfClass(GETIDSAData()))
        return text(static_cast<SAData*>(o));
    return "<not a string>";
}

inline std::string header(SAMIMEPart* part, const char* name) {
    SAString key(name);
    return text(part->headerValueForKey(&key));
}

/// Every value of header `name` (case-insensitive) in order.
inline std::vector<std::string> headerValues(SAMIMEPart* part, const char* name) {
    std::vector<std::string> values;
    SAString key(name);
    SAObject* list = part->_headers ? part->_headers->objectForKey(&key, 1) : nullptr;
    if (!list || !list->isKindOfClass(GETIDSAArray()))
        return values;
    auto* array = static_cast<SAArray*>(list);
    for (unsigned long i = 0; i < array->count(); ++i)
        values.push_back(text(array->objectAtIndex(i)));
    return values;
}

inline SAMIMEPart* child(SAMIMEPart* part, unsigned long index) {
    if (!part || !part->_parts || index >= part->_parts->count())
        return nullptr;
    return static_cast<SAMIMEPart*>(part->_parts->objectAtIndex(index));
}

inline unsigned long childCount(SAMIMEPart* part) { return part && part->_parts ? part->_parts->count() : 0; }

inline std::vector<std::string> strings(SAArray* array) {
    std::vector<std::string> out;
    for (unsigned long i = 0; array && i < array->count(); ++i)
        out.push_back(text(array->objectAtIndex(i)));
    return out;
}

/// One URL record flattened for comparison.
struct URL {
    std::string url;
    bool arobaced = false;
    bool backpathed = false;
    bool encoded = false;
    bool redirected = false;
    std::string original;

    bool operator==(const URL& o) const {
        return url == o.url && arobaced == o.arobaced && backpathed == o.backpathed && encoded == o.encoded &&
               redirected == o.redirected && original == o.original;
    }
};

inline std::ostream& operator<<(std::ostream& os, const URL& u) {
    return os << "{" << u.url << " a" << u.arobaced << " b" << u.backpathed << " e" << u.encoded << " r" << u.redirected
              << " original " << u.original << "}";
}

inline bool boolFor(SADictionary* record, SAString* key) {
    SAObject* value = record->objectForKey(key, 0);
    EXPECT_TRUE(value && value->isKindOfClass(GETIDSANumber())) << "no boolean under " << text(key);
    return value && value->isKindOfClass(GETIDSANumber()) && static_cast<SANumber*>(value)->boolValue();
}

inline std::vector<URL> urls(SAArray* list) {
    std::vector<URL> out;
    for (unsigned long i = 0; list && i < list->count(); ++i) {
        auto* record = static_cast<SADictionary*>(list->objectAtIndex(i));
        URL u;
        u.url = text(record->objectForKey(sURLURLKey, 0));
        u.arobaced = boolFor(record, sURLArobacedKey);
        u.backpathed = boolFor(record, sURLBackpathedKey);
        u.encoded = boolFor(record, sURLEncodedKey);
        u.redirected = boolFor(record, sURLRedirectedKey);
        u.original = text(record->objectForKey(sOriginalURLURLKey, 0));
        out.push_back(u);
    }
    return out;
}

/// A sample message of mailparse/tests/data.
inline std::string sample(const std::string& name) {
    const char* source = std::getenv("JUNKWARD_SOURCE_DIR");
    std::string path = std::string(source ? source : ".") + "/mailparse/tests/data/" + name;
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "missing sample " << path;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

/// Runs `program` with `args` (no shell), standard input from `inputFile`
/// when given; returns its exit status (−1 when it did not exit) and collects
/// its standard output.
inline int runProgram(const std::string& program, const std::vector<std::string>& args, std::string* output,
                      const std::string& inputFile = "") {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        if (!inputFile.empty()) {
            int in = open(inputFile.c_str(), O_RDONLY);
            if (in < 0)
                _exit(126);
            dup2(in, STDIN_FILENO);
            close(in);
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    char buffer[65536];
    ssize_t got;
    while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
        output->append(buffer, static_cast<std::size_t>(got));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// The staged junkward-mime program.
inline std::string mimeTool() {
    const char* stage = std::getenv("JUNKWARD_STAGE");
    return std::string(stage ? stage : ".") + "/bin/junkward-mime";
}

}  // namespace mimetest
