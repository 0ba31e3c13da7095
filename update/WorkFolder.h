#pragma once

#include <QString>

// A folder the update toolbox writes into (the unzip or the backup folder), which may be a path a
// client chose. What the toolbox may do with it depends on whose it is, as found before the run
// touches anything: a folder this service made (now or in an earlier run) may be emptied and
// removed; an empty folder of the user's is used and only emptied again afterwards; a user's
// folder with something in it, or a folder of another user, is never emptied or removed. The
// folder is named by its identity (device, inode, birth time) as well as its path, and every
// later step checks that the path still leads to that very folder.
class WorkFolder
{
public:
    enum class Kind { Missing, Empty, Owned, Foreign, NotFolder };

    WorkFolder() = default;
    explicit WorkFolder(const QString& _qstrPath);

    QString Path() const { return m_qstrPath; }
    Kind GetKind() const { return m_kind; }
    // The run may empty it before use.
    bool MayEmpty() const
    {
        return m_kind == Kind::Missing || m_kind == Kind::Empty || m_kind == Kind::Owned;
    }

    // Makes the folder exist and be empty, recording it as the service's own when it makes it;
    // false for a folder it may not empty or cannot make, or that is no longer the one checked.
    // A missing folder is made only below folders closed to other users' writes (see ClientPath).
    bool Prepare();
    // Right before files go in: still the folder prepared, and still empty (nobody slipped a
    // file in since).
    bool IsStillEmpty() const;
    // After the run: a folder of the service goes (moved aside at once, deleted in the background),
    // a user's empty folder is emptied again in the background, anything else stays.
    void CleanUp() const;

private:
    QString m_qstrPath;
    QString m_qstrIdentity;
    Kind m_kind = Kind::Foreign;
    bool m_blMade = false;
};
