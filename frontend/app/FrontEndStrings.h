#pragma once
// Texts of the front end's string tables. They come from the running program's
// bundle when it is the front end; a program that shows the front end's windows
// from elsewhere (the screenshot renderer) reads the installed front end's.

#include "frontend/kit/SWUIConstants.h"
#include "platform/Bundle.h"
#include "platform/Folders.h"

#include <QString>

namespace swui {

inline std::shared_ptr<platform::Bundle> frontEndBundle() {
    static const std::shared_ptr<platform::Bundle> bundle = [] {
        auto main = platform::Bundle::mainBundle();
        if (main->identifier() == QLatin1String(JKW5FrontEndBundleIdentifier))
            return main;
        const QString installed = platform::folders::junkwardSupport() + QStringLiteral("/Junkward X5.app");
        if (platform::folders::isFolder(installed))
            if (auto b = platform::Bundle::open(installed))
                return b;
        return main;
    }();
    return bundle;
}

inline QString frontEndString(const QString& key, const QString& fallback, const QString& table) {
    return frontEndBundle()->localizedString(key, fallback, table);
}

}  // namespace swui
