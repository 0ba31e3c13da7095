// File-system primitives of the replace on Windows: a rename over an existing name through the
// file's handle (FileRenameInformation, POSIX semantics where the system has them), a second name
// with CreateHardLinkW (a reparse point gets one itself), the access list set on the file itself
// (not inherited) for "permission bits", and the forced second deletion through the file's handle
// with its read-only attribute ignored (no separate process: the handle does what `rm -f` does).
#include "install/ReplaceHelper.h"
#include "core/LogCategories.h"

#include "core/WinFile.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace {

// The path as NtSetInformationFile takes a whole one.
std::wstring NtPath(const QString& _qstrPath)
{
    const QString native = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(_qstrPath).absoluteFilePath()));
    if (native.startsWith(QLatin1String("\\\\")))
        return (QStringLiteral("\\??\\UNC\\") + native.mid(2)).toStdWString();
    return (QStringLiteral("\\??\\") + native).toStdWString();
}

} // namespace

bool ReplaceHelper::RenameOver(const QString& _qstrFrom, const QString& _qstrTo)
{
    const WinHandle from(WinFile::OpenPath(_qstrFrom, DELETE | FILE_READ_ATTRIBUTES));
    if (from.valid() && WinFile::NameHandle(from.get(), nullptr, NtPath(_qstrTo), true))
        return true;
    return ::MoveFileExW(WinFile::NativePath(QFileInfo(_qstrFrom).absoluteFilePath()).c_str(),
                         WinFile::NativePath(QFileInfo(_qstrTo).absoluteFilePath()).c_str(),
                         MOVEFILE_REPLACE_EXISTING) != 0;
}

bool ReplaceHelper::LinkFile(const QString& _qstrExisting, const QString& _qstrNewName)
{
    const WinHandle entry(WinFile::OpenPath(_qstrExisting, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES));
    return entry.valid() && !WinFile::InfoOf(entry.get()).IsFolder() &&
           WinFile::NameHandle(entry.get(), nullptr, NtPath(_qstrNewName), false, WinFile::kLinkInformation);
}

bool ReplaceHelper::CopyMode(int _nFrom, int _nTo)
{
    return WinFile::CopyOwnDacl(WinFile::OfFd(_nFrom), WinFile::OfFd(_nTo));
}

bool ReplaceHelper::ForceRemoveFile(const QString& _qstrPath)
{
    const WinHandle entry(
        WinFile::OpenPath(_qstrPath, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES));
    if (!entry.valid() || WinFile::InfoOf(entry.get()).IsFolder() || !WinFile::DeleteHandle(entry.get())) {
        const DWORD error = ::GetLastError();
        qCWarning(lcInstall) << "delete failed:code:" << error << _qstrPath;
        qCWarning(lcInstall).noquote() << "error info:" + WinFile::ErrorText(error);
        return false;
    }
    return true;
}
