#include "common/QFUUID.h"

QFUUID::QFUUID() : reference_(QUuid::createUuid()) {}

QFUUID QFUUID::UUID() { return QFUUID(); }

QString QFUUID::stringValue() const { return reference_.toString(QUuid::WithoutBraces).toLower(); }
