#include "snap/AbilitySnapTool.h"
#include "core/LogCategories.h"

#include "core/AbilityReply.h"
#include "core/Logger.h"
#include "core/MessageService.h"
#include "core/TaskRegistry.h"

#include <QDebug>

#include <memory>

const std::vector<AbilitySnapTool::Row> AbilitySnapTool::kCommands = {
    {"snap_shot_area", &AbilitySnapTool::DealSnapArea, ReplyKind::Single, {0}},
    {"snap_shot_fullscreen", &AbilitySnapTool::DealSnapFullScreen, ReplyKind::Single, {0}},
};

void AbilitySnapTool::DealSnapArea(const JsonCommand& _jsonCommand)
{
    StartSnap(_jsonCommand, false);
}

void AbilitySnapTool::DealSnapFullScreen(const JsonCommand& _jsonCommand)
{
    StartSnap(_jsonCommand, true);
}

void AbilitySnapTool::StartSnap(const JsonCommand& _jsonCommand, bool _blFullScreen)
{
    // Listed as running until its answer is sent (the callback goes with it).
    auto task =
        std::make_shared<TaskRegistry::Handle>(_jsonCommand.guid, _jsonCommand.command, _jsonCommand.from);
    m_snapScreenTool.StartSnap(
        _blFullScreen, [_jsonCommand, task](bool _blSuccess, const QString& _a, const QByteArray& _b) {
            OnSnapFinished(_jsonCommand, _blSuccess, _a, _b);
        });
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

void AbilitySnapTool::OnSnapFinished(const JsonCommand& _request, bool _blSuccess, const QString& _qstrFirst,
                                     const QByteArray& _baImage)
{
    // The image runs to megabytes; the log keeps its head.
    if (Logger::IsWritten(QtDebugMsg))
        qCDebug(lcSnap) << "snap:bSucc:" << _blSuccess << " filepath:" << _qstrFirst
                        << " base64:" << _baImage.left(Logger::kLogClipBytes);
    if (_blSuccess) {
        // Written once, straight into its wire form: the hub relays these bytes as they are.
        const JsonCommand reply = AbilityReply::Build(_request, 0, QString(), QString());
        MessageService::Instance().Post(reply,
                                        reply.ToStringWithData(AnswerBody(true, _qstrFirst, _baImage)));
    } else if (_qstrFirst == SnapScreenTool::kBusy) {
        AbilityReply::Send(_request, Envelope::kAbilityNotDealt, _qstrFirst);
    } else {
        AbilityReply::Send(_request, kSnapFailed, _qstrFirst,
                           QString::fromLatin1(AnswerBody(false, QString(), QByteArray())));
    }
}
