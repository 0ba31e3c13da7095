#include "snap/AbilitySnapTool.h"

#include "core/AbilityReply.h"
#include "core/CommandTable.h"
#include "core/Logger.h"

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
    m_snapScreenTool.StartSnap(false, [_jsonCommand](bool _blSuccess, const QString& _a, const QString& _b) {
        OnSnapFinished(_jsonCommand, _blSuccess, _a, _b);
    });
}

void AbilitySnapTool::DealSnapFullScreen(const JsonCommand& _jsonCommand)
{
    m_snapScreenTool.StartSnap(true, [_jsonCommand](bool _blSuccess, const QString& _a, const QString& _b) {
        OnSnapFinished(_jsonCommand, _blSuccess, _a, _b);
    });
}

QString AbilitySnapTool::AnswerBody(bool _blSuccess, const QString& _qstrFilePath, const QString& _qstrImage)
{
    // Both texts are Base64 (nothing to escape) and the image runs to megabytes: written
    // directly, in the key order of a JSON object.
    return QStringLiteral("{\"bSucc\":%1,\"filePath\":\"%2\",\"imgBase64\":\"%3\"}")
        .arg(_blSuccess ? QLatin1String("true") : QLatin1String("false"), _qstrFilePath, _qstrImage);
}

void AbilitySnapTool::OnSnapFinished(const JsonCommand& _request, bool _blSuccess, const QString& _qstrFirst,
                                     const QString& _qstrSecond)
{
    // The image runs to megabytes; the log keeps its head.
    if (Logger::IsWritten(QtDebugMsg))
        qDebug() << "snap:bSucc:" << _blSuccess << " filepath:" << _qstrFirst
                 << " base64:" << _qstrSecond.left(Logger::kLogClipBytes);
    if (_blSuccess)
        AbilityReply::Send(_request, 0, QString(), AnswerBody(true, _qstrFirst, _qstrSecond));
    else
        AbilityReply::Send(_request, kSnapFailed, _qstrFirst, AnswerBody(false, QString(), QString()));
}
