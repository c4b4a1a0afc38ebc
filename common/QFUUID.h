#pragma once
// A universally unique identifier with its textual form, for log records and
// progress messages.

#include <QString>
#include <QUuid>

class QFUUID {
public:
    // A new, random identifier.
    QFUUID();
    static QFUUID UUID();

    // The 36-character form (8-4-4-4-12 hexadecimal groups), in lower case.
    QString stringValue() const;

private:
    QUuid reference_;
};
