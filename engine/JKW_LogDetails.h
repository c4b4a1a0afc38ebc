#pragma once
// The details kept beside the activity log: for each judged record, why it was
// judged so (the deciding list, check or filter, and each learning filter's
// score and weightiest tokens) and, for recent messages, the message source,
// so that the log viewer can explain a verdict and learn the message again.
//
// Everything lives in "<user Library>/Caches/Junkward Log Details/" (0700):
//   "Details.json"  {"Format": "Junkward Log Details 1", "Records": {<Msg-ID>: entry}}
//                   an entry: "Date", "Decided By", "Verdict", "Filters" (each
//                   filter's explanation) and, while the source is kept,
//                   "Source": {"File", "Bytes", "SHA-1", "Carriage Returns"}
//   "<40 hex>.eml"  a kept source (0600), named by the SHA-1 of its record's key
// The engine is the only writer: sources first, then the index (each through a
// temporary file and a rename, without fsync), then files the index no longer
// names are removed. A reader trusts a source only when its size and SHA-1
// match the index; an index that does not parse is ignored with a log line.

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <optional>
#include <vector>

// Index keys.
inline constexpr const char* JKW_DETAILS_FORMAT_KEY = "Format";
inline constexpr const char* JKW_DETAILS_FORMAT = "Junkward Log Details 1";
inline constexpr const char* JKW_DETAILS_RECORDS_KEY = "Records";
inline constexpr const char* JKW_DETAILS_DATE_KEY = "Date";
inline constexpr const char* JKW_DETAILS_DECIDED_BY_KEY = "Decided By";
inline constexpr const char* JKW_DETAILS_VERDICT_KEY = "Verdict";
inline constexpr const char* JKW_DETAILS_FILTERS_KEY = "Filters";
inline constexpr const char* JKW_DETAILS_SOURCE_KEY = "Source";
inline constexpr const char* JKW_DETAILS_SOURCE_FILE_KEY = "File";
inline constexpr const char* JKW_DETAILS_SOURCE_BYTES_KEY = "Bytes";
inline constexpr const char* JKW_DETAILS_SOURCE_SHA1_KEY = "SHA-1";
inline constexpr const char* JKW_DETAILS_SOURCE_CR_KEY = "Carriage Returns";

// What the engine hands over with a judged record.
struct JKW_LogDetail {
    QDateTime date;                  // the record's "Date", written as "Date"
    QVariantMap explanation;         // "Decided By", "Verdict", "Filters"
    std::optional<QByteArray> source;  // the message as judged, when it is to be kept
    bool carriageReturns = false;    // the source has carriage-return line ends
};

// A kept source read back.
struct JKW_KeptSource {
    QByteArray bytes;
    bool carriageReturns = false;
};

class JKW_LogDetails {
public:
    // Most sources kept, and their bytes in all; a larger message is never kept.
    static constexpr int kMaximumSources = 300;
    static constexpr qint64 kMaximumSourceBytes = 32LL * 1024 * 1024;
    static constexpr qint64 kMaximumMessageBytes = 716800;

    // folder: where the index and the sources live (made 0700 when missing).
    explicit JKW_LogDetails(const QString& folder = defaultFolder());

    static QString defaultFolder();
    QString folder() const { return folder_; }
    QString indexPath() const;

    // The index of a folder as a reader sees it: key → entry. An index of the
    // wrong shape, cut or unreadable is empty (one log line); entries that are
    // not dictionaries are skipped.
    static QHash<QString, QVariantMap> readIndex(const QString& path);
    // Whether an entry names a source, and that source read and checked
    // against the index (nullopt when it is missing, short or altered).
    static bool entryHasSource(const QVariantMap& entry);
    static std::optional<JKW_KeptSource> readSource(const QString& folder, const QVariantMap& entry);
    // The source file name of a record key.
    static QString sourceFileName(const QString& key);

    // Stores the details of records just written to the log (in log order:
    // a later one of a key replaces an earlier one), then keeps only the keys
    // of liveKeys, and of those at most the newest kMaximumSources sources
    // within kMaximumSourceBytes. A record without explanation keeps what its
    // key had. False when the index could not be written (nothing is lost
    // from the log; the details are tried again with the next write).
    bool commit(const std::vector<std::pair<QString, JKW_LogDetail>>& details, const QStringList& liveKeys);
    // Drops every entry and source.
    bool clear();
    // Drops every kept source, keeping the explanations.
    bool dropSources();

    // The entry of a key as last committed; empty when none.
    QVariantMap entry(const QString& key);

private:
    void load();
    bool writeIndex();
    void removeUnnamedFiles();

    QString folder_;
    bool loaded_ = false;
    QHash<QString, QVariantMap> entries_;
};
