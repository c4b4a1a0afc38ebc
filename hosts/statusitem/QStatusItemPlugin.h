#pragma once
// Base class of the plug-ins of the status-item host (junkward-statusitem).
//
// The host opens each status-item bundle, loads its code, creates the class its
// NSPrincipalClass names (registered for the base "QStatusItemPlugin"), calls
// initWithBundle() and startPlugin(), and shows statusMenu() as the menu of a
// tray icon drawn with statusIcon(). stopPlugin() is called before the host quits.

#include <QIcon>
#include <QObject>
#include <QString>

#include <memory>

class QMenu;

namespace platform {
class Bundle;
}

class QStatusItemPlugin : public QObject {
    Q_OBJECT
public:
    QStatusItemPlugin();
    ~QStatusItemPlugin() override;

    // Takes the plug-in's bundle; false when the plug-in cannot run (the host
    // then drops it).
    virtual bool initWithBundle(std::shared_ptr<platform::Bundle> bundle);
    virtual bool startPlugin();
    virtual bool stopPlugin();

    // The menu the status item shows; owned by the plug-in.
    virtual QMenu* statusMenu() const = 0;
    // The status item's icon and its tool tip.
    virtual QIcon statusIcon() const = 0;
    virtual QString statusToolTip() const { return _title; }

    std::shared_ptr<platform::Bundle> bundle() const { return _bundle; }
    QString title() const { return _title; }
    QString version() const { return _version; }

signals:
    // The icon or the tool tip changed.
    void statusIconChanged();

protected:
    std::shared_ptr<platform::Bundle> _bundle;
    QString _title;
    QString _version;
};
