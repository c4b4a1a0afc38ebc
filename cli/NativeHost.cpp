// junkward-native-host: the engine for a mail program's add-on, over native
// messaging. Each message, both ways, is a 32-bit length in the machine's byte
// order followed by that many bytes of UTF-8 JSON. Requests:
//
//   {"id": ..., "request": "check", "source": "<base64>"}
//       -> {"id", "ok": true, "spam": bool, "verdict": "spam"|"good"|"unsure", "reason": "<filter>"}
//   {"id": ..., "request": "learn-spam"|"learn-ham", "source": "<base64>"}   (or "sources": [...])
//       -> {"id", "ok": true, "learned": <count>}
//   {"id": ..., "request": "status"}
//       -> {"id", "ok": true, "engine": true, "filtersVersion": "...", "hostVersion": "..."}
//
// A request that cannot be served gets {"id", "ok": false, "error": "<word>",
// "message": "<sentence>"}; "id" is whatever the request carried (null when it
// could not be read). Requests are answered one at a time, in order.

#include "cli/EngineClient.h"
#include "platform/FileWriting.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace junkwardcli;

// The browser side refuses messages over 1 MB from a host.
constexpr qsizetype kMaxReplyBytes = 1024 * 1024;
// The largest request read into memory: the base64 of kMaxSourceBytes with room
// for the rest of the request. A longer one is answered and skipped unread.
constexpr quint32 kMaxRequestBytes = 48u * 1024 * 1024;
constexpr qsizetype kMaxSourceBytes = 32ll * 1024 * 1024;
constexpr double kCheckTimeout = 120.0;

// Error words of the replies (the engine's own come from EngineClient.h).
constexpr char kErrorBadJson[] = "bad-json";
constexpr char kErrorBadRequest[] = "bad-request";
constexpr char kErrorUnknownRequest[] = "unknown-request";
constexpr char kErrorBadSource[] = "bad-source";
constexpr char kErrorRequestTooLarge[] = "request-too-large";

int protocolIn = -1;
int protocolOut = -1;

void note(const QString& text) { std::fprintf(stderr, "junkward-native-host: %s\n", text.toUtf8().constData()); }

enum class ReadResult { Complete, EndAtBoundary, Truncated, Failed };

// Reads exactly size bytes (into buffer, or discarded when buffer is null).
ReadResult readExactly(char* buffer, std::uint64_t size) {
    char scratch[65536];
    std::uint64_t done = 0;
    while (done < size) {
        const std::size_t want =
            buffer ? std::size_t(size - done) : std::size_t(std::min<std::uint64_t>(sizeof scratch, size - done));
        const ssize_t n = ::read(protocolIn, buffer ? buffer + done : scratch, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ReadResult::Failed;
        if (n == 0)
            return done == 0 ? ReadResult::EndAtBoundary : ReadResult::Truncated;
        done += std::uint64_t(n);
    }
    return ReadResult::Complete;
}


bool send(const QJsonObject& reply) {
    QByteArray body = QJsonDocument(reply).toJson(QJsonDocument::Compact);
    if (body.size() > kMaxReplyBytes) {
        // Only an engine's very long text could do this; the reply shrinks to an error.
        QJsonObject shorter{{"id", reply.value("id")},
                            {"ok", false},
                            {"error", "reply-too-large"},
                            {"message", "the answer was larger than a reply may be"}};
        body = QJsonDocument(shorter).toJson(QJsonDocument::Compact);
    }
    const std::uint32_t length = std::uint32_t(body.size());
    char prefix[sizeof length];
    std::memcpy(prefix, &length, sizeof length);
    return platform::files::writeAll(protocolOut, prefix, sizeof prefix) &&
           platform::files::writeAll(protocolOut, body.constData(), std::size_t(body.size()));
}

QJsonObject failure(const QJsonValue& id, const char* error, const QString& message) {
    return {{"id", id}, {"ok", false}, {"error", QString::fromLatin1(error)}, {"message", message}};
}

// The message sources of a request: "source", or the array "sources".
bool decodeSources(const QJsonObject& request, QByteArrayList* sources, QJsonObject* error) {
    const QJsonValue id = request.value("id");
    QJsonArray encoded;
    if (request.contains("sources")) {
        if (!request.value("sources").isArray()) {
            *error = failure(id, kErrorBadRequest, "\"sources\" must be an array of base64 strings");
            return false;
        }
        encoded = request.value("sources").toArray();
    } else if (request.contains("source")) {
        encoded.append(request.value("source"));
    }
    if (encoded.isEmpty()) {
        *error = failure(id, kErrorBadRequest, "the request carries no message source");
        return false;
    }
    qsizetype total = 0;
    for (const QJsonValue& value : encoded) {
        if (!value.isString()) {
            *error = failure(id, kErrorBadSource, "a message source must be a base64 string");
            return false;
        }
        const QByteArray text = value.toString().toLatin1();
        auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
        if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok) {
            *error = failure(id, kErrorBadSource, "a message source is not valid base64");
            return false;
        }
        if (decoded.decoded.isEmpty()) {
            *error = failure(id, kErrorEmpty, "a message source is empty");
            return false;
        }
        total += decoded.decoded.size();
        if (total > kMaxSourceBytes) {
            *error = failure(id, kErrorTooLarge,
                             QStringLiteral("the messages are larger than %1 MB").arg(kMaxSourceBytes >> 20));
            return false;
        }
        sources->append(std::move(decoded.decoded));
    }
    return true;
}

bool engineReady(const QJsonValue& id, QJsonObject* error) {
    QByteArray word;
    QString problem;
    if (ensureEngine(&word, &problem))
        return true;
    *error = failure(id, word.constData(), problem);
    return false;
}

QJsonObject check(const QJsonObject& request) {
    const QJsonValue id = request.value("id");
    QByteArrayList sources;
    QJsonObject error;
    if (!decodeSources(request, &sources, &error))
        return error;
    if (sources.size() != 1)
        return failure(id, kErrorBadRequest, "a check carries exactly one message");
    const Judgement j = judgeMessage(sources.first(), false, kCheckTimeout);
    if (!j.ok)
        return failure(id, j.error.constData(), j.problem);
    const char* verdict = j.verdict == 0 ? "spam" : j.verdict == 1 ? "good" : "unsure";
    return {{"id", id}, {"ok", true}, {"spam", j.spam()}, {"verdict", verdict}, {"reason", j.reason}};
}

QJsonObject learn(const QJsonObject& request, bool spam) {
    const QJsonValue id = request.value("id");
    QByteArrayList sources;
    QJsonObject error;
    if (!decodeSources(request, &sources, &error) || !engineReady(id, &error))
        return error;
    std::vector<bool> learned;
    QString problem;
    const bool sent = learnMessages(sources, spam, false, &learned, {}, &problem);
    const qsizetype count = std::count(learned.begin(), learned.end(), true);
    if (!sent)
        return failure(id, kErrorRefused, problem);
    if (count != sources.size())
        return QJsonObject{{"id", id},
                           {"ok", false},
                           {"error", QString::fromLatin1(kErrorRefused)},
                           {"message", "the engine did not learn every message"},
                           {"learned", count}};
    return {{"id", id}, {"ok", true}, {"learned", count}};
}

QJsonObject status(const QJsonObject& request) {
    const QJsonValue id = request.value("id");
    QJsonObject error;
    if (!engineReady(id, &error))
        return error;
    const platform::ScriptingReply reply = callEngine(QStringLiteral("GetFiltersVersion"), {}, 30.0);
    if (!reply.ok)
        return failure(id, failureWord(reply).constData(), describeFailure(reply));
    return {{"id", id},
            {"ok", true},
            {"engine", true},
            {"filtersVersion", reply.values.isEmpty() ? QString() : reply.values.first().toString()},
            {"hostVersion", QStringLiteral(JUNKWARD_VERSION)}};
}

QJsonObject answer(const QByteArray& body) {
    const QByteArray start = body.left(64).trimmed();
    if (!start.isEmpty() && !start.startsWith('{'))
        return failure(QJsonValue::Null, kErrorBadRequest, "the request is not a JSON object");
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return failure(QJsonValue::Null, kErrorBadJson, "the request is not JSON: " + parseError.errorString());
    const QJsonObject request = document.object();
    const QJsonValue id = request.value("id");
    const QString name = request.value("request").toString();
    if (name == "check")
        return check(request);
    if (name == "learn-spam" || name == "learn-ham")
        return learn(request, name == "learn-spam");
    if (name == "status")
        return status(request);
    if (!request.value("request").isString())
        return failure(id, kErrorBadRequest, "the request names no \"request\"");
    return failure(id, kErrorUnknownRequest, "unknown request \"" + name.left(100) + "\"");
}

// The protocol runs on private copies of standard input and output; the
// standard ones are pointed away so that no library message or started
// program can write into the stream.
bool takeProtocolStreams() {
    protocolIn = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    protocolOut = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (protocolIn < 0 || protocolOut < 0)
        return false;
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::close(null);
    }
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed reader is seen as a failed write, not a fatal signal.
    std::signal(SIGPIPE, SIG_IGN);
    if (!takeProtocolStreams()) {
        note("standard input or output is missing");
        return 2;
    }
    adoptUserSession();
    QCoreApplication app(argc, argv);
    for (;;) {
        std::uint32_t length = 0;
        const ReadResult header = readExactly(reinterpret_cast<char*>(&length), sizeof length);
        if (header == ReadResult::EndAtBoundary)
            return 0;
        if (header != ReadResult::Complete) {
            note("the input ended inside a length prefix");
            return 1;
        }
        if (length > kMaxRequestBytes) {
            // Answered before it is skipped, so the sender learns at once.
            if (!send(failure(QJsonValue::Null, kErrorRequestTooLarge,
                              QStringLiteral("a request may hold at most %1 MB").arg(kMaxRequestBytes >> 20))))
                return 1;
            if (readExactly(nullptr, length) != ReadResult::Complete) {
                note("the input ended inside a request");
                return 1;
            }
            continue;
        }
        QByteArray body(qsizetype(length), Qt::Uninitialized);
        if (length > 0 && readExactly(body.data(), length) != ReadResult::Complete) {
            note("the input ended inside a request");
            return 1;
        }
        const QJsonObject reply = answer(body);
        body = QByteArray();
        if (!send(reply)) {
            note("the reader has gone");
            return 1;
        }
    }
}
