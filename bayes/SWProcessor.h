#pragma once
// Turns a parsed message into a process tree (one node per MIME part, with the
// tokens, links and addresses of its text and the malus points its spam signs
// earned), scores a process tree against the token store, and extracts the
// tokens that training stores.

#include "SWTokenBag.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

class SAMIMEPart;
class SWDataBase;

// At most this many probabilities are combined into a score.
inline constexpr int SWProcessorMaximumProbabilities = 15;
// The probability one malus point contributes.
inline constexpr float SWProcessorMalusProbability = 0.999f;

// One node of a process tree; a field is empty when it has no value.
struct SWProcessNode {
    std::optional<int> malus;                              // points of this node itself
    std::optional<SWTokenBag> subjectTokens;               // root only, keys "Sub*..."
    std::optional<int> mode;                               // SAMIMESubtype of multipart and rfc822 parts
    std::vector<std::unique_ptr<SWProcessNode>> children;  // in part order
    std::optional<QStringList> addresses;                  // addresses found in a text part
    std::optional<QStringList> urls;                       // links found in a text part
    std::optional<int> obfuscatedCount;                    // links with an obfuscation score above 0
    std::optional<int> obfuscatedMaxCount;                 // the highest such score
    std::optional<SWTokenBag> tokens;                      // text tokens plus "Url*" and "Add*" tokens

    bool hasChildren() const { return !children.empty(); }
};

using SWProbabilities = std::optional<std::vector<float>>;
// The tokens that scored a message with their probabilities; each key points
// into the process tree that was scored.
using SWScoredTokens = std::vector<std::pair<float, const QString*>>;

class SWProcessor {
public:
    // The node of a part and its subtree; nullptr for a null part. root marks the
    // message's top part (Message-ID, Subject and "HTML only" checks).
    static std::unique_ptr<SWProcessNode> createProcessTreeWithMIMETree(SAMIMEPart* part, bool root);

    // The probabilities that score a node: its tokens' (or its children's), its
    // subject's, and 0.999 once for every malus point of its subtree. nullopt when
    // there is nothing to score. db: the store to consult (the shared one when
    // null); lookups refresh the dates of known tokens.
    // scored, when given, receives the token behind each probability.
    static SWProbabilities getSpamitudeArray(const SWProcessNode* node, SWDataBase* db = nullptr,
                                             SWScoredTokens* scored = nullptr);
    // Combines the 15 probabilities farthest from 0.5; 0 for nullopt, 0.5 for none.
    static float computeSpamitude(const SWProbabilities& probabilities);
    // The first index of the entry nearest to 0.5, and its distance.
    static void getArray(const float* values, int count, float* minDistance, int* index);

    // The probabilities of the tokens training would store, and those tokens
    // with their counts (nullopt when there are none). Dates are left alone.
    static std::pair<SWProbabilities, std::optional<SWTokenBag>> getSpamTokenArray(const SWProcessNode* node,
                                                                                   SWDataBase* db = nullptr);

    // The text of an HTML document as a browser shows it (platform::html::renderedText).
    static std::optional<QString> processHTMLString(const QString& html);

    // Adds "Url*" tokens of the node's link hosts and "Add*" tokens of its
    // addresses (count 1; a token present already keeps its count).
    static void tokenizeURLs(const SWProcessNode* node, SWTokenBag& tokens);
    static void tokenizeAddresses(const SWProcessNode* node, SWTokenBag& tokens);

    static void addOneMalusPointToDictionary(SWProcessNode* node);
    static void addMalusPoints(int count, SWProcessNode* node);
    // The node's malus points plus those of all its descendants.
    static int malusCountForDictionary(const SWProcessNode* node);
    // Whether the node or a descendant has obfuscated links scoring at least threshold.
    static bool URLObfuscationDetected(const SWProcessNode* node, int threshold);
};
