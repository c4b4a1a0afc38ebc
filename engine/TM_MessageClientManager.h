#pragma once
// The engine's client of the task-progress service: packs a notice into a
// binary property list and sends it one-way to the service's port
// "com.quillon.task.manager" (message id 200). A notice whose information asks
// for a reaction gets a reply port named by its UUID; a reaction arriving there
// is posted on the local notification centre as
// "TM_MESSAGE_NOTIFICATION_DIDRECEIVEREACTION" (object: the notice's UUID).

#include "common/TaskProgressProtocol.h"

#include <QString>
#include <QVariantMap>
#include <map>
#include <memory>

class QTimer;

namespace platform {
class LocalMessagePort;
class RemoteMessagePort;
}  // namespace platform

// Local notification of a received reaction.
inline constexpr const char* TM_MESSAGE_NOTIFICATION_DIDRECEIVEREACTION = "TM_MESSAGE_NOTIFICATION_DIDRECEIVEREACTION";

class TM_MessageClientManager {
public:
    // Interval of the retries while the service is not running.
    static constexpr int kDaemonCheckIntervalMs = 2000;
    static constexpr double kSendTimeout = 40.0;

    // The shared instance, created on first use.
    static TM_MessageClientManager& defaultClientManager();

    // Makes the own UUID, records the ids and looks the service up; while it is
    // missing a 2 s timer keeps looking.
    TM_MessageClientManager();
    ~TM_MessageClientManager();
    TM_MessageClientManager(const TM_MessageClientManager&) = delete;
    TM_MessageClientManager& operator=(const TM_MessageClientManager&) = delete;

    // Builds and sends one notice; failures are logged and dropped. information
    // may be null only for a removal (action 1). True when it was sent.
    bool sendMessageLevel(int level, int action, const QVariantMap* information, const QString& uuid);
    bool sendMessageLevel(int level, int action, const QVariantMap* information);
    bool sendProgressionMessageLevel(int level, const QVariantMap& information, const QString& uuid);
    bool sendProgressionMessageLevel(int level, const QVariantMap& information);
    bool sendErrorMessageLevel(int level, const QVariantMap& information, const QString& uuid);
    bool sendErrorMessageLevel(int level, const QVariantMap& information);
    bool sendInfoMessageLevel(int level, const QVariantMap& information, const QString& uuid);
    bool sendInfoMessageLevel(int level, const QVariantMap& information);
    bool sendRemoveMessageForUUID(const QString& uuid);
    bool sendRemoveMessage();

    QString uniqueIdentifier() const { return uniqueIdentifier_; }
    // Looks the service port up again; stops the retry timer once it is found.
    void checkForDaemonStatus();
    bool isConnected() const { return daemonRemoteMessagePort_ != nullptr; }

    // The message a notice becomes, before serialisation; empty when information
    // is missing for an action other than removal.
    QVariantMap messageDictionary(int level, int action, const QVariantMap* information, const QString& uuid) const;

private:
    QByteArray reactionReceived(const QByteArray& data);
    void startRetryTimer();

    qint64 userID_ = 0;
    qint64 processID_ = 0;
    QString uniqueIdentifier_;
    std::unique_ptr<QTimer> timer_;
    std::unique_ptr<platform::RemoteMessagePort> daemonRemoteMessagePort_;
    std::map<QString, std::unique_ptr<platform::LocalMessagePort>> messagePortSourceDictionary_;
};
