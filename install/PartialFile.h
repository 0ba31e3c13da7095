#pragma once

#include "core/ClientPath.h"
#include "core/Result.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>

// The file a download writes: a temporary file beside the target, made and renamed through the
// target's folder opened as ClientPath checks it, so the file committed is the file written and
// hashed, an existing target stays untouched until the transfer has succeeded, and a failed or
// stopped download leaves nothing behind.
class PartialFile
{
public:
    PartialFile() = default;
    // Discards a file not committed.
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    // Checks (and makes) the folder of _qstrTarget; fails with ClientPath's reason.
    Result<> OpenFolder(const QString& _qstrTarget);
    // A new temporary file in the target's folder; false when the target is a folder or not
    // writable, or the file cannot be created.
    bool Open();
    bool IsOpen() const { return m_pFile != nullptr; }
    // Bytes in the file.
    qint64 Size() const { return m_nSize; }
    // Appends _baData; the bytes written, as QFile::write gives them (counted only when all were).
    qint64 Write(const QByteArray& _baData);
    // Empties the file for a transfer that starts over from byte 0.
    bool Restart();
    // Moves the complete file onto the target.
    bool Commit();
    // Drops the unfinished file; the target stays as it was.
    void Discard();
    QString ErrorString() const;

private:
    ClientPath m_parent;
    std::unique_ptr<QFile> m_pFile;
    // Its name in the target's checked folder.
    QByteArray m_baTemp;
    qint64 m_nSize = 0;
};
