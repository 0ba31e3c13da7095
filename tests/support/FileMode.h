#pragma once

// The permission bits of a file as POSIX keeps them, for the tests that check them; apart from
// TestFiles.h, which Windows builds use too.

#include <QFile>
#include <QString>

#include <sys/stat.h>

// Permission bits of the entry itself (a link is not followed); 0 when there is none.
inline uint FileMode(const QString& _qstrPath)
{
    struct stat st;
    return ::lstat(QFile::encodeName(_qstrPath).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}
