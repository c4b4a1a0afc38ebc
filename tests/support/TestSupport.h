#pragma once
// Shared pieces of every module's tests (static library junkward_test_support;
// link it and include "tests/support/TestSupport.h"):
//   application()            the QCoreApplication of a test process
//   kDeadlineMs, waitUntil() wait for an event (a file, a port, a bus name, a log
//                            line) with one generous deadline, so a loaded machine
//                            or a sanitizer build only makes a test slower
//   spinFor()                run the event loop a while, for "nothing happens" checks
//   waitForPort()            connect to a message port once its server opened it
//   ShortTempDir             a folder under /tmp short enough for socket paths
//   PrivateBus               a private dbus-daemon for one test process
//   stagedProgram(), testProgram()   paths of built programs
//   Program                  a staged program whose standard error is watched
// Beside it: ParsedMessage.h (a message parsed by the MIME library, no Qt) and
// ProgressService.h (this process standing in for the task-progress service).

#include <QByteArray>
#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace platform {
class RemoteMessagePort;
}

namespace testsupport {

// How long a test waits for something that must happen. Waits end as soon as
// the event is seen, so only a failing test pays for the length.
inline constexpr int kDeadlineMs = 60000;

// The application object of this process, made on first use.
QCoreApplication& application();

// Runs the event loop until done() holds or the deadline passes; the final done().
bool waitUntil(const std::function<bool()>& done, int timeoutMs = kDeadlineMs);

// Runs the event loop for ms milliseconds.
void spinFor(int ms);

// Connects to the message port name once a process has opened it; null when it
// did not within the deadline.
std::unique_ptr<platform::RemoteMessagePort> waitForPort(const QString& name, int timeoutMs = kDeadlineMs);

// A folder under /tmp, removed with everything in it at the end.
class ShortTempDir {
public:
    ShortTempDir();
    ~ShortTempDir();
    ShortTempDir(const ShortTempDir&) = delete;
    ShortTempDir& operator=(const ShortTempDir&) = delete;
    bool isValid() const { return !path_.isEmpty(); }
    const QString& path() const { return path_; }

private:
    QString path_;
};

// A private session-type dbus-daemon. It listens in a folder of its own, takes
// the size limits of a desktop session bus (large messages pass), lets anyone
// own any name and eavesdrop, and dies with this process however it ends.
// The services it started are stopped with it.
class PrivateBus {
public:
    enum class Address { Export, Keep };
    // serviceDir: where activatable services are found (none when empty).
    // Address::Export points DBUS_SESSION_BUS_ADDRESS at the bus; do it before
    // anything in this process first talks to the session bus.
    explicit PrivateBus(const QString& serviceDir = {}, Address address = Address::Export);
    // A system-type bus whose configuration is `rules` (its <policy> and
    // <include> elements) instead of the open session policy;
    // DBUS_SYSTEM_BUS_ADDRESS points at it.
    struct System {
        QByteArray rules;
    };
    explicit PrivateBus(const System& system);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ready() const { return !address_.isEmpty(); }
    const QString& address() const { return address_; }

    // The staged service files: the engine and the hosts start by activation.
    static QString stagedServices();

private:
    void start(const QByteArray& type, const QByteArray& rules);

    ShortTempDir folder_;
    QProcess daemon_;
    QString address_;
};

// A program of the stage (build/stage/bin/<name>).
QString stagedProgram(const QString& name);
// A program built for the tests (build/tests/<name>).
QString testProgram(const QString& name);

// A program running in this process's environment; its standard error is
// collected. Stopped with SIGTERM (then SIGKILL) when destroyed.
class Program {
public:
    // A bare name is a staged program; a path is run as it is.
    explicit Program(const QString& program, const QStringList& arguments = {});
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool start();
    void stop();
    bool running() const { return process_.state() == QProcess::Running; }
    // Waits for the program to end; its exit code, or -1 when it is still running.
    int waitForExit(int timeoutMs = kDeadlineMs);
    // Standard error so far.
    QString errorOutput();
    // Waits until standard error holds text.
    bool waitForError(const QString& text, int timeoutMs = kDeadlineMs);
    QProcess& process() { return process_; }

private:
    QProcess process_;
    QByteArray stderr_;
};

}  // namespace testsupport
