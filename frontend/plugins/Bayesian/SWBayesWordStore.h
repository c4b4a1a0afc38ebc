#pragma once
// Read-only view of the Bayesian filter's token store for the settings panel:
// the words with their counts and dates, and the message totals. The panel
// never writes the store; changes go to the engine as maintenance requests.

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

struct SWBayesWord {
    QString word;      // the stored key (at most 20 bytes of UTF-8) as text
    quint64 spam = 0;  // learned spam messages that contained it
    quint64 ham = 0;   // learned good messages that contained it
    qint64 date = 0;   // last seen, seconds since 1970
};

struct SWBayesWordList {
    std::vector<SWBayesWord> words;
    bool storeExists = false;  // false: nothing learned yet
    bool truncated = false;    // more records than the panel lists
    QString error;             // set when the store exists but cannot be read
};

class SWBayesWordStore {
public:
    // At most this many words are listed; the store may hold more.
    static constexpr size_t kMaximumWords = 500000;

    // Reads every record of the store in cachesFolder (the user's Caches folder
    // when empty) in one read-only snapshot.
    static SWBayesWordList readWords(const QString& cachesFolder = {});
    // [spam, ham] message totals of the count file; nullopt when missing or damaged.
    static std::optional<std::pair<quint64, quint64>> readTotals(const QString& cachesFolder = {});
    // The text of a stored key: its bytes up to the first NUL, a trailing
    // sequence cut by the 20-byte limit dropped.
    static QString wordFromKey(const QByteArray& key);
};
