#pragma once
// A private session bus for one test process: tests running side by side would
// otherwise see each other's maintenance notifications and engine bus names.

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <memory>

class PrivateBus {
public:
    // Starts dbus-daemon and points DBUS_SESSION_BUS_ADDRESS at it; call before
    // anything connects to the bus. False when no daemon could be started.
    bool start() {
        daemon_ = std::make_unique<QProcess>();
        daemon_->start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"});
        if (!daemon_->waitForStarted(5000))
            return false;
        QByteArray address;
        while (!address.contains('\n') && daemon_->waitForReadyRead(5000))
            address += daemon_->readAllStandardOutput();
        address = address.trimmed();
        if (address.isEmpty())
            return false;
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        return true;
    }
    ~PrivateBus() {
        if (daemon_) {
            daemon_->terminate();
            if (!daemon_->waitForFinished(3000))
                daemon_->kill();
        }
    }

private:
    std::unique_ptr<QProcess> daemon_;
};
