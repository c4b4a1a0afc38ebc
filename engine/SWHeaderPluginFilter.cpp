#include "SWHeaderPluginFilter.h"

#include "SWNotifications.h"
#include "SWPluginPreferencesManager.h"
#include "SWRegularExpression_p.h"

#include "common/SAEncodedText.h"
#include "mailparse/SAArray.h"
#include "mailparse/SADictionary.h"
#include "mailparse/SAEncodedString.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"
#include "platform/Bundle.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <QStringDecoder>

namespace {

// Headers whose values are decoded before matching, and those of them that
// carry addresses.
constexpr const char* kDecodedHeaders[] = {"Subject", "To", "Cc", "From"};
constexpr const char* kAddressHeaders[] = {"To", "Cc", "From"};

// Shortest rule value (in UTF-8 bytes) that the text methods accept.
constexpr qsizetype kMinimumRuleValueLength = 2;
// Longest bare address learned as a rule (RFC 5321 path limit).
constexpr qsizetype kMaximumLearnedAddressLength = 254;

template <std::size_t N>
bool nameIsOneOf(const QString& name, const char* const (&names)[N]) {
    for (const char* candidate : names) {
        if (name.compare(QLatin1String(candidate), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// A rule's "Method" as an integer; -1 (a method that never matches) when the
// value is missing or is no number.
int ruleMethod(const QVariant& value) {
    bool ok = false;
    const qlonglong method = value.toLongLong(&ok);
    if (!ok || method < INT_MIN || method > INT_MAX)
        return -1;
    return static_cast<int>(method);
}

}  // namespace

SWHeaderPluginFilter::SWHeaderPluginFilter() = default;
SWHeaderPluginFilter::~SWHeaderPluginFilter() = default;

qint32 SWHeaderPluginFilter::filter(SAMIMEPart*) { return SWFilterStatusNotApplicable; }

bool SWHeaderPluginFilter::headersMatchArray(const SWHeaderDictionary& headers, const QVariantList& rules) {
    for (const QVariant& element : rules) {
        if (element.typeId() != QMetaType::QVariantMap)
            continue;
        const QVariantMap rule = element.toMap();
        if (!platform::plist::boolValue(rule, SWHeaderRuleStatusKey, false))
            continue;
        const QVariant keyValue = rule.value(SWHeaderRuleKeyKey);
        const QVariant ruleValue = rule.value(SWHeaderRuleValueKey);
        if (keyValue.typeId() != QMetaType::QString || ruleValue.typeId() != QMetaType::QString)
            continue;
        const QString key = keyValue.toString();
        const QString value = ruleValue.toString();
        const int method = ruleMethod(rule.value(SWHeaderRuleMethodKey));
        if (key == QLatin1String(SWHeaderAnyRecipientKey)) {
            if (headersMatchKey(headers, QStringLiteral("To"), method, value) ||
                headersMatchKey(headers, QStringLiteral("Cc"), method, value))
                return true;
        } else if (headersMatchKey(headers, key, method, value)) {
            return true;
        }
    }
    return false;
}

bool SWHeaderPluginFilter::headersMatchKey(const SWHeaderDictionary& headers, const QString& key, int method,
                                           const QString& value) {
    if (key.isNull() || value.isNull())
        return false;
    const auto found = headers.constFind(key);
    if (found == headers.constEnd())
        return false;
    for (const QString& headerValue : *found) {
        if (valueMatches(headerValue, method, value))
            return true;
    }
    return false;
}

bool SWHeaderPluginFilter::valueMatches(const QString& headerValue, int method, const QString& ruleValue) {
    if (method == SWHeaderMatchRegularExpression) {
        // Compiled anew for every value: rules change under the user's hand and
        // are few, so nothing is cached.
        SWRegularExpression expression;
        if (!expression.compile(ruleValue.toUtf8()))
            return false;
        return expression.matches(headerValue.toUtf8());
    }
    if (method < SWHeaderMatchBeginsWith || method > SWHeaderMatchIs)
        return false;
    const qsizetype ruleLength = ruleValue.toUtf8().size();
    if (ruleLength < kMinimumRuleValueLength || ruleLength > headerValue.toUtf8().size())
        return false;
    switch (method) {
    case SWHeaderMatchBeginsWith:
        return headerValue.startsWith(ruleValue, Qt::CaseInsensitive);
    case SWHeaderMatchContains:
        return headerValue.contains(ruleValue, Qt::CaseInsensitive);
    case SWHeaderMatchEndsWith:
        return headerValue.endsWith(ruleValue, Qt::CaseInsensitive);
    case SWHeaderMatchIs:
        return headerValue.compare(ruleValue, Qt::CaseInsensitive) == 0;
    }
    return false;
}

int SWHeaderPluginFilter::processHeaders(SADictionary*) { return SWHeaderInvestigationNothing; }

int SWHeaderPluginFilter::decideHeaders(SADictionary*) { return SWHeaderInvestigationNothing; }

bool SWHeaderPluginFilter::isSenderInList(const QString& address) const {
    for (const QVariant& element : array_) {
        if (element.typeId() != QMetaType::QVariantMap)
            continue;
        const QVariantMap rule = element.toMap();
        const QVariant value = rule.value(SWHeaderRuleValueKey);
        if (rule.value(SWHeaderRuleKeyKey).toString() == QLatin1String("From") &&
            value.typeId() == QMetaType::QString && value.toString().contains(address, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

void SWHeaderPluginFilter::updatePreferences(const QVariantMap& preferences) {
    const QVariantMap settings = preferences.value(sw::SWPreferencesSettingsKey).toMap();
    const QVariant array = settings.value(SWHeaderSettingsArrayKey);
    array_ = array.typeId() == QMetaType::QVariantList ? array.toList() : QVariantList();
}

SWPlugInFilter* SWHeaderPluginFilter::initializeWithBundle(std::shared_ptr<platform::Bundle> bundle,
                                                           const QString& identifier) {
    // The identifier is known even without a bundle, so a filter made that way
    // still saves what it learns under its own name.
    identifier_ = identifier;
    return initializeBuiltInWithBundle(std::move(bundle), identifier);
}

QString SWHeaderPluginFilter::processEncodedString(SAEncodedString* encoded) {
    if (!encoded)
        return QString(QLatin1String(""));
    return SAEncodedText::stringWithEncodedString(encoded);
}

std::optional<SWHeaderDictionary> SWHeaderPluginFilter::copyPreProcessedHeaders(SADictionary* headers) {
    if (!headers)
        return std::nullopt;
    SWHeaderDictionary result;
    // Walked slot by slot: looking every key up again would be quadratic in the
    // number of distinct header names, which a hostile message chooses.
    const unsigned long slotTotal = headers->slotCount();
    for (unsigned long slot = 0; slot < slotTotal; ++slot) {
        const SADictionaryItem* item = headers->itemAtSlot(slot);
        if (!item || !item->key)
            continue;
        const QString name = stringFromHeaderValue(item->key);
        const bool decoded = nameIsOneOf(name, kDecodedHeaders);
        const bool address = nameIsOneOf(name, kAddressHeaders);
        QStringList& list = result[name];
        SAObject* object = item->value;
        const bool isArray = object && object->isKindOfClass(GETIDSAArray());
        auto* values = isArray ? static_cast<SAArray*>(object) : nullptr;
        const unsigned long valueCount = values ? values->count() : 0;
        for (unsigned long v = 0; v < valueCount; ++v) {
            SAObject* element = values->objectAtIndex(v);
            if (!element || !element->isKindOfClass(GETIDSAString()))
                continue;
            auto* value = static_cast<SAString*>(element);
            if (decoded) {
                const SARef<SAEncodedString> encoded = SARef<SAEncodedString>::adopt(new SAEncodedString(value));
                const QString text = processEncodedString(encoded.get());
                list.append(text);
                if (address) {
                    if (const auto bare = rawMailAddress(text))
                        list.append(*bare);
                }
            }
            list.append(stringFromHeaderValue(value));
        }
    }
    return result;
}

std::optional<QString> SWHeaderPluginFilter::rawMailAddress(const QString& text) {
    const qsizetype close = text.lastIndexOf(QLatin1Char('>'));
    if (close < 0)
        return std::nullopt;
    const qsizetype open = close > 0 ? text.lastIndexOf(QLatin1Char('<'), close - 1) : -1;
    if (open < 0)
        return std::nullopt;
    QString inner = text.mid(open + 1, close - open - 1);
    auto isTrimmed = [](QChar c) {
        return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r') ||
               c == QLatin1Char('"') || c == QLatin1Char('\'');
    };
    qsizetype begin = 0;
    qsizetype end = inner.size();
    while (begin < end && isTrimmed(inner.at(begin)))
        ++begin;
    while (end > begin && isTrimmed(inner.at(end - 1)))
        --end;
    return inner.mid(begin, end - begin);
}

QString SWHeaderPluginFilter::stringFromHeaderBytes(const char* bytes, qsizetype length) {
    if (!bytes || length <= 0)
        return QString(QLatin1String(""));
    const QByteArrayView view(bytes, length);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(view);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes, length);
}

QString SWHeaderPluginFilter::stringFromHeaderValue(SAString* value) {
    if (!value)
        return QString(QLatin1String(""));
    return stringFromHeaderBytes(value->cString(), static_cast<qsizetype>(value->length()));
}

void SWHeaderPluginFilter::learnSenderOfMessage(SAMIMEPart* message, QVariantMap settings) {
    if (!learnSender_ || !message)
        return;
    SAString fromKey("From");
    const SARef<SAString> bare = SARef<SAString>::adopt(message->copyAddressFromField(&fromKey));
    const QString address = bare ? stringFromHeaderValue(bare.get()) : QString();
    if (address.isEmpty() || !SWIsLearnableAddress(address) || isSenderInList(address))
        return;

    if (array_.isEmpty())
        array_.reserve(10);
    QVariantMap rule;
    rule.insert(SWHeaderRuleStatusKey, true);
    rule.insert(SWHeaderRuleKeyKey, QStringLiteral("From"));
    rule.insert(SWHeaderRuleMethodKey, qint64(SWHeaderMatchContains));
    rule.insert(SWHeaderRuleValueKey, address);
    array_.append(rule);

    settings.insert(SWHeaderSettingsLearnKey, true);
    settings.insert(SWHeaderSettingsArrayKey, array_);
    QVariantMap preferences;
    preferences.insert(sw::SWPreferencesStatusKey, status_);
    preferences.insert(sw::SWPreferencesSettingsKey, settings);
    if (!SWPluginPreferencesManager::savePreferences(preferences, identifier_))
        return;  // kept in memory; written with the next successful save

    QVariantMap userInfo;
    userInfo.insert(SWHeaderSettingsArrayKey, array_);
    platform::DistributedNotificationCenter::defaultCenter().post(sw::SWPlugInPreferencesDidLearn, identifier_,
                                                                  &userInfo);
}

bool SWIsLearnableAddress(const QString& address) {
    const QByteArray bytes = address.toUtf8();
    if (bytes.isEmpty() || bytes.size() > kMaximumLearnedAddressLength)
        return false;
    const qsizetype at = bytes.indexOf('@');
    if (at <= 0 || bytes.indexOf('@', at + 1) >= 0)
        return false;
    const QByteArray domain = bytes.mid(at + 1);
    const qsizetype dot = domain.indexOf('.');
    if (dot <= 0 || domain.endsWith('.'))
        return false;
    for (char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '"' || c == '\'' || c == '<' || c == '>' || c == ',' || c == ';' ||
            c == '(' || c == ')')
            return false;
    }
    return true;
}
