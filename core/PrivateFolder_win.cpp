// Private folders made with NtCreateFile below their parent's handle (FILE_OPEN_IF,
// FILE_OPEN_REPARSE_POINT, a reparse point opened itself and refused) under an owner-only
// security descriptor (SDDL D:P(A;OICI;FA;;;<user SID>)); each is checked through its handle
// (GetSecurityInfo: the owner is the user, nobody else may write, see HandleTrust) and closed to
// others when they may still read it. Files inside with NtCreateFile below the folder's handle,
// new ones FILE_CREATE under a temporary name, then renamed relative to that handle.
#include "core/PrivateFolder.h"

#include "core/WinFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>

namespace {

QString ErrorText(const QString& _qstrWhat)
{
    return _qstrWhat + QStringLiteral(": ") + WinFile::ErrorText(::GetLastError());
}

PSECURITY_DESCRIPTOR OwnerOnly()
{
    static PSECURITY_DESCRIPTOR s_descriptor = WinFile::Descriptor(WinFile::OwnerOnlySddl());
    return s_descriptor;
}

// Shuts out everyone but the user where others may still read or enter.
bool CloseToOthers(HANDLE _handle, const HandleTrust::Facts& _facts)
{
    return _facts.othersRights == 0 || WinFile::SetProtectedDacl(_handle, OwnerOnly());
}

// The part opened below _hParent, or why it is refused.
Result<WinHandle> OpenPart(HANDLE _hParent, const QString& _qstrName)
{
    using Opened = Result<WinHandle>;
    WinHandle folder(WinFile::OpenBelow(_hParent, _qstrName.toStdWString(),
                                        WinFile::kFolderAccess | WRITE_DAC, FILE_OPEN_IF, FILE_DIRECTORY_FILE,
                                        OwnerOnly()));
    if (!folder.valid())
        return Opened::Failure(::GetLastError() == ERROR_DIRECTORY
                                   ? QStringLiteral("it is a link or no folder")
                                   : ErrorText(QStringLiteral("cannot open the folder")));
    HandleTrust::Facts facts;
    if (!WinFile::FactsOf(folder.get(), facts))
        return Opened::Failure(ErrorText(QStringLiteral("cannot look at the folder")));
    const QString refusal = HandleTrust::PrivateFolderRefusal(facts);
    if (!refusal.isEmpty())
        return Opened::Failure(refusal);
    // Ours and unwritable by others, made by an older version or by another program.
    if (!CloseToOthers(folder.get(), facts))
        return Opened::Failure(ErrorText(QStringLiteral("cannot close it to other users")));
    return Opened(std::move(folder));
}

bool WriteAll(HANDLE _handle, const QByteArray& _baData)
{
    const char* p = _baData.constData();
    qint64 left = _baData.size();
    while (left > 0) {
        DWORD put = 0;
        if (!::WriteFile(_handle, p, static_cast<DWORD>(qMin<qint64>(left, 1 << 30)), &put, nullptr) ||
            put == 0)
            return false;
        p += put;
        left -= put;
    }
    return true;
}

} // namespace

PrivateFolder PrivateFolder::Open(const QString& _qstrBase, const QStringList& _listParts)
{
    PrivateFolder folder;
    folder.m_qstrPath = QDir::cleanPath(_qstrBase);
    if (!QDir::isAbsolutePath(_qstrBase)) {
        folder.m_qstrError = QStringLiteral("no absolute base folder: ") + _qstrBase;
        return folder;
    }
    if (!QDir(_qstrBase).exists())
        QDir().mkpath(_qstrBase);
    // The base may be shared and reached through links; only what is below it must be private.
    WinHandle handle(WinFile::OpenPath(folder.m_qstrPath, WinFile::kFolderAccess, true));
    if (!handle.valid())
        folder.m_qstrError = ErrorText(QStringLiteral("cannot open ") + _qstrBase);
    for (const QString& part : _listParts) {
        if (!handle.valid())
            break;
        folder.m_qstrPath += QLatin1Char('/') + part;
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..") ||
            part.contains(QLatin1Char('/')) || part.contains(QLatin1Char('\\')) ||
            part.contains(QLatin1Char(':'))) {
            folder.m_qstrError = QStringLiteral("not a plain folder name");
            handle.reset();
            break;
        }
        Result<WinHandle> opened = OpenPart(handle.get(), part);
        if (!opened) {
            folder.m_qstrError = opened.Error();
            handle.reset();
            break;
        }
        handle = std::move(opened.Value());
    }
    if (handle.valid())
        folder.m_nHandle = handle.releaseToFd(_O_RDONLY);
    if (folder.m_nHandle < 0)
        folder.m_qstrError = folder.m_qstrPath + QStringLiteral(": ") + folder.m_qstrError;
    return folder;
}

bool PrivateFolder::OpenFile(QFile& _file, const QString& _qstrName, QIODevice::OpenMode _mode) const
{
    if (!IsValid())
        return false;
    const WinHandle checked(WinFile::OpenBelow(WinFile::OfFd(m_nHandle), _qstrName.toStdWString(),
                                               READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, FILE_OPEN_IF,
                                               FILE_NON_DIRECTORY_FILE));
    HandleTrust::Facts facts;
    if (!checked.valid() || !WinFile::FactsOf(checked.get(), facts) || facts.isLink || facts.isFolder ||
        facts.owner != HandleTrust::Who::User || !CloseToOthers(checked.get(), facts))
        return false;
    // QFile keeps its name only when it opens by name; the handle held above proves that the
    // name still leads to the file just checked.
    _file.close();
    _file.setFileName(m_qstrPath + QLatin1Char('/') + _qstrName);
    if (!_file.open(_mode) ||
        !WinFile::InfoOf(WinFile::OfFd(_file.handle())).SameAs(WinFile::InfoOf(checked.get()))) {
        _file.close();
        return false;
    }
    return true;
}

Result<> PrivateFolder::WriteFile(const QString& _qstrName, const QByteArray& _baData) const
{
    if (!IsValid())
        return Result<>::Failure(m_qstrError);
    const HANDLE folder = WinFile::OfFd(m_nHandle);
    const QString temp = QLatin1Char('.') + _qstrName + QLatin1Char('.') +
                         QString::number(QRandomGenerator::global()->generate(), 16) +
                         QStringLiteral(".part");
    // Inherits the folder's owner-only list.
    WinHandle file(WinFile::OpenBelow(folder, temp.toStdWString(), FILE_GENERIC_WRITE | DELETE, FILE_CREATE,
                                      FILE_NON_DIRECTORY_FILE));
    if (!file.valid())
        return Result<>::Failure(ErrorText(QStringLiteral("create file")));
    QString failure;
    if (!WriteAll(file.get(), _baData))
        failure = ErrorText(QStringLiteral("write file"));
    else if (!WinFile::NameHandle(file.get(), folder, _qstrName.toStdWString(), true))
        failure = ErrorText(QStringLiteral("rename file"));
    if (!failure.isEmpty()) {
        // A cut-off file is worse than none.
        WinFile::DeleteHandle(file.get());
        return Result<>::Failure(failure);
    }
    if (!::CloseHandle(file.release()))
        return Result<>::Failure(ErrorText(QStringLiteral("close file")));
    return {};
}

bool PrivateFolder::RemoveFile(const QString& _qstrName) const
{
    return IsValid() && WinFile::RemoveBelow(WinFile::OfFd(m_nHandle), _qstrName.toStdWString());
}

QVector<PrivateFolder::FileEntry> PrivateFolder::Files() const
{
    QVector<FileEntry> files;
    std::vector<WinFile::Entry> entries;
    if (!IsValid() || !WinFile::ListFolder(WinFile::OfFd(m_nHandle), entries))
        return files;
    for (const WinFile::Entry& entry : entries) {
        if (entry.IsLink() || (entry.attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        files.append({QString::fromStdWString(entry.name), entry.size, WinFile::EpochMs(entry.written)});
    }
    return files;
}

QString PrivateFolder::CacheRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
}

QString PrivateFolder::RuntimeRoot()
{
    // Windows has no per-session folder emptied at log-off; callers fall back to the cache folder.
    return QString();
}
