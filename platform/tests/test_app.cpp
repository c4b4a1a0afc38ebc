// An application inside a bundle: prints what it learns of its main bundle.
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"

#include <cstdio>

int main() {
    const auto main = platform::Bundle::mainBundle();
    const QString lines[] = {
        main->path(),
        main->identifier(),
        main->version(),
        main->executablePath(),
        main->localizedString(QStringLiteral("Title"), QStringLiteral("no title")),
        platform::UserDefaults::standard().identifier(),
        main->isLoaded() ? QStringLiteral("loaded") : QStringLiteral("not loaded"),
    };
    for (const QString& l : lines)
        std::printf("%s\n", l.toUtf8().constData());
    return 0;
}
