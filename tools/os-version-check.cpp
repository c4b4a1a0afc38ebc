// os-version-check RESOURCES TARGET-ROOT: warns, without stopping the
// installation, when the target system is newer than the certified one.
#include "tools/OSVersionCheck.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc >= 3)
        runVersionCheck(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
    return 0;
}
