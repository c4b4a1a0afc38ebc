#pragma once
// The engine's scripting commands: checking a message for clients that cannot
// use the message port, learning a message as spam or as legitimate, the date
// of the URL filter database, and quitting. They are exported on the session
// bus as the engine's interface (CheckSpamStatus, LearnSpam, LearnHam,
// GetFiltersVersion, Quit, Explain for `junkward explain`, and the log
// viewer's ExplainLoggedMessage and LearnLoggedMessage) and reach the
// controller that created them.

#include "mailparse/SARef.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QDBusContext>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <QVariantMap>

class SAData;
class SievraController;

// The URL filter database whose header date is the filters version, relative
// to the machine-wide plug-in folder.
inline constexpr const char* SERVICES_FILE = "URL Filter/Engine.bundle/Contents/Resources/URLs.db";
// The answer when that database is missing or unreadable.
inline constexpr const char* SievraFiltersVersionUnknown = "N/A";

// Keys of a command's evaluated arguments.
inline constexpr const char* SievraCommandMessageKey = "Message";
inline constexpr const char* SievraCommandIsEntourageKey = "isEntourage";

// A data object over the message source (not a copy: source must outlive it),
// without its mbox separator line when the source starts with "From ". The
// separator ends at the first line feed, or at the first carriage return in a
// source that has no line feed at all (carriage-return line ends). Null when
// nothing is left.
SARef<SAData> dataFromMessageSource(const QByteArray& source);

// The filters version from the first bytes of a URL filter database: the
// big-endian signed 32-bit count of seconds since 1970 (UTC) formatted "yyMMdd"
// in the local time zone, or "N/A" when fewer than 4 bytes are given.
QString filtersVersionFromHeader(const QByteArray& header);

// Error names of the log methods' error replies.
inline constexpr const char* SievraErrorNotKept = "com.quillon.junkward.Engine.Error.NotKept";
inline constexpr const char* SievraErrorNotLearned = "com.quillon.junkward.Engine.Error.NotLearned";
inline constexpr const char* SievraErrorNoDetails = "com.quillon.junkward.Engine.Error.NoDetails";
// Error name of the batch-file methods' error reply.
inline constexpr const char* SievraErrorBadBatch = "com.quillon.junkward.Engine.Error.BadBatch";

class SievraAppleEventManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quillon.junkward.Engine")
public:
    // controller: the engine's, which outlives this object (null: every
    // command does nothing).
    explicit SievraAppleEventManager(SievraController* controller, QObject* parent = nullptr);

    // The handlers. arguments holds "Message" (the source as bytes, or as
    // text taken as UTF-8) and optionally "isEntourage" (carriage-return line
    // ends). Without a controller or a "Message" they do nothing (check: NO).
    // The parser's line-end character is back to line feed when they return.

    // YES when the message is judged spam by the whole pipeline.
    bool handleCheckSpamStatusCommand(const QVariantMap& arguments);
    // Trains every filter with the message as spam.
    void handleLearnSpamStatusCommand(const QVariantMap& arguments);
    // Trains every filter with the message as legitimate.
    void handleLearnHamStatusCommand(const QVariantMap& arguments);
    // The date of the URL filter database in the machine-wide plug-in folder,
    // or "N/A".
    QString handleGetFiltersVersionCommand();

public slots:
    // The bus methods; each call is handled on the main thread.
    bool CheckSpamStatus(const QByteArray& message, bool isEntourage);
    void LearnSpam(const QByteArray& message, bool isEntourage);
    void LearnHam(const QByteArray& message, bool isEntourage);
    QString GetFiltersVersion();
    // Judges a message as CheckSpamStatus does and tells what decided: the
    // verdict (0 spam, 1 legitimate, 2 undecided or not judged) and reason, the
    // deciding filter's or check's "Filt-ID" ("NONE" when nothing decided).
    int JudgeMessage(const QByteArray& message, bool isEntourage, QString& reason);
    // Bulk training: every message as LearnSpam / LearnHam would, in one
    // learning batch (each filter stores the batch at once). One byte per
    // message: 1 learned, 0 not (unparsable, or a filter failed).
    QByteArray LearnSpamBatch(const QByteArrayList& messages, bool isEntourage);
    QByteArray LearnHamBatch(const QByteArrayList& messages, bool isEntourage);
    // The same with the messages in a batch file (platform/BatchFile.h) passed
    // as a descriptor, so that the bus carries no message bytes. An error reply
    // BadBatch when it is not a regular file of that format within its limits.
    QByteArray LearnSpamBatchFile(const QDBusUnixFileDescriptor& batch, bool isEntourage);
    QByteArray LearnHamBatchFile(const QDBusUnixFileDescriptor& batch, bool isEntourage);
    // Why the message would be judged as it is (the controller's
    // explainMailData as a JSON object); nothing is counted, logged or learned.
    // "{}" for an empty message.
    QString Explain(const QByteArray& message, bool isEntourage);
    // Learns the kept source of the log record keyed logKey (its "Msg-ID") as
    // spam or as good mail; the log then shows the learn record in its place.
    // An error reply NotKept when no source is kept for the key, NotLearned
    // when it could not be learned.
    void LearnLoggedMessage(const QString& logKey, bool asSpam);
    // The details kept beside the log record keyed logKey, as a JSON object
    // ("Date", "Decided By", "Verdict", "Filters", "Source Kept"); an error
    // reply NoDetails when there are none.
    QString ExplainLoggedMessage(const QString& logKey);
    // Ends the engine once the reply has left: pending saves are written on
    // the way out.
    void Quit();

private:
    void learn(const QVariantMap& arguments, void (SievraController::*operation)(SAData*));
    QByteArray learnBatch(const QByteArrayList& sources, bool entourage, bool spam);
    QByteArray learnBatchFile(const QDBusUnixFileDescriptor& batch, bool entourage, bool spam);

    SievraController* controller_;
};
