// Replaces the target with rename(2): one step on one file system, an existing file included
// (MoveFileExW with MOVEFILE_REPLACE_EXISTING stands in for it on Windows).
#include "install/Downloader.h"

#include <cstdio>

bool Downloader::ReplaceFile(const QString& _qstrFrom, const QString& _qstrTo)
{
    return std::rename(QFile::encodeName(_qstrFrom).constData(), QFile::encodeName(_qstrTo).constData()) == 0;
}
