// Private folders with mkdirat(2) at 0700 and openat(2) O_DIRECTORY|O_NOFOLLOW, checked with
// fstat(2) (owner is the effective uid, no write bits for group or others); files inside with
// openat(2) O_NOFOLLOW, new ones O_CREAT|O_EXCL at 0600 then renameat(2).
#include "core/PrivateFolder.h"

#include "core/PosixFd.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

QString ErrnoText(const QString& _qstrWhat)
{
    return _qstrWhat + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

// The part opened below _nParent, or why it is refused.
Result<PosixFd> OpenPart(int _nParent, const QByteArray& _baName)
{
    using Opened = Result<PosixFd>;
    if (::mkdirat(_nParent, _baName.constData(), kFolderMode) != 0 && errno != EEXIST)
        return Opened::Failure(ErrnoText(QStringLiteral("cannot make the folder")));
    PosixFd fd(::openat(_nParent, _baName.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return Opened::Failure(errno == ELOOP || errno == ENOTDIR
                                   ? QStringLiteral("it is a link or no folder")
                                   : ErrnoText(QStringLiteral("cannot open the folder")));
    struct stat info;
    if (::fstat(fd.get(), &info) != 0 || info.st_uid != ::geteuid())
        return Opened::Failure(QStringLiteral("it belongs to another user"));
    // Others who could write into it may have planted anything there already.
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return Opened::Failure(QStringLiteral("other users may write into it"));
    // Ours and unwritable by others, made by an older version or under another umask.
    if ((info.st_mode & 077) != 0 && ::fchmod(fd.get(), kFolderMode) != 0)
        return Opened::Failure(ErrnoText(QStringLiteral("cannot close it to other users")));
    return Opened(std::move(fd));
}

bool WriteAll(int _nFd, const QByteArray& _baData)
{
    const char* p = _baData.constData();
    qint64 left = _baData.size();
    while (left > 0) {
        const ssize_t n = ::write(_nFd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
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
    PosixFd fd(::open(QFile::encodeName(_qstrBase).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        folder.m_qstrError = ErrnoText(QStringLiteral("cannot open ") + _qstrBase);
    for (const QString& part : _listParts) {
        if (!fd.valid())
            break;
        folder.m_qstrPath += QLatin1Char('/') + part;
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..") ||
            part.contains(QLatin1Char('/'))) {
            folder.m_qstrError = QStringLiteral("not a plain folder name");
            fd.reset();
            break;
        }
        Result<PosixFd> opened = OpenPart(fd.get(), QFile::encodeName(part));
        if (!opened) {
            folder.m_qstrError = opened.Error();
            fd.reset();
            break;
        }
        fd = std::move(opened.Value());
    }
    if (fd.valid())
        folder.m_nHandle = fd.release();
    else
        folder.m_qstrError = folder.m_qstrPath + QStringLiteral(": ") + folder.m_qstrError;
    return folder;
}

bool PrivateFolder::OpenFile(QFile& _file, const QString& _qstrName, QIODevice::OpenMode _mode) const
{
    if (!IsValid())
        return false;
    const PosixFd fd(::openat(m_nHandle, QFile::encodeName(_qstrName).constData(),
                              O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    struct stat info;
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != ::geteuid() || ((info.st_mode & 077) != 0 && ::fchmod(fd.get(), kFileMode) != 0))
        return false;
    // QFile keeps its name only when it opens by name; the descriptor held above proves that the
    // name still leads to the file just checked.
    _file.close();
    _file.setFileName(m_qstrPath + QLatin1Char('/') + _qstrName);
    struct stat opened;
    if (!_file.open(_mode) || ::fstat(_file.handle(), &opened) != 0 || opened.st_dev != info.st_dev ||
        opened.st_ino != info.st_ino) {
        _file.close();
        return false;
    }
    return true;
}

Result<> PrivateFolder::WriteFile(const QString& _qstrName, const QByteArray& _baData) const
{
    if (!IsValid())
        return Result<>::Failure(m_qstrError);
    const QByteArray name = QFile::encodeName(_qstrName);
    const QByteArray temp =
        '.' + name + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 16) + ".part";
    PosixFd fd(::openat(m_nHandle, temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        kFileMode));
    if (!fd.valid())
        return Result<>::Failure(ErrnoText(QStringLiteral("create file")));
    QString failure;
    if (::fchmod(fd.get(), kFileMode) != 0 || !WriteAll(fd.get(), _baData))
        failure = ErrnoText(QStringLiteral("write file"));
    else if (!fd.close())
        failure = ErrnoText(QStringLiteral("close file"));
    else if (::renameat(m_nHandle, temp.constData(), m_nHandle, name.constData()) != 0)
        failure = ErrnoText(QStringLiteral("rename file"));
    if (failure.isEmpty())
        return {};
    // A cut-off file is worse than none.
    ::unlinkat(m_nHandle, temp.constData(), 0);
    return Result<>::Failure(failure);
}

bool PrivateFolder::RemoveFile(const QString& _qstrName) const
{
    return IsValid() && ::unlinkat(m_nHandle, QFile::encodeName(_qstrName).constData(), 0) == 0;
}

QVector<PrivateFolder::FileEntry> PrivateFolder::Files() const
{
    QVector<FileEntry> files;
    for (const std::string& name : FolderEntryNames(m_nHandle)) {
        struct stat info;
        if (::fstatat(m_nHandle, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        files.append({QFile::decodeName(name.c_str()), static_cast<qint64>(info.st_size),
                      static_cast<qint64>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000});
    }
    return files;
}

QString PrivateFolder::CacheRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
}

QString PrivateFolder::RuntimeRoot()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    struct stat info;
    if (!QDir::isAbsolutePath(runtime) || ::stat(QFile::encodeName(runtime).constData(), &info) != 0 ||
        !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0)
        return QString();
    return runtime;
}
