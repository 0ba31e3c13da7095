#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "snap/SnapScreenTool.h"

// Screenshots of the primary screen, whole or of a rectangle the user chooses. The answer's data
// is {"bSucc", "filePath" (Base64 of the path), "imgBase64" (Base64 of the PNG)}.
class AbilitySnapTool : public AbilityTable<AbilitySnapTool>
{
public:
    AbilitySnapTool() : AbilityTable(kCommands) {}

    // Error code of every failed capture (100 is a failure here, unlike in other abilities).
    static constexpr qint64 kSnapFailed = 100;

    // Builds the answer body: {"bSucc":..,"filePath":..,"imgBase64":..}.
    static QByteArray AnswerBody(bool _blSuccess, const QString& _qstrFilePath, const QByteArray& _baImage);
    SnapScreenTool& Overlay() { return m_snapScreenTool; }

private:
    void DealSnapArea(const JsonCommand& _jsonCommand);
    void DealSnapFullScreen(const JsonCommand& _jsonCommand);
    void StartSnap(const JsonCommand& _jsonCommand, bool _blFullScreen);
    static void OnSnapFinished(const JsonCommand& _request, bool _blSuccess, const QString& _qstrFirst,
                               const QByteArray& _baImage);

    static const std::vector<Row> kCommands;

    SnapScreenTool m_snapScreenTool;
};
