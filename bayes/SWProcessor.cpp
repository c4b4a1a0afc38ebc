#include "SWProcessor.h"

#include "SWDataBase.h"
#include "SWTokenizer.h"

#include "common/SAEncodedText.h"
#include "mailparse/SAArray.h"
#include "mailparse/SAData.h"
#include "mailparse/SADictionary.h"
#include "mailparse/SAEncodedString.h"
#include "mailparse/SAMessageID.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SANumber.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"

#include "platform/HTMLText.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr const char* kURLTokenPrefix = "Url*";
constexpr const char* kAddressTokenPrefix = "Add*";
constexpr qsizetype kMaximumTokenLength = 20;
constexpr const char* kURLCutCharacters = "?)]:>,*";
constexpr float kStartScore = -1.0f;

// Obfuscation points of a link record.
constexpr int kArobacedScore = 1;
constexpr int kBackpathedScore = 1;
constexpr int kEncodedScore = 10;
constexpr int kRedirectedScore = 1;

// Image parts that earn malus points.
constexpr int kImageWithContentIDMalus = 3;
constexpr int kImageMalus = 1;

// One per thread: a tokenizer remembers what its last text showed.
SWTokenizer& sharedTokenizer() {
    thread_local SWTokenizer tokenizer;
    return tokenizer;
}

SAString* constantString(const char* text) {
    return new SAString(text);  // built once, kept for the process
}

SAString* contentIDKey() {
    static SAString* key = constantString("Content-ID");
    return key;
}
SAString* imageGIFPrefix() {
    static SAString* key = constantString("image/gif");
    return key;
}
SAString* imagePDFPrefix() {
    static SAString* key = constantString("image/pdf");
    return key;
}

QString qStringFromSAString(const SAString* s) {
    if (!s || !s->cString())
        return {};
    return QString::fromUtf8(s->cString(), qsizetype(s->length()));
}

bool numberIsTrue(SAObject* object) {
    if (!object || !object->isKindOfClass(GETIDSANumber()))
        return false;
    return static_cast<SANumber*>(object)->boolValue();
}

SAString* asString(SAObject* object) {
    if (!object || !object->isKindOfClass(GETIDSAString()))
        return nullptr;
    return static_cast<SAString*>(object);
}

// The values of a header (case-insensitive name), or null.
SAArray* headerValues(SAMIMEPart* part, SAString* name) {
    if (!part->_headers)
        return nullptr;
    SAObject* values = part->_headers->objectForKey(name, 1);
    if (!values || !values->isKindOfClass(GETIDSAArray()))
        return nullptr;
    return static_cast<SAArray*>(values);
}

bool hasPrefixCaseInsensitive(const SAString* s, const SAString* prefix) {
    if (!s || !s->cString() || s->length() < prefix->length())
        return false;
    return strncasecmp(s->cString(), prefix->cString(), prefix->length()) == 0;
}

// A Message-ID without "@", or without "." after its first "@", is forged,
// unless it is one of Outlook's, which names the computer without a dot.
bool messageIDLooksForged(const SAString* messageID) {
    if (!messageID->cString())
        return true;
    const char* begin = messageID->cString();
    const char* end = begin + messageID->length();
    const char* at = static_cast<const char*>(std::memchr(begin, '@', size_t(end - begin)));
    if (!at)
        return true;
    return std::memchr(at + 1, '.', size_t(end - at - 1)) == nullptr &&
           !SAMessageID::isOutlookComputerNameID(std::string_view(begin, size_t(end - begin)));
}

// The domain a link host belongs to: its last two labels, or three under a
// country code whose second level is generic ("co.uk", "com.au"); lower case.
QString domainOfHost(QString host) {
    host = host.toLower();
    const QStringList labels = host.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (labels.size() <= 2)
        return labels.join(QLatin1Char('.'));
    const bool countryCode = labels.last().size() == 2;
    const int kept = countryCode && labels.at(labels.size() - 2).size() <= 3 ? 3 : 2;
    return labels.mid(labels.size() - kept).join(QLatin1Char('.'));
}

// The host of a link kept without its scheme: up to the first "/", "?", ":" or "#".
QString hostOfLink(const QString& link) {
    qsizetype end = 0;
    while (end < link.size() && !QStringLiteral("/?:#").contains(link.at(end)))
        ++end;
    return link.left(end);
}

// A redirection hides where a link goes only when it leaves the link's own
// domain: newsletters count clicks through their own servers.
bool redirectsElsewhere(SADictionary* record) {
    SAString* original = asString(record->objectForKey(sOriginalURLURLKey));
    SAString* target = asString(record->objectForKey(sURLURLKey));
    if (!original || !target)
        return true;
    const QString from = domainOfHost(hostOfLink(qStringFromSAString(original)));
    const QString to = domainOfHost(hostOfLink(qStringFromSAString(target)));
    return from.isEmpty() || from != to;
}

int obfuscationScore(SADictionary* record) {
    int score = 0;
    if (numberIsTrue(record->objectForKey(sURLArobacedKey)))
        score += kArobacedScore;
    if (numberIsTrue(record->objectForKey(sURLBackpathedKey)))
        score += kBackpathedScore;
    if (numberIsTrue(record->objectForKey(sURLEncodedKey)))
        score += kEncodedScore;
    if (numberIsTrue(record->objectForKey(sURLRedirectedKey)) && redirectsElsewhere(record))
        score += kRedirectedScore;
    return score;
}

// The link or address tokens of a part, gathered in one buffer and added to the
// bag at once: each one the bag lacks comes in with a count of 1, one it has
// keeps its count.
class PieceTokens {
public:
    // prefix + piece, cut to the longest token.
    void add(const QString& prefix, QStringView piece) {
        const qsizetype fromPrefix = std::min(prefix.size(), kMaximumTokenLength);
        const qsizetype fromPiece = std::min(piece.size(), kMaximumTokenLength - fromPrefix);
        spans_.emplace_back(units_.size(), size_t(fromPrefix + fromPiece));
        units_.insert(units_.end(), prefix.utf16(), prefix.utf16() + fromPrefix);
        units_.insert(units_.end(), piece.utf16(), piece.utf16() + fromPiece);
    }
    void addTo(SWTokenBag& tokens) const {
        std::vector<QStringView> sorted;
        sorted.reserve(spans_.size());
        for (const auto& [offset, size] : spans_)
            sorted.emplace_back(units_.data() + offset, qsizetype(size));
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        tokens.addAbsent(sorted);
    }

private:
    std::vector<char16_t> units_;
    std::vector<std::pair<size_t, size_t>> spans_;
};

void buildTextNode(SAMIMEPart* part, bool root, SWProcessNode& node) {
    // The simplified text of a part when it has one, else its content.
    SAData* source = part->_simplifiedText ? part->_simplifiedText : part->_content;
    if (root && part->_subtype == SAMIMESubtypeHTML)
        SWProcessor::addOneMalusPointToDictionary(&node);  // nothing but HTML
    if (!source || source->length() == 0 || !source->bytes())
        return;

    if (part->_addresses && part->_addresses->count() > 0) {
        QStringList addresses;
        for (unsigned long i = 0; i < part->_addresses->count(); ++i)
            if (SAString* address = asString(part->_addresses->objectAtIndex(i)))
                addresses << qStringFromSAString(address);
        node.addresses = addresses;
    }

    if (part->_urls && part->_urls->count() > 0) {
        QStringList urls;
        int obfuscated = 0, maxScore = 0;
        for (unsigned long i = 0; i < part->_urls->count(); ++i) {
            SAObject* object = part->_urls->objectAtIndex(i);
            if (!object || !object->isKindOfClass(GETIDSADictionary()))
                continue;
            auto* record = static_cast<SADictionary*>(object);
            if (SAString* url = asString(record->objectForKey(sURLURLKey)))
                urls << qStringFromSAString(url);
            const int score = obfuscationScore(record);
            if (score > 0) {
                ++obfuscated;
                maxScore = std::max(maxScore, score);
            }
        }
        node.urls = urls;
        if (obfuscated > 0) {
            SWProcessor::addOneMalusPointToDictionary(&node);
            node.obfuscatedCount = obfuscated;
            node.obfuscatedMaxCount = maxScore;
        }
    }

    std::optional<QString> text;
    {
        QString decoded;
        if (!SAEncodedText::decodeText(source->bytes(), source->length(), part->charsetName(), &decoded))
            return;
        text = std::move(decoded);
    }

    SWTokenizer& tokenizer = sharedTokenizer();
    SWTokenBag tokens;
    switch (part->_subtype) {
    case SAMIMESubtypeHTML: {
        const std::optional<QString> rendered = SWProcessor::processHTMLString(*text);
        if (!rendered || rendered->isEmpty())
            return;
        tokens = tokenizer.tokenize(*rendered, true);
        break;
    }
    case SAMIMESubtypeCalendar:
    case SAMIMESubtypeDirectory:
        return;
    default:
        tokens = tokenizer.tokenize(*text, true);
        break;
    }
    const bool aggression = tokenizer.aggressionDetected();
    SWProcessor::tokenizeURLs(&node, tokens);
    SWProcessor::tokenizeAddresses(&node, tokens);
    if (aggression)
        SWProcessor::addOneMalusPointToDictionary(&node);
    node.tokens = std::move(tokens);
}

void buildImageNode(SAMIMEPart* part, SWProcessNode& node) {
    SAArray* types = headerValues(part, sContentTypeKey);
    if (!types)
        return;
    for (unsigned long i = 0; i < types->count(); ++i) {
        SAString* type = asString(types->objectAtIndex(i));
        if (hasPrefixCaseInsensitive(type, imageGIFPrefix()) || hasPrefixCaseInsensitive(type, imagePDFPrefix())) {
            const bool hasContentID = headerValues(part, contentIDKey()) != nullptr;
            SWProcessor::addMalusPoints(hasContentID ? kImageWithContentIDMalus : kImageMalus, &node);
            return;
        }
    }
}

SWDataBase* storeOrShared(SWDataBase* db) { return db ? db : SWDataBase::sharedDataBase(); }

SWProbabilities lookUp(const std::optional<SWTokenBag>& tokens, bool updateDate, SWDataBase* db) {
    if (!tokens)
        return std::nullopt;
    SWDataBase* store = storeOrShared(db);
    if (!store)
        return std::nullopt;
    return store->getSpamitudeArrayFromTokens(*tokens, updateDate);
}

}  // namespace

std::unique_ptr<SWProcessNode> SWProcessor::createProcessTreeWithMIMETree(SAMIMEPart* part, bool root) {
    if (!part)
        return nullptr;
    auto node = std::make_unique<SWProcessNode>();

    if (root) {
        SARef<SAString> messageID = SARef<SAString>::adopt(part->copyMessageID());
        if (!messageID || messageIDLooksForged(messageID.get()))
            addOneMalusPointToDictionary(node.get());
        SARef<SAEncodedString> subject = SARef<SAEncodedString>::adopt(part->copySubject());
        if (subject) {
            const QString text = SAEncodedText::stringWithEncodedString(subject.get());
            if (text.isEmpty())
                addOneMalusPointToDictionary(node.get());
            else
                node->subjectTokens = sharedTokenizer().tokenizeSubject(text);
        }
    }

    switch (part->_contentType) {
    case SAMIMETypeMultipart:
    case SAMIMETypeMessage:
        if (part->_contentType == SAMIMETypeMessage && part->_subtype != SAMIMESubtypeRFC822)
            break;
        node->mode = part->_subtype;
        if (part->_parts) {
            for (unsigned long i = 0; i < part->_parts->count(); ++i) {
                SAObject* child = part->_parts->objectAtIndex(i);
                if (!child || !child->isKindOfClass(GETIDSAMIMEPart()))
                    continue;
                if (auto childNode = createProcessTreeWithMIMETree(static_cast<SAMIMEPart*>(child), false))
                    node->children.push_back(std::move(childNode));
            }
        }
        break;
    case SAMIMETypeText:
        buildTextNode(part, root, *node);
        break;
    case SAMIMETypeImage:
        buildImageNode(part, *node);
        break;
    default:
        break;
    }
    return node;
}

namespace {

void appendMalus(SWProbabilities& array, int malus) {
    if (malus <= 0)
        return;
    if (!array)
        array.emplace();
    array->insert(array->end(), size_t(malus), SWProcessorMalusProbability);
}

// Pairs each token of a bag with its probability (the store answers in the
// bag's order).
void appendScored(SWScoredTokens* scored, const std::optional<SWTokenBag>& tokens, const SWProbabilities& p) {
    if (!scored || !tokens || !p)
        return;
    size_t i = 0;
    for (auto it = tokens->constBegin(); it != tokens->constEnd() && i < p->size(); ++it, ++i)
        scored->emplace_back((*p)[i], &it.key());
}

// The probabilities of a node's tokens, its children's and its subject's,
// without malus points: the caller adds those of the whole tree once, so a
// point earned deep in the tree weighs no more than one earned at the top.
SWProbabilities tokenArray(const SWProcessNode* node, SWDataBase* db, SWScoredTokens* scored) {
    SWProbabilities result;
    if (node->hasChildren()) {
        if (!node->mode)
            return std::nullopt;
        if (*node->mode == SAMIMESubtypeAlternative) {
            // Of alternatives, the one that looks most like spam, its own
            // malus points included.
            float best = 0.0f;
            SWScoredTokens bestTokens;
            for (const auto& child : node->children) {
                SWScoredTokens childTokens;
                SWProbabilities array = tokenArray(child.get(), db, scored ? &childTokens : nullptr);
                SWProbabilities withMalus = array;
                appendMalus(withMalus, SWProcessor::malusCountForDictionary(child.get()));
                const float score = SWProcessor::computeSpamitude(withMalus);
                if (score > best) {
                    best = score;
                    result = std::move(array);
                    if (!result)
                        result.emplace();
                    bestTokens = std::move(childTokens);
                }
            }
            if (scored)
                scored->insert(scored->end(), bestTokens.begin(), bestTokens.end());
        } else {
            result.emplace();
            for (const auto& child : node->children) {
                const SWProbabilities array = tokenArray(child.get(), db, scored);
                if (array)
                    result->insert(result->end(), array->begin(), array->end());
            }
        }
    } else {
        result = lookUp(node->tokens, true, db);
        appendScored(scored, node->tokens, result);
    }

    if (node->subjectTokens && result) {
        const SWProbabilities subject = lookUp(node->subjectTokens, true, db);
        if (subject)
            result->insert(result->end(), subject->begin(), subject->end());
        appendScored(scored, node->subjectTokens, subject);
    }
    return result;
}

}  // namespace

SWProbabilities SWProcessor::getSpamitudeArray(const SWProcessNode* node, SWDataBase* db, SWScoredTokens* scored) {
    if (!node)
        return std::nullopt;
    SWProbabilities result = tokenArray(node, db, scored);
    appendMalus(result, malusCountForDictionary(node));
    return result;
}

void SWProcessor::getArray(const float* values, int count, float* minDistance, int* index) {
    float best = 0.0f;
    int at = -1;
    for (int i = 0; i < count; ++i) {
        const float distance = std::fabs(values[i] - 0.5f);
        if (at < 0 || distance < best) {
            best = distance;
            at = i;
        }
    }
    *minDistance = best;
    *index = at;
}

float SWProcessor::computeSpamitude(const SWProbabilities& probabilities) {
    if (!probabilities)
        return 0.0f;
    const std::vector<float>& all = *probabilities;
    std::vector<float> chosen;
    if (all.size() < size_t(SWProcessorMaximumProbabilities)) {
        chosen = all;
    } else {
        // Keep the 15 entries farthest from 0.5 (earlier ones win ties).
        chosen.assign(all.begin(), all.begin() + SWProcessorMaximumProbabilities);
        float minDistance;
        int index;
        getArray(chosen.data(), int(chosen.size()), &minDistance, &index);
        for (size_t i = SWProcessorMaximumProbabilities; i < all.size(); ++i) {
            if (std::fabs(all[i] - 0.5f) > minDistance) {
                chosen[size_t(index)] = all[i];
                getArray(chosen.data(), int(chosen.size()), &minDistance, &index);
            }
        }
    }
    float p = 1.0f, q = 1.0f;
    for (float value : chosen) {
        p *= value;
        q *= 1.0f - value;
    }
    if (p + q <= 0.0f)
        return 0.5f;
    return p / (p + q);
}

std::pair<SWProbabilities, std::optional<SWTokenBag>> SWProcessor::getSpamTokenArray(const SWProcessNode* node,
                                                                                     SWDataBase* db) {
    if (!node)
        return {};
    SWProbabilities array;
    std::optional<SWTokenBag> bag;
    if (node->hasChildren() && node->mode && *node->mode == SAMIMESubtypeAlternative) {
        float best = kStartScore;
        for (const auto& child : node->children) {
            auto [childArray, childBag] = getSpamTokenArray(child.get(), db);
            const float score = computeSpamitude(childArray);
            if (score > best) {
                best = score;
                array = std::move(childArray);
                bag = std::move(childBag);
            }
        }
    } else if (node->hasChildren()) {
        for (const auto& child : node->children) {
            auto [childArray, childBag] = getSpamTokenArray(child.get(), db);
            if (childArray) {
                if (!array)
                    array.emplace();
                array->insert(array->end(), childArray->begin(), childArray->end());
            }
            if (childBag) {
                if (!bag)
                    bag.emplace();
                bag->addCounts(*childBag);
            }
        }
    } else {
        array = lookUp(node->tokens, false, db);
        bag = node->tokens;
    }
    if (node->subjectTokens) {
        if (!bag)
            bag.emplace();
        bag->insertAll(*node->subjectTokens);
    }
    return {std::move(array), std::move(bag)};
}

std::optional<QString> SWProcessor::processHTMLString(const QString& html) {
    return platform::html::renderedText(html);
}

void SWProcessor::tokenizeURLs(const SWProcessNode* node, SWTokenBag& tokens) {
    if (!node || !node->urls)
        return;
    const QString prefix = QLatin1String(kURLTokenPrefix);
    PieceTokens pieces;
    for (const QString& url : *node->urls) {
        // The host: the first path component, cut before a port, query or bracket.
        QStringView host(url);
        const qsizetype slash = host.indexOf('/');
        if (slash == 0)
            continue;
        if (slash > 0)
            host = host.left(slash);
        for (qsizetype i = 0; i < host.size(); ++i) {
            const char16_t c = host[i].unicode();
            if (c != 0 && c < 0x80 && std::strchr(kURLCutCharacters, char(c))) {
                host = host.left(i);
                break;
            }
        }
        for (QStringView label : host.split('.'))
            if (label.size() > 2)
                pieces.add(prefix, label);
    }
    pieces.addTo(tokens);
}

void SWProcessor::tokenizeAddresses(const SWProcessNode* node, SWTokenBag& tokens) {
    if (!node || !node->addresses)
        return;
    const QString prefix = QLatin1String(kAddressTokenPrefix);
    PieceTokens pieces;
    for (const QString& address : *node->addresses)
        for (QStringView piece : QStringView(address).split('@'))
            for (QStringView label : piece.split('.'))
                if (label.size() > 2)
                    pieces.add(prefix, label);
    pieces.addTo(tokens);
}

void SWProcessor::addOneMalusPointToDictionary(SWProcessNode* node) { addMalusPoints(1, node); }

void SWProcessor::addMalusPoints(int count, SWProcessNode* node) {
    if (node)
        node->malus = node->malus.value_or(0) + count;
}

int SWProcessor::malusCountForDictionary(const SWProcessNode* node) {
    if (!node)
        return 0;
    int total = node->malus.value_or(0);
    for (const auto& child : node->children)
        total += malusCountForDictionary(child.get());
    return total;
}

bool SWProcessor::URLObfuscationDetected(const SWProcessNode* node, int threshold) {
    if (!node)
        return false;
    if (node->obfuscatedCount.value_or(0) > 0 && node->obfuscatedMaxCount.value_or(0) >= threshold)
        return true;
    for (const auto& child : node->children)
        if (URLObfuscationDetected(child.get(), threshold))
            return true;
    return false;
}
