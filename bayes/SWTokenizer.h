#pragma once
// Turns the text of a message body or subject into a bag of tokens, undoing the
// disguises of spam: characters inserted to break words, digits and symbols that
// stand for letters ("V1AGR4", "v|agra"), accented letters, letters spelled out
// with separators ("v.i.a.g.r.a"), one lower-case letter hidden in a shouted word.
//
// The character tables are process-wide and loaded once (initializeCharacterSet):
// the four sets of the plug-in's "Separators" string table and the accent table
// "SWAlphabet.plist". Texts are scanned in place; nothing is allocated per
// character.

#include "SWTokenBag.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <optional>

namespace platform {
class Bundle;
}

// Keys of the "Separators" table and of the "SWAlphabet" entries.
inline constexpr const char* SWTokenizerSeparatorsTable = "Separators";
inline constexpr const char* SWTokenizerSubjectFakeSeparatorKey = "SubjectFakeSeparator";
inline constexpr const char* SWTokenizerStartSetKey = "StartSet";
inline constexpr const char* SWTokenizerEndSetKey = "EndSet";
inline constexpr const char* SWTokenizerVirtualSetKey = "VirtualSet";
inline constexpr const char* SWTokenizerAlphabetResource = "SWAlphabet";
inline constexpr const char* SWTokenizerAccentuatedLetterKey = "Accentuated letter";
inline constexpr const char* SWTokenizerLetterKey = "Letter";
inline constexpr const char* SWTokenizerSubjectPrefix = "Sub*";

// Texts longer than this many UTF-16 code units are not tokenized.
inline constexpr qsizetype SWTokenizerMaximumTextLength = 102400;
// Longest token handed to preprocessToken().
inline constexpr qsizetype SWTokenizerMaximumTokenLength = 20;

class SWTokenizer {
public:
    // Loads every table not loaded yet from the bundle's resources; safe to call
    // repeatedly. Without a readable accent table, accents are not folded.
    static void initializeCharacterSet(const platform::Bundle& bundle);
    // The same from a Resources folder (holding English.lproj/Separators.strings
    // and SWAlphabet.plist).
    static void initializeCharacterSet(const QString& resourcesFolder);
    // Replaces the tables: separators maps the four keys to strings listing the
    // members; alphabet is the accent table (an array of dictionaries).
    static void loadCharacterTables(const QVariantMap& separators, const QVariant& alphabet);
    static bool characterTablesLoaded();

    SWTokenizer() = default;

    // Tokens of a text with their counts; empty when there are none or the text is
    // too long. In aggressive mode, runs of more than 9 empty lines are noted.
    SWTokenBag tokenize(const QString& text, bool aggressive);
    // Whether the last tokenize() call found such a run.
    bool aggressionDetected() const { return aggressionDetected_; }
    // Tokens of a subject, each key "Sub*" followed by its first 17 characters.
    SWTokenBag tokenizeSubject(const QString& subject);

    // The subject without its fake separators.
    static QString preprocessSubject(const QString& subject);
    // The normalised forms of one token (at most 20 code units); nullopt when the
    // token is to be dropped. A token split at "%" may give zero, one or two forms.
    static std::optional<QStringList> preprocessToken(const QString& token);

private:
    bool aggressionDetected_ = false;
};
