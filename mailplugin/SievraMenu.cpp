#include "mailplugin/SievraMenu.h"

#include "hosts/mail/MailClasses.h"
#include "mailplugin/SievraMailBunde.h"
#include "platform/Bundle.h"
#include "platform/Folders.h"
#include "platform/Launching.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QTemporaryFile>
#include <QTimer>

namespace {

const QString kRemoveAliasesFailed =
    QStringLiteral("+[SievraMenu removeMailScriptsAliases]: can't remove Junkward Mail Scripts folder");
const QString kScriptFolderMissing = QStringLiteral(
    "- [SievraMenu runAppleScript:]: /Library/Application Support/Quillon/Junkward/Components/Mail/Scripts folder "
    "does not exist.");
const QString kScriptLoadFailed =
    QStringLiteral("- [SievraMenu runAppleScript:]: Error when loading the AppleScript: %1 : %2");
const QString kScriptRunFailed =
    QStringLiteral("- [SievraMenu runAppleScript:]: Error when running the AppleScript: %1 : %2");
const QString kFrontEndNotFound =
    QStringLiteral("+ [SievraMenu openApplicationAction:]: Application not found via Launch Services (%1)");
const QString kFrontEndSignature = QStringLiteral("_SM0");
const QString kFrontEndName = QStringLiteral("Junkward X5.app");
// Launch Services' "application not found".
constexpr int kApplicationNotFoundError = -10814;
// A script still running after this long is stopped and counts as failed.
constexpr int kScriptTimeLimitMs = 10 * 60 * 1000;
constexpr qint64 kMaximumScriptBytes = 1 << 20;

SievraMenu* gSharedMenu = nullptr;
// Loaded scripts by file name.
QHash<QString, QByteArray>* gScripts = nullptr;

QString localized(const QString& key) {
    const auto bundle = SievraMailBunde::bundle();
    return bundle ? bundle->localizedString(key, key) : key;
}

}  // namespace

SievraMenu* SievraMenu::sharedSievraMenu() {
    if (!gSharedMenu) {
        gSharedMenu = new SievraMenu;
        gSharedMenu->addMenu();
    }
    return gSharedMenu;
}

QString SievraMenu::scriptFolder() { return platform::folders::junkwardComponents() + QStringLiteral("/Mail/Scripts"); }

void SievraMenu::addMenu() {
    // 1. Old script links.
    removeMailScriptsAliases();
    // 2. The host's menu bar.
    mailhost::MailApplication* app = mailhost::MailApplication::shared();
    QMenuBar* bar = app ? app->mainMenu() : nullptr;
    if (!bar)
        return;
    // 3.-4. The menu and its items.
    auto* menu = new QMenu(QStringLiteral("JKW"), bar);
    struct Item {
        const char* title;
        void (SievraMenu::*action)();
        QKeySequence key;
    };
    const Item items[] = {
        {"Learn Good E-mail", &SievraMenu::learnGoodEmailAction, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G)},
        {"Learn Spam", &SievraMenu::learnSpamAction, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)},
        {nullptr, nullptr, {}},
        {"Send Spam Sample", &SievraMenu::sendSpamSample, QKeySequence(Qt::CTRL | Qt::Key_S)},
        {nullptr, nullptr, {}},
        {"Empty SPAM Mailbox...", &SievraMenu::emptySpamMailbox, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_J)},
        {nullptr, nullptr, {}},
        {"Open Junkward X...", &SievraMenu::openApplicationAction, {}},
    };
    for (const Item& item : items) {
        if (!item.title) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(localized(QString::fromLatin1(item.title)), this, item.action);
        if (!item.key.isEmpty())
            action->setShortcut(item.key);
    }
    // 5. The top-level item: the icon, inserted before the host's last menu.
    QIcon icon;
    if (const auto bundle = SievraMailBunde::bundle()) {
        for (const char* type : {"tif", "png"}) {
            const QString path = bundle->pathForResource(QStringLiteral("IconeJKW20"), QLatin1String(type));
            if (!path.isEmpty() && !(icon = QIcon(path)).availableSizes().isEmpty())
                break;
            icon = QIcon();
        }
    }
    const QList<QAction*> top = bar->actions();
    QAction* item = top.isEmpty() ? bar->addMenu(menu) : bar->insertMenu(top.last(), menu);
    if (!icon.isNull()) {
        item->setIcon(icon);
        item->setText(QString());  // the icon stands for the menu
        menu->setTitle(QString());
        menu->setIcon(icon);
    }
}

bool SievraMenu::removeMailScriptsAliases() {
    QString path = platform::folders::userLibrary();
    for (const char* name : {"Scripts", "Mail Scripts", "Junkward"}) {
        path += QLatin1Char('/') + QLatin1String(name);
        const QFileInfo info(path);
        if (!info.isDir() || info.isSymLink())
            return true;
    }
    if (QDir(path).removeRecursively())
        return true;
    platform::log::console(kRemoveAliasesFailed);
    return false;
}

bool SievraMenu::runAppleScript(const QString& name) {
    if (!gScripts || !gScripts->contains(name)) {
        // 2. The script folder.
        const QString folder = scriptFolder();
        if (!QFileInfo(folder).isDir()) {
            platform::log::console(kScriptFolderMissing);
            return false;
        }
        // 3. Load the script.
        QFile file(folder + QLatin1Char('/') + name);
        if (name.contains(QLatin1Char('/')) || !QFileInfo(file.fileName()).isFile() ||
            !file.open(QIODevice::ReadOnly) || file.size() > kMaximumScriptBytes) {
            platform::log::console(
                kScriptLoadFailed.arg(name, file.exists() ? file.errorString() : QStringLiteral("no such file")));
            return false;
        }
        // 4.-5. Keep it.
        if (!gScripts) {
            gScripts = new QHash<QString, QByteArray>;
            gScripts->reserve(2);
        }
        gScripts->insert(name, file.readAll());
    }
    // 6. Run it, a second time when the first run fails.
    const QByteArray script = gScripts->value(name);
    QString error;
    if (execute(name, script, &error) || execute(name, script, &error))
        return true;
    platform::log::console(kScriptRunFailed.arg(name, error));
    return false;
}

bool SievraMenu::execute(const QString& name, const QByteArray& script, QString* error) {
    // The loaded text runs from a private copy; its first line names the interpreter.
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/junkward-script-XXXXXX"));
    if (!copy.open() || copy.write(script) != script.size() || !copy.flush()) {
        *error = copy.errorString();
        return false;
    }
    QString program = QStringLiteral("/bin/sh");
    QStringList arguments;
    if (script.startsWith("#!")) {
        const QStringList words =
            QString::fromUtf8(script.mid(2, script.indexOf('\n') - 2)).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!words.isEmpty()) {
            program = words.first();
            arguments = words.mid(1, 1);
        }
    }
    arguments << copy.fileName();

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The host's program folder first, so the scripts find the system's tools.
    environment.insert(QStringLiteral("PATH"), QCoreApplication::applicationDirPath() + QLatin1Char(':') +
                                                   environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("JUNKWARD_SCRIPT_NAME"), name);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(kScriptTimeLimitMs, &loop, &QEventLoop::quit);
    process.start(program, arguments);
    // The host keeps serving its scripting interface while the script runs: the
    // script asks it for the selection.
    if (process.state() != QProcess::NotRunning)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        *error = QStringLiteral("still running after %1 s").arg(kScriptTimeLimitMs / 1000);
        return false;
    }
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 &&
        process.error() == QProcess::UnknownError)
        return true;
    const QString output = QString::fromUtf8(process.readAllStandardError()).trimmed();
    *error = process.exitStatus() == QProcess::NormalExit && process.error() == QProcess::UnknownError
                 ? QStringLiteral("exit status %1%2")
                       .arg(process.exitCode())
                       .arg(output.isEmpty() ? QString() : QStringLiteral(": ") + output.section(QLatin1Char('\n'), -1))
                 : process.errorString();
    return false;
}

void SievraMenu::learnGoodEmailAction() { runAppleScript(QLatin1String(JKWLearnHamScriptName)); }
void SievraMenu::learnSpamAction() { runAppleScript(QLatin1String(JKWLearnSpamScriptName)); }
void SievraMenu::sendSpamSample() { runAppleScript(QLatin1String(JKWSendSpamSampleScriptName)); }

void SievraMenu::emptySpamMailbox() {
    mailhost::MailApplication* app = mailhost::MailApplication::shared();
    if (app && app->runAlertPanel(localized(QStringLiteral("Do you really want to empty the SPAM Mailbox?")),
                                  localized(QStringLiteral("This cannot be undone")),
                                  localized(QStringLiteral("Empty")), localized(QStringLiteral("Cancel"))))
        runAppleScript(QLatin1String(JKWEmptySpamMailboxScriptName));
}

void SievraMenu::openApplicationAction() {
    if (!platform::launching::findApplication(kFrontEndSignature).isEmpty()) {
        if (platform::launching::openApplication(kFrontEndSignature))
            return;
    } else {
        platform::log::console(kFrontEndNotFound.arg(kApplicationNotFoundError));
    }
    platform::launching::launchApplicationNamed(kFrontEndName);
}
