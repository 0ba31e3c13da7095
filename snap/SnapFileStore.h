#pragma once

#include <QByteArray>
#include <QString>

// Keeps screenshots in the "snap_screen_tool" folder under the temporary location. Screenshots
// hold whatever the user's screen showed, so the folder is private to the user (0700) and each
// file readable by the user alone (0600); a folder that is a link or belongs to someone else is
// never written into.
class SnapFileStore
{
public:
    struct Result
    {
        bool ok = false;
        QString path;  // the written file on success
        QString error; // why nothing was written
    };

    static QString Folder();
    // Writes the bytes to a new file named by a fresh braced UUID with the ".png" suffix.
    static Result Save(const QByteArray& _baPng);
};
