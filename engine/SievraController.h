#pragma once
// The engine's single controller: loads the filter chain, owns the message port
// "Sievra" through which the mail plug-in submits raw messages, keeps the
// engine-wide "General" settings and statistics, and follows the notifications of
// the front ends. Everything runs on the main thread's event loop.

#include "engine/SievraPort.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <memory>
#include <optional>
#include <vector>

#include <regex.h>
#include <sys/types.h>

class QTimer;
class SAData;
class SADictionary;
class SAMIMEPart;
class SWPlugInFilter;
class SWPreparedLearning;

namespace sievra {
struct BuiltInCheckSwitches;
}

namespace platform {
class Bundle;
class LocalMessagePort;
struct Notification;
}  // namespace platform

// Keys of the engine's "General" settings.
inline constexpr const char* SievraSettingShowFeedback = "Show Feedback";
inline constexpr const char* SievraSettingShowSpamDetection = "Show Spam Detection";
inline constexpr const char* SievraSettingAsianOrCyrillic = "Filter Asiatic or Cyrillic Encodings";
inline constexpr const char* SievraSettingJapanese = "Filter Japanese Encodings";
inline constexpr const char* SievraSettingIncorrectMessageID = "Incorrect Message-ID";
inline constexpr const char* SievraSettingADVSubject = "ADV Subject";
inline constexpr const char* SievraSettingNonJapanese = "Filter non Japanese Encodings";
inline constexpr const char* SievraSettingHTMLBase64 = "Filter HTML Base 64";
inline constexpr const char* SievraSettingTrustSpamHeaders = "Trust Spam Headers";
// Whether the sources of recently judged messages are kept beside the log, so
// that they can be learned from the log viewer (on unless set false).
inline constexpr const char* SievraSettingKeepMessageSources = "Keep Message Sources";
// Key of the engine application's own user defaults.
inline constexpr const char* SievraDefaultLogStructure = "Log Structure";

// One element of the filter chain. A field is empty when the entry ended
// before it: no instance, or no identifier (then no status either); the
// chain skips entries without identifier and status.
// Keys of an explanation (explainMailData).
inline constexpr const char* SievraExplainEngineOnKey = "Engine On";
inline constexpr const char* SievraExplainDecidedByKey = "Decided By";
inline constexpr const char* SievraExplainVerdictKey = "Verdict";
inline constexpr const char* SievraExplainFiltersKey = "Filters";
inline constexpr const char* SievraExplainIdentifierKey = "SWPluginIdentifier";
inline constexpr const char* SievraExplainEnabledKey = "Enabled";

struct SievraPlugInEntry {
    std::shared_ptr<SWPlugInFilter> instance;  // "Instance"
    QVariantMap information;                   // "Information": the filter's dictionary()
    std::optional<QString> identifier;         // "SWPluginIdentifier"
    std::optional<bool> status;                // "Status"

    bool isEmpty() const { return !instance; }
    // The entry as a property-list dictionary, without the instance.
    QVariantMap toVariantMap() const;
};

class SievraController : public QObject {
    Q_OBJECT
public:
    SievraController();
    ~SievraController() override;

    // The controller of the process (set during start-up), or nullptr.
    static SievraController* currentSievraController();

    // The start-up sequence. Returns false when the process has no reason to
    // run: its port could not be made and it does not own the engine's bus name.
    bool awakeFromNib();

    // An entry for a filter loaded from a plug-in bundle: className is created
    // from the class registry and initialised with the bundle and its
    // "SWPluginIdentifier". An empty entry when the class cannot be made.
    SievraPlugInEntry createPlugInDictionaryWithBundle(const std::shared_ptr<platform::Bundle>& bundle,
                                                       const QString& className);
    // The same for a filter compiled into the engine: the bundle is the engine's
    // own main bundle and the identifier is the one given.
    SievraPlugInEntry createPlugInDictionaryWithIdentifier(const QString& identifier, const QString& className);
    // Ascending "Information"/"Category" order (a missing category counts as 0).
    static bool compareByCategory(const SievraPlugInEntry& a, const SievraPlugInEntry& b);

    // Applies the "Settings" of a "General" preference dictionary.
    void updatePreferences(const QVariantMap& preferences);

    // Notification handlers.
    void preferencesDidChange(const platform::Notification& notification);
    void sievraPlugInStatusDidChange(const platform::Notification& notification);
    void statisticsDidReset(const platform::Notification& notification);
    void logDidReset(const platform::Notification& notification);
    void automaticLearnDidChange(const platform::Notification& notification);

    // The port's callback: the 4-byte native-order reply to one request.
    QByteArray SievraMessagePortCallBack(qint32 msgid, const QByteArray& data, uid_t senderUid);

    // Judges one raw message (borrowed): 0 spam, 1 legitimate, 2 undecided or
    // not judged. reason, when given, receives what decided: the record's
    // "Filt-ID", "INT_PARSE" for an unparsable message, "NONE" when nothing was
    // judged (no data, engine switched off).
    qint32 filterMailData(SAData* data, QString* reason = nullptr);
    // Why filterMailData would judge one raw message (borrowed) as it does,
    // with nothing counted, logged or learned: "Engine On", "From", "Subject",
    // "Decided By" (the log's "Filt-ID" of the deciding list, check or filter,
    // "NONE" or "PARSE_ERROR"), "Verdict", and "Filters": each plug-in's own
    // explanation with its "SWPluginIdentifier" and "Enabled". Empty for no data.
    QVariantMap explainMailData(SAData* data);

    // Asks the enabled filters in chain order; the first answer other than
    // undecided or not applicable decides. Sets "Filt-ID" of record to the
    // deciding filter's identifier or "NONE"; returns its verdict or 2.
    // explanations, when given, receives the lastExplanation() of each filter
    // asked, with its "SWPluginIdentifier".
    qint32 filterWithPlugIns(SAMIMEPart* message, QVariantMap& record, QVariantList* explanations = nullptr);
    // The parser's header callback: the header filter manager's investigation
    // of the top-level headers (0, 2 white-listed, 3 black-listed).
    static int filterCallBack(SADictionary* headers, void* context);
    // The log record of a parsed message: "Date", "From" ("-" without one),
    // "Subject" (absent without one) and "Msg-ID" (absent without a usable
    // one). fullSubject receives the decoded subject before it was shortened.
    static QVariantMap createLogRecord(SAMIMEPart* message, std::optional<QString>* fullSubject = nullptr);
    // Removes the progress notice shown for the last spam.
    void delayedHideTaskManager();

    // Training with one raw message (borrowed): parsed without the header
    // lists, handed to every filter of the chain, enabled or not, and logged
    // as "LEARN_SPAM" / "LEARN_HAM", replacing the message's earlier record.
    // Works while the engine is switched off; an unparsable message is
    // neither learned nor logged.
    void learnSpamMailData(SAData* data);
    void learnHamMailData(SAData* data);
    // Learns the kept source of the log record keyed logKey as the record's
    // message, its learn record replacing the judged one. False, with error
    // set, when no source is kept for the key or the learning failed.
    bool learnLoggedMessage(const QString& logKey, bool spam, QString* error);
    // Training with many raw messages (borrowed), each as learnSpamMailData /
    // learnHamMailData does, in one learning batch of every filter, so each
    // filter stores the whole batch at once; one notice for the batch. The
    // result has one byte per message: 1 when it was parsed and every filter
    // learned it and stored the batch, else 0. Filters that prepare their
    // learning take the messages apart on a second thread, a group of messages
    // ahead of the storing.
    QByteArray learnMailDataBatch(const std::vector<SAData*>& messages, bool spam);
    // Every filter of the chain learns the parsed message; a filter that fails
    // is logged and the others still learn. False when one failed.
    bool learnSpamFilterWithPlugIns(SAMIMEPart* message, const QString& messageID);
    bool learnHamFilterWithPlugIns(SAMIMEPart* message, const QString& messageID);
    // A copy of data with every CR LF turned into LF, or null when it has none
    // (the caller releases it).
    static SAData* copyDataWithLineFeeds(SAData* data);

    // Records an engine verdict in the "General" statistics and schedules their
    // save 2 s later, replacing any pending one.
    void addToStatisticsGeneral(qint32 record);
    // The scheduled save; on success posts "SWPlugInStatisticsDidUpdate" "General".
    void delayedSavedGeneralOnDisk(const QString& identifier);
    // Writes what is pending (statistics of the engine and of every filter, the
    // log queue) at once; used when the process is asked to terminate.
    void flushPendingSaves();

    // The mail program's set-up, checked at each start: the mail program has an
    // active rule named "Junkward" (its rules files, either of them).
    static bool isJunkwardRuleEnabled();
    // Switches plug-in loading on in the mail program's preferences; false when
    // they cannot be read.
    static bool updateMailPreferences();
    // Installs or upgrades the mail plug-in in the mail program's Bundles folder
    // once the user has configured the mail program for Junkward; removes older
    // copies the mail program moved aside.
    static void updateMailBundleIfNeeded();

    const std::vector<SievraPlugInEntry>& plugIns() const { return plugIns_; }
    bool status() const { return status_; }
    bool hasMessagePort() const { return messagePortRef_ != nullptr; }

public slots:
    void busNameLost(const QString& name);

private:
    void registerObservers();
    void discoverPlugIns();
    void createMessagePort();
    bool ownBusName();
    void loadGeneralPreferencesAndStatistics();
    // Hands the built-in list filters to the header filter manager.
    void installHeaderFilterDelegates(SWPlugInFilter* blackList, SWPlugInFilter* whiteList);
    // The "ADV Subject" pattern of the engine's "RegEx" strings, compiled on
    // first use, against a subject.
    bool advertisementSubjectMatches(const QString& subject);
    // The "General" switches of the built-in checks.
    sievra::BuiltInCheckSwitches builtInCheckSwitches() const;
    // Offers a judged message to every plug-in's automatic training.
    void trainPlugInsAutomatically(SAMIMEPart* message, const std::optional<QVariantMap>& record, qint32 verdict);
    // Shows the "spam detected" notice and schedules its removal.
    void showSpamNotice(const QString& subject);
    // A level-0 progress notice titled by the localised titleKey with the subject as
    // explanation, removed hideAfterMs later (replacing any pending removal).
    void showProgressNotice(const char* titleKey, const QString& subject, int hideAfterMs);
    // Learns one message; false when it could not be parsed or a filter failed.
    // logKey, when given, is the record's key in the log (and the message ID
    // the filters learn it under).
    bool learnMailData(SAData* data, bool spam, const QString& logKey = QString());
    // Every filter learns a parsed message of a batch, as learnSpamFilterWithPlugIns
    // and learnHamFilterWithPlugIns do; prepared holds what the preparing filters
    // prepared for it, in chain order.
    bool learnWithPlugIns(SAMIMEPart* message, const QString& messageID, bool spam,
                          std::vector<std::unique_ptr<SWPreparedLearning>>& prepared);
    // Shows the "learning" notice and schedules its removal.
    void showLearningNotice(bool spam, const QString& subject);

    std::vector<SievraPlugInEntry> plugIns_;
    bool logStructure_ = false;
    std::unique_ptr<platform::LocalMessagePort> messagePortRef_;
    bool status_ = true;
    bool showFeedback_ = true;
    bool showSpamDetectionStatus_ = true;
    bool asianOrCyrillicEncodingIsSpam_ = false;
    bool japaneseEncodingSpam_ = false;
    bool nonJapaneseEncodingSpam_ = false;
    bool htmlBase64_ = false;
    bool trustSpamHeaders_ = true;
    bool incorrectMessageID_ = true;
    bool ADVSubjectIsSpam_ = true;
    bool automaticLearning_ = false;
    regex_t compiledADVRegularExpression_{};
    bool hasCompiledADVRegularExpression_ = false;
    QString identifier_;
    QByteArray iconData_;
    std::optional<QVariantMap> statistics_;

    std::unique_ptr<QTimer> generalSaveTimer_;
    std::unique_ptr<QTimer> hideTaskManagerTimer_;
    std::unique_ptr<QObject> busObject_;
    bool ownsBusName_ = false;
    std::vector<int> distributedObservers_;
    int localObserver_ = -1;

    friend class SievraControllerTestAccess;
};
