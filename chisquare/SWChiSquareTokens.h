#pragma once
// The tokens the Chi-Square filter learns and judges, taken from the parsed
// message tree. Each kind carries its own prefix:
//   "w:"  words of the body's text parts (HTML as rendered text)
//   "s:"  words of the subject
//   "h:"  what the sender's side wrote in the header: addresses and domains of
//         From, Reply-To and Return-Path, the Message-ID's shape, the mailer,
//         charsets, the types and file kinds of attachments, the sending
//         hosts of Received, the presence of reply and list headers, a
//         Reply-To or Sender in another domain than From, the charset of an
//         encoded subject, the
//         names of the other header fields the sender's side wrote, HTML
//         sent without a plain-text alternative
//   "u:"  hosts of the links in the body, and the words of their paths (not
//         of links to pictures)
// Headers the receiving side adds (Delivered-To, X-Original-To, status and
// verdict headers of mail programs and upstream filters) are ignored: they are
// the same for all of a user's mail and say nothing about the sender; so are
// the internal hops of Received (loopback and private addresses, localhost).
// In list mail (List-Id, List-Unsubscribe, List-Post, Mailing-List) what the
// list adds is the same on every message of the list, spam or not, and would
// weigh as many clues at once: its footer after the last separator line is left
// out with its links, and its headers (Return-Path, its Received hops, List-
// and Precedence headers) give one token, the list's name.

#include <QString>
#include <QStringView>

#include <cstdint>
#include <utility>
#include <vector>

class SAMIMEPart;

// A message gives at most this many distinct tokens (the first ones found).
inline constexpr int SWChiSquareMaximumTokens = 30000;

// Distinct tokens in the order found, their UTF-16 code units in one buffer.
struct SWChiSquareTokenList {
    size_t size() const { return spans.size(); }
    bool empty() const { return spans.empty(); }
    QStringView operator[](size_t i) const {
        return QStringView(units.data() + spans[i].first, qsizetype(spans[i].second));
    }
    std::vector<QString> toStrings() const;

    std::vector<char16_t> units;
    std::vector<std::pair<uint32_t, uint32_t>> spans;  // offset and size in code units
};

class SWChiSquareTokens {
public:
    // The distinct tokens of a message, in no particular order; empty for null.
    static std::vector<QString> tokensOfMessage(SAMIMEPart* message);
    // The same tokens in one buffer, in the order found.
    static SWChiSquareTokenList tokenListOfMessage(SAMIMEPart* message);

    // The distinct word tokens of a text with the given prefix.
    static std::vector<QString> wordsOf(QStringView text, const QString& prefix);
};
