#pragma once
// The client of the root daemon's message port "Junkward 5 Daemon": one shared
// object per process (the front end, the tray program) that sends property-list
// requests, notices when the daemon's port comes into existence and reports
// failures as numeric codes.
//
// The client is either connected (a remote port, no timer) or waiting (no remote
// port, a 2-second poll). It lives on the main thread: its timer and the
// distributed notification arrive on the main event loop, and a send blocks for
// up to 40 s (plus 20 s for a reply).

#include "platform/MessagePort.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <memory>

extern const char* const JKW5_FRONTENDCOMMUNICATIONCENTER_DAEMON_MESSAGEPORT_NAME;  // "Junkward 5 Daemon"
extern const char* const
    JKW5_FRONTENDCOMMUNICATIONCENTER_NOTIFICATION_DAEMONMESSAGEPORTDIDCHANGE;  // "daemonMessagePortDidChange"
extern const char* const
    JKW5_FRONTENDCOMMUNICATIONCENTER_DISTRIBUTEDNOTIFICATION_BUNDLEIDENTIFIER;  // "CFBundleIdentifier"

// Keys of a property-list request.
extern const char* const JKW5_FRONTENDCOMMUNICATIONCENTER_REQUEST_IDENTIFIER;  // "Identifier"
extern const char* const JKW5_FRONTENDCOMMUNICATIONCENTER_REQUEST_OBJECT;      // "Object"

// Message 2000: move a downloaded user manual into place. Its object's keys.
inline constexpr qint32 JKW5_COMMUNICATION_USERMANUAL_MOVE = 2000;
extern const char* const JKW5_USERMANUAL_SOURCE_KEY;       // "Source"
extern const char* const JKW5_USERMANUAL_DESTINATION_KEY;  // "Destination"

// Error codes written by sendMessage.
enum JKW5FrontEndCommunicationCenterError : qint32 {
    JKW5FrontEndCommunicationCenterNoError = 0,
    JKW5FrontEndCommunicationCenterNoRemotePort = 1,
    JKW5FrontEndCommunicationCenterRequestNotBuilt = 2,
    JKW5FrontEndCommunicationCenterRequestNotSerialised = 3,
    JKW5FrontEndCommunicationCenterReplyNotParsed = 4,
    // Negative: the status of the port's send (-1 send time-out, -2 receive
    // time-out, -3 invalid port, -4 transport error), passed on as it is.
};

class JKW5FrontEndCommunicationCenter : public QObject {
    Q_OBJECT
public:
    // The shared client, made on first call (on the main thread) and never freed.
    static JKW5FrontEndCommunicationCenter* defaultCommunicationCenter();

    // A client of its own: connects to the daemon's port when it exists, else
    // starts the 2-second poll; observes "daemonMessagePortDidChange".
    explicit JKW5FrontEndCommunicationCenter(QObject* parent = nullptr);
    ~JKW5FrontEndCommunicationCenter() override;

    bool existsRemoteMessagePort() const;
    bool isWaiting() const;  // the poll runs

    // The sender identifier written into every request: the main bundle's
    // identifier, else "Default Bundle Identifier".
    QString identifier() const;
    void setIdentifier(const QString& identifier);

    // Sends {"Identifier", "Object"} (object omitted when invalid) as a binary
    // property list under msgid. With waitForAnswer, returns the parsed reply
    // (invalid when none came); otherwise returns an invalid QVariant. *error
    // (when given) receives one of the codes above.
    QVariant sendMessage(qint32 msgid, const QVariant& object, bool waitForAnswer, qint32* error);
    // The same without waiting for an answer; always returns an invalid QVariant.
    QVariant sendMessage(qint32 msgid, const QVariant& object, qint32* error);

    // Reconnection: the notification forces a new connection (falling back to
    // waiting), the poll connects once the port exists.
    void daemonMessagePortDidChange();
    void checkForDaemonStatus();

    // Asks the daemon to move the manual at source to destination (message
    // 2000, no answer awaited). True when the request was built and handed to
    // the send routine, not that the daemon carried it out.
    bool JKW5_FECC_UserManual_MoveFromPath(const QString& source, const QString& destination);

private:
    void startTimer();
    void stopTimer();
    void connectPort();

    QString identifier_;
    std::unique_ptr<QTimer> timer_;
    std::unique_ptr<platform::RemoteMessagePort> daemonRemoteMessagePort_;
    int observerToken_ = 0;
};
