#pragma once
// The root daemon's manager: owns the machine-wide message port "Junkward 5
// Daemon", dispatches each request by its message identifier to the handler
// named after it, and announces results to every user session (the system bus).
//
// Requests are served one at a time on the main event loop. Every failure is
// logged to the system log and answered with an empty reply; no request makes
// the daemon exit.

#include "platform/MessagePort.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <map>
#include <memory>
#include <sys/types.h>

extern const char* const JKW5_USERLANDCOMMUNICATIONMANAGER_SELECTOR_FORMAT;  // "processMessage_%u_From:withObject:"
extern const char* const JKW5_USERMANUAL_DISTRIBUTEDNOTIFICATION_MANUAL_AVAILABLE;  // "userManualDidBecomeAvailable"

// The group that owns the documentation folders and the moved manual: the
// group for local administration of the machine, else root's.
extern const char* const JKW5_USERMANUAL_GROUP_NAME;  // "staff"

namespace daemonlog {
// One line in the system log under the identity "Junkward" (daemon facility,
// error priority; the log is opened and closed around the line). Also on
// standard error when copyToStandardError(true) was called.
void line(const QString& text);
void copyToStandardError(bool on);
}  // namespace daemonlog

class JKW5UserLandCommunicationManager {
public:
    // The shared manager, made on first call. Its port is registered then; see isValid().
    static JKW5UserLandCommunicationManager* defaultManager();
    JKW5UserLandCommunicationManager();
    ~JKW5UserLandCommunicationManager();

    // False when the port could not be registered (another daemon owns it, or
    // the socket folder is not safe).
    bool isValid() const;

    // The port callback: a request with data is dispatched, an empty one logged.
    QByteArray JKW5MessagePortCallBack(qint32 msgid, const QByteArray& data, uid_t senderUid);

    // Dispatches by identifier: negative identifiers (mapped to identifier +
    // 65535) and 33 carry raw envelopes, the others property-list requests of a
    // dictionary {"Identifier", "Object"}. Returns the handler's reply or empty.
    QByteArray processMessageID(qint32 msgid, const QByteArray& data, uid_t senderUid);

    // Posts a distributed notification to every session (the system bus).
    static void postNotificationName(const QString& name, const QString& object, const QVariantMap* userInfo);

    // Message 2000 (category UserManual): moves the manual of object["Source"],
    // a regular file owned by senderUid, to object["Destination"] inside the
    // machine-wide Library's "Documentation/Junkward" folder, owned by root and
    // the documentation group with mode 0664, then announces it. The reply is
    // always empty.
    QByteArray processMessage_2000_From(const QString* sender, const QVariant& object, uid_t senderUid);

private:
    using Handler = QByteArray (JKW5UserLandCommunicationManager::*)(const QString* sender, const QVariant& object,
                                                                     uid_t senderUid);
    std::map<QString, Handler> handlers_;  // by selector name
    std::unique_ptr<platform::LocalMessagePort> messagePortRef_;
};
