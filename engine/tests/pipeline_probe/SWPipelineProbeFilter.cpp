// A filter plug-in for the pipeline tests only (installed nowhere). Its verdict
// is the number in the header "X-Probe-<identifier>" of the message (undecided
// without it); every automatic-training call is appended to the file
// "probe-<identifier>.log" in the user Library, and answers NO when the message
// carries "X-Probe-Train-Fails". Loading it switches automatic training on.

#include "engine/SWPlugInFilter.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SAString.h"
#include "platform/ClassRegistry.h"
#include "platform/Folders.h"
#include "platform/NotificationCenter.h"

#include <QFile>

namespace {

std::optional<QByteArray> header(SAMIMEPart* message, const QByteArray& name) {
    if (!message)
        return std::nullopt;
    SAString key(name.constData());
    SAString* value = message->headerValueForKey(&key);
    if (!value || !value->cString())
        return std::nullopt;
    return QByteArray(value->cString(), static_cast<qsizetype>(value->length())).trimmed();
}

}  // namespace

class SWPipelineProbeFilter : public SWPlugInFilter {
public:
    // Switches the engine's automatic training on, as the Bayesian plug-in does
    // when its setting asks for it.
    SWPlugInFilter* initializeWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier) override {
        SWPlugInFilter* filter = SWPlugInFilter::initializeWithBundle(std::move(bundle), identifier);
        platform::LocalNotificationCenter::defaultCenter().post("Automatically Learn", QVariant(true));
        return filter;
    }

    qint32 filter(SAMIMEPart* message) override {
        const auto verdict = header(message, "X-Probe-" + identifier().toUtf8());
        bool ok = false;
        const int value = verdict ? verdict->toInt(&ok) : 0;
        return ok ? value : SWFilterStatusUndecided;
    }

    bool automaticallyTrainWithMessage(SAMIMEPart* message, const QString& messageID, qint32 engineStatus) override {
        QFile file(platform::folders::userLibrary() + "/probe-" + identifier() + ".log");
        if (file.open(QIODevice::Append)) {
            const QString id = messageID.isEmpty() ? QStringLiteral("(none)") : messageID;
            file.write(QStringLiteral("%1 %2\n").arg(id).arg(engineStatus).toUtf8());
        }
        return !header(message, "X-Probe-Train-Fails");
    }
};

JUNKWARD_REGISTER_CLASS(SWPipelineProbeFilter, SWPlugInFilter)
