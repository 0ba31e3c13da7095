#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "snap/CaptureResult.h"
#include "snap/ScreenCapture.h"

class MessageService;

// Screenshots of the primary screen, whole or of a rectangle the user chooses. The answer's data
// is {"bSucc", "filePath" (Base64 of the path), "imgBase64" (Base64 of the PNG)}. Each capture
// is a task in the ability's table until it is answered.
class AbilitySnapTool : public AbilityTable<AbilitySnapTool>
{
public:
    // _hub: how much the transports still hold for clients paces the answers of a shared grab.
    explicit AbilitySnapTool(MessageService& _hub);

    // Error code of every failed capture (100 is a failure here, unlike in other abilities).
    static constexpr qint64 kSnapFailed = 100;

    // Builds the answer body: {"bSucc":..,"filePath":..,"imgBase64":..}.
    static QByteArray AnswerBody(bool _blSuccess, const QString& _qstrFilePath, const QByteArray& _baImage);
    // The answer to a capture that ended so.
    static TaskResult Answer(const CaptureResult& _result);
    ScreenCapture& Capture() { return m_capture; }

private:
    Handled DealSnapArea(const JsonCommand& _jsonCommand) { return StartSnap(_jsonCommand, false); }
    Handled DealSnapFullScreen(const JsonCommand& _jsonCommand) { return StartSnap(_jsonCommand, true); }
    Handled StartSnap(const JsonCommand& _jsonCommand, bool _blFullScreen);

    static const std::vector<Row> kCommands;

    ScreenCapture m_capture;
};
