#pragma once
// The task-progress service: owns the port "com.quillon.task.manager", decodes
// each notice (a binary property list, message id 200) and shows it as a
// desktop notification when the session bus has a notification server,
// otherwise as one line on standard error. A removal closes the notice; a
// notice that asks for a reaction gets one back on the port named by its UUID
// once the user acted on it (at once when there is no notification server).

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <map>
#include <memory>
#include <sys/types.h>

namespace platform {
class LocalMessagePort;
}

class TaskManagerService : public QObject {
    Q_OBJECT
public:
    // Notices remembered for removal and reactions; the oldest is forgotten first.
    static constexpr int kMaximumNotices = 256;
    static constexpr int kMaximumTitleLength = 256;
    static constexpr int kMaximumTextLength = 2048;

    TaskManagerService();
    ~TaskManagerService() override;

    // Takes the port; false when another process serves it.
    bool start();

    // Handles one request; returns the (empty) reply.
    QByteArray handleRequest(qint32 msgid, const QByteArray& data);

private slots:
    void actionInvoked(uint id, const QString& actionKey);
    void notificationClosed(uint id, uint reason);

private:
    struct Notice {
        QString uuid;
        uint notificationID = 0;
        bool wantsReaction = false;
    };

    void show(const QString& uuid, int action, const QVariantMap& information);
    void remove(const QString& uuid);
    void sendReaction(const QString& uuid, const QString& reaction);
    bool hasNotificationServer() const;
    void remember(const Notice& notice);
    void forget(const QString& uuid);

    std::unique_ptr<platform::LocalMessagePort> port_;
    QStringList order_;                  // UUIDs, oldest first
    std::map<QString, Notice> notices_;  // by UUID
    bool signalsConnected_ = false;
};
