// junkward-taskmanager: shows the engine's task-progress notices.
#include "hosts/taskmanager/TaskManagerService.h"

#include "common/TaskProgressProtocol.h"
#include "platform/Log.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TaskManagerService service;
    if (!service.start()) {
        platform::log::console(QStringLiteral("[junkward-taskmanager] The port %1 is taken")
                                   .arg(QLatin1String(TM_MESSAGECLIENTMANAGER_PORT_NAME)));
        return 1;
    }
    return app.exec();
}
