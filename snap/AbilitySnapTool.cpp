#include "snap/AbilitySnapTool.h"

#include "core/AbilityReply.h"
#include "core/CommandTable.h"
#include "core/Logger.h"
#include "core/MessageService.h"

#include <QDebug>

const AbilitySnapTool::CommandEntry AbilitySnapTool::kCommands[] = {
    {"snap_shot_area", &AbilitySnapTool::DealSnapArea},
    {"snap_shot_fullscreen", &AbilitySnapTool::DealSnapFullScreen},
};

std::vector<QString> AbilitySnapTool::GetAbilities()
{
    return CommandTable::Names(kCommands);
}

bool AbilitySnapTool::DealCommand(const JsonCommand& _jsonCommand)
{
    const CommandEntry* entry = CommandTable::Find(kCommands, _jsonCommand);
    if (!entry)
        return false;
    (this->*entry->handler)(_jsonCommand);
    return true;
}

void AbilitySnapTool::DealSnapArea(const JsonCommand& _jsonCommand)
{
    m_snapScreenTool.StartSnap(false,
                               [_jsonCommand](bool _blSuccess, const QString& _a, const QByteArray& _b) {
                                   OnSnapFinished(_jsonCommand, _blSuccess, _a, _b);
                               });
}

void AbilitySnapTool::DealSnapFullScreen(const JsonCommand& _jsonCommand)
{
    m_snapScreenTool.StartSnap(true,
                               [_jsonCommand](bool _blSuccess, const QString& _a, const QByteArray& _b) {
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
        qDebug() << "snap:bSucc:" << _blSuccess << " filepath:" << _qstrFirst
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
