// user-cleanup: removes Junkward's files from the home folder of every local
// account. Takes no arguments, prints nothing, exits with 0.
#include "tools/UserCleanup.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return runUserCleanup();
}
