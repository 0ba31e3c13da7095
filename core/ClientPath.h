#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QString>

class QFile;

// A folder on a path that a client named, opened from the root one folder at a time, so that no
// other user of the machine can decide where the service's writes land. Each folder on the way
// must belong to the user or to root and be closed to writes by group and others, unless it is
// sticky (as /tmp is), where others cannot rename or remove what is not theirs; a link on the way
// is followed only when it belongs to the user or to root. Everything done afterwards goes
// through the folder's descriptor, never through the path again, so the folder checked is the
// folder written.
class ClientPath
{
public:
    ClientPath() = default;
    ~ClientPath();
    ClientPath(ClientPath&& _other) noexcept;
    ClientPath& operator=(ClientPath&& _other) noexcept;
    ClientPath(const ClientPath&) = delete;
    ClientPath& operator=(const ClientPath&) = delete;

    // The folder _qstrFolder itself; with _blCreate the missing folders are made (as mkdir -p
    // makes them, under the user's umask, but never open to others' writes).
    static ClientPath OpenFolder(const QString& _qstrFolder, bool _blCreate);
    // The deepest folder on the way to _qstrFolder that exists, checked as OpenFolder checks, and
    // nothing made: tells before any work starts whether OpenFolder(_qstrFolder, true) would be
    // refused on the part that is already there.
    static ClientPath OpenExisting(const QString& _qstrFolder);
    // The folder that holds _qstrFile. The file's own name (Name()) is not looked at: a link there
    // is the caller's to replace, never to write through.
    static ClientPath OpenParent(const QString& _qstrFile, bool _blCreate);

    // Opens for reading the regular file at _qstrFile, reached as OpenParent reaches its folder;
    // links of the user or root at the file's own name are followed the same way, others' never.
    // Its descriptor (the caller's to close), or the place and why it is refused.
    static Result<int> OpenFileForReading(const QString& _qstrFile);

    bool IsValid() const { return m_nHandle >= 0; }
    // The checked folder's descriptor, valid while this object lives.
    int Handle() const { return m_nHandle; }
    // Where the folder is, links on the way resolved.
    QString Path() const { return m_qstrPath; }
    // OpenParent's last name; empty for OpenFolder.
    QString Name() const { return m_qstrName; }
    // The folder where the walk stopped and why, for an error text: "/tmp/upd: other users may
    // write into it".
    QString Error() const { return m_qstrError; }
    // The path is still this very folder (the same device and inode), for work that reads a
    // folder by path later.
    bool IsStill(const QString& _qstrFolder) const;

    // A new file in the folder for Name(), under a fresh hidden name (_baTemp) made exclusively,
    // with the permission bits of the regular file at Name() when there is one, else _nMode under
    // the umask; _file is opened on it for unbuffered writing. False with Error() set.
    bool CreateTemp(QFile& _file, QByteArray& _baTemp, int _nMode);
    // Renames the temporary file onto Name(), replacing what is there (a link included) in one step.
    bool CommitTemp(const QByteArray& _baTemp);
    void RemoveTemp(const QByteArray& _baTemp) const;

private:
    static ClientPath Walked(const QString& _qstrFolder, bool _blCreate, bool _blStopAtMissing);

    int m_nHandle = -1;
    QString m_qstrPath;
    QString m_qstrName;
    QString m_qstrError;
};
