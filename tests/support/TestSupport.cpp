#include "tests/support/TestSupport.h"

#include "platform/MessagePort.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sys/prctl.h>
#include <unistd.h>

namespace testsupport {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "junkward-test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);  // lives as long as the process
    return *QCoreApplication::instance();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    application();
    QDeadlineTimer deadline(timeoutMs);
    // Quick to notice an event that comes at once, without polling a file or a
    // port hundreds of times a second while a slow one is awaited.
    unsigned long pauseMs = 1;
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(pauseMs);
        pauseMs = std::min(pauseMs * 2, 50ul);
    }
    return true;
}

void spinFor(int ms) {
    application();
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
}

std::unique_ptr<platform::RemoteMessagePort> waitForPort(const QString& name, int timeoutMs) {
    std::unique_ptr<platform::RemoteMessagePort> port;
    waitUntil([&] { return (port = platform::RemoteMessagePort::connect(name)) != nullptr; }, timeoutMs);
    return port;
}

ShortTempDir::ShortTempDir() {
    char templ[] = "/tmp/jkw-XXXXXX";
    if (::mkdtemp(templ))
        path_ = QString::fromLocal8Bit(templ);
}

ShortTempDir::~ShortTempDir() {
    if (!path_.isEmpty())
        QDir(path_).removeRecursively();
}

PrivateBus::PrivateBus(const QString& serviceDir, Address address) {
    QByteArray rules;
    if (!serviceDir.isEmpty())
        rules += "<servicedir>" + QFile::encodeName(serviceDir) + "</servicedir>\n";
    rules +=
        "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
        "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>\n"
        "<limit name=\"max_incoming_bytes\">1000000000</limit>\n"
        "<limit name=\"max_outgoing_bytes\">1000000000</limit>\n"
        "<limit name=\"max_message_size\">1000000000</limit>\n";
    start("session", rules);
    if (!address_.isEmpty() && address == Address::Export)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.toLocal8Bit().constData(), 1);
}

PrivateBus::PrivateBus(const System& system) {
    start("system", system.rules);
    if (!address_.isEmpty())
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.toLocal8Bit().constData(), 1);
}

void PrivateBus::start(const QByteArray& type, const QByteArray& rules) {
    if (!folder_.isValid())
        return;
    const QString config = folder_.path() + QStringLiteral("/bus.conf");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return;
    const QByteArray text =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig><type>" +
        type + "</type><listen>unix:path=" + QFile::encodeName(folder_.path()) + "/bus</listen>\n" + rules +
        "</busconfig>\n";
    if (file.write(text) != text.size())
        return;
    file.close();

    daemon_.setProgram(QStringLiteral("dbus-daemon"));
    daemon_.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                          QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    daemon_.setStandardErrorFile(QProcess::nullDevice());
    // The bus dies with this test process, however it ends.
    daemon_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    daemon_.start();
    if (!daemon_.waitForStarted(kDeadlineMs))
        return;
    // The address is printed once the bus listens.
    QDeadlineTimer deadline(kDeadlineMs);
    while (!daemon_.canReadLine() && !deadline.hasExpired() && daemon_.state() == QProcess::Running)
        daemon_.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
    if (!daemon_.canReadLine())
        return;
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
}

namespace {

// The processes a bus started on demand: the bus names itself to them in
// DBUS_STARTER_ADDRESS, which their own children inherit. (They are not the
// bus's children: it starts them through a helper that exits.)
QList<pid_t> servicesStartedBy(const QByteArray& busAddress) {
    const QByteArray variable = "DBUS_STARTER_ADDRESS=" + busAddress;
    QList<pid_t> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const pid_t pid = entry.toInt(&ok);
        QFile environment(QStringLiteral("/proc/%1/environ").arg(entry));
        if (!ok || pid == ::getpid() || !environment.open(QIODevice::ReadOnly))
            continue;
        if (environment.readAll().split('\0').contains(variable))
            found += pid;
    }
    return found;
}

// A process that has ended, whether or not its parent has collected it yet.
bool hasEnded(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    // "pid (name) state ...": the name may hold blanks and parentheses.
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) == "Z";
}

// Ends what the bus started (the engine, the hosts): it outlives the bus otherwise.
void stopServicesStartedBy(const QByteArray& busAddress) {
    const QList<pid_t> services = servicesStartedBy(busAddress);
    for (pid_t pid : services)
        ::kill(pid, SIGTERM);
    QDeadlineTimer deadline(10000);
    auto allEnded = [&] { return std::all_of(services.begin(), services.end(), hasEnded); };
    while (!allEnded() && !deadline.hasExpired())
        QThread::msleep(20);
    for (pid_t pid : services)
        if (!hasEnded(pid))
            ::kill(pid, SIGKILL);
}

}  // namespace

PrivateBus::~PrivateBus() {
    if (daemon_.state() == QProcess::NotRunning)
        return;
    if (!address_.isEmpty())
        stopServicesStartedBy(address_.toLocal8Bit());
    daemon_.terminate();
    if (!daemon_.waitForFinished(5000)) {
        daemon_.kill();
        daemon_.waitForFinished(5000);
    }
}

QString PrivateBus::stagedServices() {
    return qEnvironmentVariable("JUNKWARD_STAGE") + QStringLiteral("/share/dbus-1/services");
}

QString stagedProgram(const QString& name) {
    return qEnvironmentVariable("JUNKWARD_STAGE") + QStringLiteral("/bin/") + name;
}

QString testProgram(const QString& name) {
    return qEnvironmentVariable("JUNKWARD_TEST_BIN_DIR") + QLatin1Char('/') + name;
}

Program::Program(const QString& program, const QStringList& arguments) {
    process_.setProgram(program.contains(QLatin1Char('/')) ? program : stagedProgram(program));
    process_.setArguments(arguments);
    process_.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    process_.setProcessChannelMode(QProcess::SeparateChannels);
}

Program::~Program() { stop(); }

bool Program::start() {
    process_.start();
    return process_.waitForStarted(kDeadlineMs);
}

void Program::stop() {
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(kDeadlineMs)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

int Program::waitForExit(int timeoutMs) {
    if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(timeoutMs))
        return -1;
    return process_.exitCode();
}

QString Program::errorOutput() {
    stderr_ += process_.readAllStandardError();
    return QString::fromUtf8(stderr_);
}

bool Program::waitForError(const QString& text, int timeoutMs) {
    return waitUntil([&] { return errorOutput().contains(text); }, timeoutMs);
}

}  // namespace testsupport
