#pragma once

#include <QByteArray>
#include <QString>

// Keeps screenshots, which hold whatever the user's screen showed, in a folder only the user can
// enter: "snap_screen_tool" in the temporary folder when that is the user's own, else (another
// user planted that name) the same name in the service's private runtime or cache folder. Each
// file is readable by the user alone, and the oldest are deleted once the folder holds more than
// the configured bound.
class SnapFileStore
{
public:
    struct Result
    {
        bool ok = false;
        QString path;  // the written file on success
        QString error; // why nothing was written
    };

    // The shared temporary folder's screenshot folder, whether it is used or not.
    static QString SharedFolder();
    // Writes the bytes to a new file named by a fresh braced UUID with the ".png" suffix, then
    // deletes the oldest screenshots until the folder holds at most _nKeepBytes (never the new one).
    static Result Save(const QByteArray& _baPng, qint64 _nKeepBytes);
};
