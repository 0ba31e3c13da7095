#pragma once

#include <QString>

// What the toast shows. A command's body changes only the keys it carries with the right JSON
// type; everything else carries over from the toast before.
class CustomToastBody
{
public:
    // Before any command sets it, a toast stays up this long.
    static constexpr int kDefaultTimeRemainMs = 3000;
    // The toast has room for a few lines; laying out megabytes would stall every repaint.
    static constexpr int kMaxMessageChars = 4096;

    QString message;
    int timeRemain = kDefaultTimeRemainMs; // milliseconds
    QString position;

    // A body that is not a JSON object changes nothing; nothing is logged.
    void LoadFromString(const QString& _qstrText);
};
