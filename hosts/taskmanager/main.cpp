// junkward-taskmanager: shows the engine's task-progress notices.
#include "hosts/taskmanager/TaskManagerService.h"

#include "platform/Log.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TaskManagerService service;
    if (!service.start()) {
        platform::log::console(QStringLiteral("[junkward-taskmanager] The port com.quillon.task.manager is taken"));
        return 1;
    }
    return app.exec();
}
