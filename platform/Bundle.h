#pragma once
// Bundles: a folder "<Name>.app|.bundle|.mailbundle/Contents" holding Info.plist,
// MacOS/<CFBundleExecutable> (an ELF program or shared object) and Resources/
// with "<Language>.lproj/<Table>.strings" string tables (UTF-8).

#include <QString>
#include <QVariantMap>
#include <memory>

namespace platform {

class Bundle {
public:
    // Opens the bundle at path; nullptr (with one console line) when the folder
    // is missing or is not a bundle (no Contents/Info.plist dictionary).
    static std::shared_ptr<Bundle> open(const QString& path);
    // The bundle the running program lives in; when the program is not inside a
    // bundle, a bundle-like object rooted at the program's folder with an empty
    // information dictionary.
    static std::shared_ptr<Bundle> mainBundle();

    QString path() const;            // the bundle folder
    QString contentsPath() const;    // <path>/Contents
    QString resourcePath() const;    // <path>/Contents/Resources
    QString executablePath() const;  // Contents/MacOS/<CFBundleExecutable>, empty if none
    const QVariantMap& infoDictionary() const;
    QString identifier() const;  // CFBundleIdentifier
    QString version() const;     // CFBundleVersion, else CFBundleShortVersionString
    QVariant objectForInfoKey(const QString& key) const;

    // Path of a resource "name.type" in Resources (then English.lproj); empty when missing.
    QString pathForResource(const QString& name, const QString& type) const;
    // Value of key in Resources/English.lproj/<table>.strings; fallback when absent.
    QString localizedString(const QString& key, const QString& fallback, const QString& table = "Localizable") const;

    // dlopens the executable once (RTLD_NOW | RTLD_GLOBAL); false with one console
    // line when it does not load. Classes it registers land in ClassRegistry.
    bool load();
    bool isLoaded() const;
    // The class named by NSPrincipalClass, after load(); empty when unknown.
    QString principalClass() const;

private:
    Bundle() = default;
    struct Private;
    std::shared_ptr<Private> d;
};

// Parses the "key" = "value"; syntax of a .strings file (comments, escapes \" \\ \n \t \U1234).
// Malformed input yields the pairs read before the fault.
QVariantMap parseStringsTable(const QByteArray& utf8);

}  // namespace platform
