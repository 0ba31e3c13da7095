#include "snap/AbilitySnapTool.h"
#include "core/LogCategories.h"

#include "core/Logger.h"
#include "core/MessageService.h"

#include <QDebug>
#include <QPointer>

#include <memory>

namespace {

// One capture request, from its start until the capture answers it.
class CaptureTask : public Task
{
public:
    CaptureTask(ScreenCapture& _capture, bool _blFullScreen)
        : m_capture(_capture), m_blFullScreen(_blFullScreen)
    {
    }

    void start() override
    {
        QPointer<CaptureTask> self(this);
        m_capture.Start(m_blFullScreen, [self](const CaptureResult& _result) {
            if (self)
                self->Finish(AbilitySnapTool::Answer(_result));
        });
    }
    // A capture has no stop command; ended otherwise, it leaves its answer to nobody.
    void requestStop() override
    {
        MarkStopRequested();
        Finish(TaskResult());
    }

private:
    ScreenCapture& m_capture;
    const bool m_blFullScreen;
};

} // namespace

const std::vector<AbilitySnapTool::Row> AbilitySnapTool::kCommands = {
    {"snap_shot_area", &AbilitySnapTool::DealSnapArea, ReplyKind::Single, {0}},
    {"snap_shot_fullscreen", &AbilitySnapTool::DealSnapFullScreen, ReplyKind::Single, {0}},
};

AbilitySnapTool::AbilitySnapTool(MessageService& _hub)
    : AbilityTable(kCommands), m_capture([&_hub] { return _hub.UnsentBytes(); })
{
}

Handled AbilitySnapTool::StartSnap(const JsonCommand& _jsonCommand, bool _blFullScreen)
{
    // One answer per guid: a request reusing the guid of one still running is not taken.
    if (Tasks().Contains(_jsonCommand.guid))
        return Handled::Refused(Envelope::kAbilityNotDealt,
                                Envelope::CoreErrorText(Envelope::kAbilityNotDealt));
    return Handled::Started(std::make_unique<CaptureTask>(m_capture, _blFullScreen));
}

QByteArray AbilitySnapTool::AnswerBody(bool _blSuccess, const QString& _qstrFilePath,
                                       const QByteArray& _baImage)
{
    // Both texts are Base64 (nothing to escape) and the image runs to megabytes: written
    // directly, in the key order of a JSON object.
    const QByteArray path = _qstrFilePath.toLatin1();
    QByteArray body;
    body.reserve(48 + path.size() + _baImage.size());
    body.append("{\"bSucc\":").append(_blSuccess ? "true" : "false");
    body.append(",\"filePath\":\"").append(path);
    body.append("\",\"imgBase64\":\"").append(_baImage).append("\"}");
    return body;
}

TaskResult AbilitySnapTool::Answer(const CaptureResult& _result)
{
    const bool taken = _result.kind == CaptureResult::Kind::Taken;
    // The image runs to megabytes; the log keeps its head.
    if (Logger::IsWritten(QtDebugMsg))
        qCDebug(lcSnap) << "snap:bSucc:" << taken
                        << " filepath:" << (taken ? _result.pathBase64 : _result.reason)
                        << " base64:" << _result.imageBase64.left(Logger::kLogClipBytes);
    switch (_result.kind) {
    case CaptureResult::Kind::Taken:
        // Written once, straight into its wire form: the hub relays these bytes as they are.
        return TaskResult{0, QString(), QString(), AnswerBody(true, _result.pathBase64, _result.imageBase64)};
    case CaptureResult::Kind::Refused:
        return TaskResult{
            Envelope::kAbilityNotDealt, Envelope::CoreErrorText(Envelope::kAbilityNotDealt), QString(), {}};
    case CaptureResult::Kind::Failed:
        break;
    }
    return TaskResult{
        kSnapFailed, _result.reason, QString::fromLatin1(AnswerBody(false, QString(), QByteArray())), {}};
}
