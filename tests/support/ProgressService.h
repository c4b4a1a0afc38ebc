#pragma once
// This test process standing in for the task-progress service: it serves the
// service's port and keeps every notice sent to it, in order.

#include "engine/TM_MessageClientManager.h"
#include "platform/MessagePort.h"
#include "platform/PropertyList.h"

#include <QList>
#include <QVariantMap>

#include <memory>

namespace testsupport {

class ProgressService {
public:
    ProgressService()
        : port_(platform::LocalMessagePort::create(TM_MESSAGECLIENTMANAGER_PORT_NAME,
                                                   [this](qint32 msgid, const QByteArray& data, uid_t) {
                                                       if (msgid == TM_MESSAGECLIENTMANAGER_MESSAGE_ID) {
                                                           if (const auto plist = platform::plist::fromData(data))
                                                               notices_.append(plist->toMap());
                                                       }
                                                       return QByteArray();
                                                   })) {}
    // False when the port could not be opened (another service holds it).
    bool serving() const { return port_ != nullptr; }
    // The notices received so far (the event loop of this thread delivers them).
    const QList<QVariantMap>& notices() const { return notices_; }
    void clear() { notices_.clear(); }

private:
    QList<QVariantMap> notices_;
    std::unique_ptr<platform::LocalMessagePort> port_;
};

}  // namespace testsupport
