// entourage-guide: the guide to configuring Entourage by hand.
//   entourage-guide [--grab FOLDER]   (--grab renders both pages and quits)
#include "guide/MainController.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("entourage-guide"));
    MainController controller;
    controller.awakeFromNib();

    const QStringList arguments = app.arguments();
    if (const qsizetype i = arguments.indexOf(QStringLiteral("--grab")); i >= 0 && i + 1 < arguments.size()) {
        const QString folder = arguments.at(i + 1);
        QDir().mkpath(folder);
        controller.setTerminate([] {});
        QTimer::singleShot(200, &app, [&] {
            controller.window()->grab().save(folder + QStringLiteral("/entourage-guide-1.png"));
            controller.continueButton()->click();
            controller.window()->grab().save(folder + QStringLiteral("/entourage-guide-2.png"));
            app.quit();
        });
    }
    return app.exec();
}
