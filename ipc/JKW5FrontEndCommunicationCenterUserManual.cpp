// Category UserManual of the daemon's client: the request that moves a
// downloaded user manual into the machine-wide documentation folder.

#include "ipc/JKW5FrontEndCommunicationCenter.h"

#include "platform/Log.h"

#include <QVariantMap>

const char* const JKW5_USERMANUAL_SOURCE_KEY = "Source";
const char* const JKW5_USERMANUAL_DESTINATION_KEY = "Destination";

bool JKW5FrontEndCommunicationCenter::JKW5_FECC_UserManual_MoveFromPath(const QString& source,
                                                                        const QString& destination) {
    QVariantMap paths;
    paths.insert(QString::fromLatin1(JKW5_USERMANUAL_SOURCE_KEY), source);
    paths.insert(QString::fromLatin1(JKW5_USERMANUAL_DESTINATION_KEY), destination);

    qint32 error = 0;
    sendMessage(JKW5_COMMUNICATION_USERMANUAL_MOVE, paths, &error);
    if (error != 0)
        platform::log::console(QStringLiteral("JKW5FrontEndCommunicationCenter: Error (%1) when sending message ID %2.")
                                   .arg(error)
                                   .arg(JKW5_COMMUNICATION_USERMANUAL_MOVE));
    return true;
}
