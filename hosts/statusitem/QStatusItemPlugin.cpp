#include "hosts/statusitem/QStatusItemPlugin.h"

#include "platform/Bundle.h"

QStatusItemPlugin::QStatusItemPlugin() = default;
QStatusItemPlugin::~QStatusItemPlugin() = default;

bool QStatusItemPlugin::initWithBundle(std::shared_ptr<platform::Bundle> bundle) {
    _bundle = std::move(bundle);
    return true;
}

bool QStatusItemPlugin::startPlugin() { return true; }
bool QStatusItemPlugin::stopPlugin() { return true; }
