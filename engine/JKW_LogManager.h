#pragma once
// The activity log: one record per judged or learned message, collected in
// memory and merged in batches into "<user Library>/Logs/Junkward/Junkward Log.log",
// an XML property list {"Version": "5", "History": [Msg-ID...], "Log": [record...]},
// oldest first. The file keeps at most 1024 records and one per Message-ID: a
// later record of a message replaces its earlier one at the end.

#include "engine/JKW_LogDetails.h"

#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QTimer;

// File keys and values.
inline constexpr const char* JKW_LOG_VERSION = "Version";
inline constexpr const char* JKW_LOG_VERSION_VERSION_5 = "5";
inline constexpr const char* JKW_LOG_HISTORY = "History";
inline constexpr const char* JKW_LOG_LOG = "Log";
// Record keys.
inline constexpr const char* JKW_LOG_MESSAGE_ID_KEY = "Msg-ID";
inline constexpr const char* JKW_LOG_FILTER_KEY = "Filt-ID";
inline constexpr const char* JKW_LOG_DATE_KEY = "Date";
inline constexpr const char* JKW_LOG_FROM_KEY = "From";
inline constexpr const char* JKW_LOG_SUBJECT_KEY = "Subject";
// True in a record whose deciding plug-in judged the message legitimate: a
// plug-in identifier as "Filt-ID" otherwise stands for spam.
inline constexpr const char* JKW_LOG_LEGITIMATE_KEY = "Legitimate";
// Reason codes ("Filt-ID") written by the engine besides plug-in identifiers.
inline constexpr const char* JKW_LOG_FILTER_KEY_WHITELIST = "WHITELIST";
inline constexpr const char* JKW_LOG_FILTER_KEY_BLACKLIST = "BLACKLIST";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_SIGNED = "INT_SIGNED";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_LAYOUT = "INT_LAYOUT";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_INVISIBLE = "INT_INVIS";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_TAGS = "INT_TAGS";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_HIERARCHY = "INT_HIERAR";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_CHARSET = "INT_CHARSET";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_AFTERHTML = "INT_AFTERHTML";
inline constexpr const char* JKW_LOG_FILTER_KEY_HTML64 = "HTML64";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_ASIAN_ENCODING = "INT_AS_ENC";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_JAPANESE_ENCODING = "INT_JP_ENC";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_NON_JAPANESE_ENCODING = "INT_NJP_ENC";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_TRUST_HEADERS = "INT_TRUSTHEAD";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_INCORRECT_MESSAGEID = "INT_INC_MSGID";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_ADV_SUBJECT = "INT_ADVSUB";
inline constexpr const char* JKW_LOG_FILTER_KEY_NONE = "NONE";
inline constexpr const char* JKW_LOG_FILTER_KEY_LEARN_SPAM = "LEARN_SPAM";
inline constexpr const char* JKW_LOG_FILTER_KEY_LEARN_HAM = "LEARN_HAM";
// Defined for readers; the engine does not write them.
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_PARSE_ERROR = "INT_PARSE";
inline constexpr const char* JKW_LOG_FILTER_KEY_INTERNAL_NO_SUBJECT = "INT_NOSUBJ";

class JKW_LogManager {
public:
    // Most records the file (and the queue kept after a failed write) holds.
    static constexpr int kMaximumRecords = 1024;
    // Delay between the last queued record of a burst and the write.
    static constexpr int kWriteDelayMs = 3000;

    // The one instance of the process, created on first use.
    static JKW_LogManager& sharedLogManager();

    // Prepares the "Logs" and "Logs/Junkward" folders of the user Library (a
    // plain file in the way is removed); without them the manager has no path
    // and every write fails with a log line.
    JKW_LogManager();
    // Writes what is still queued.
    ~JKW_LogManager();
    JKW_LogManager(const JKW_LogManager&) = delete;
    JKW_LogManager& operator=(const JKW_LogManager&) = delete;

    // Appends a record and (re)schedules the write 3 s later. A record
    // without "Msg-ID" gets a fresh one here. detail, when given, is stored
    // beside the record once it is written (JKW_LogDetails). Returns the
    // record's key, its "Msg-ID".
    QString queueRecord(const QVariantMap& record, std::optional<JKW_LogDetail> detail = std::nullopt);
    // Stores the queued details and drops those of records the file will no
    // longer hold, then merges the queue into the file. After a failed write
    // the queued records are kept for the next write (the newest
    // kMaximumRecords of them).
    void delayedWriteToDisk();
    // Discards the queue and writes an empty log atomically; the details go too.
    bool clearLog();

    // The source kept for a record key (queued or stored), checked; nullopt
    // when it is not kept.
    std::optional<JKW_KeptSource> keptSource(const QString& key);
    // The details of a record key (queued or stored) without the source's
    // place, with "Source Kept"; empty when the key has none.
    QVariantMap detailOf(const QString& key);
    // Whether judged messages' sources are kept; switching it off drops the
    // kept ones.
    void setKeepsSources(bool keep);
    bool keepsSources() const { return keepsSources_; }
    JKW_LogDetails& details() { return *details_; }

    QString logPath() const { return logPath_; }
    int queuedRecordCount() const { return queue_.size(); }

private:
    void scheduleWrite();

    // Keeps the queued sources within the caps of the details store.
    void trimQueuedSources();
    void forgetQueuedDetails();

    QVariantList queue_;
    std::vector<std::pair<QString, JKW_LogDetail>> queuedDetails_;
    int queuedSources_ = 0;
    qint64 queuedSourceBytes_ = 0;
    std::unique_ptr<JKW_LogDetails> details_;
    bool keepsSources_ = true;
    QString logPath_;
    std::unique_ptr<QTimer> timer_;
};
