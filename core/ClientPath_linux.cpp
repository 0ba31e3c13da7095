// Client paths walked from "/" with openat(2) O_PATH|O_DIRECTORY|O_NOFOLLOW, one name at a time:
// fstatat(2) AT_SYMLINK_NOFOLLOW tells a link (its owner checked, then readlinkat(2) and its
// target walked the same way), fstat(2) of each opened folder checks owner and mode, the rule
// OpenSSH's StrictModes applies to ~/.ssh. New files: openat(2) O_CREAT|O_EXCL|O_NOFOLLOW under a
// random name, then renameat(2) in the same folder (Windows would check each folder's owner and
// DACL through handles opened with FILE_FLAG_OPEN_REPARSE_POINT).
#include "core/ClientPath.h"

#include "core/PosixFd.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// As the kernel's own bound on links in one lookup.
constexpr int kMaxLinks = 40;

QString Reason(const char* _szWhat)
{
    return QString::fromLatin1(_szWhat) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

bool IsTrustedOwner(uid_t _nUid)
{
    return _nUid == ::geteuid() || _nUid == 0;
}

// Why another user could change what the folder holds; empty when nobody but the user (or root) can.
QString Untrusted(const struct stat& _info)
{
    if (!S_ISDIR(_info.st_mode))
        return QStringLiteral("it is not a folder");
    if (!IsTrustedOwner(_info.st_uid))
        return QStringLiteral("it belongs to another user (uid %1)").arg(_info.st_uid);
    if ((_info.st_mode & (S_IWGRP | S_IWOTH)) && !(_info.st_mode & S_ISVTX))
        return QStringLiteral("other users may write into it");
    return QString();
}

QByteArray Joined(const std::vector<QByteArray>& _vecNames)
{
    QByteArray path;
    for (const QByteArray& name : _vecNames)
        path += '/' + name;
    return path.isEmpty() ? QByteArray("/") : path;
}

// The walk: the folders opened so far, root first, with their names.
struct Walk
{
    std::vector<PosixFd> folders;
    std::vector<QByteArray> names;
    std::deque<QByteArray> todo;
    int links = 0;
    // OpenExisting's walk ends at the first name that is missing.
    bool stopAtMissing = false;
    bool stopped = false;
    QString error;

    int Current() const { return folders.back().get(); }
    QString Here(const QByteArray& _baName = QByteArray()) const
    {
        std::vector<QByteArray> all = names;
        if (!_baName.isEmpty())
            all.push_back(_baName);
        return QFile::decodeName(Joined(all));
    }
    bool Fail(const QByteArray& _baName, const QString& _qstrWhy)
    {
        error = Here(_baName) + QStringLiteral(": ") + _qstrWhy;
        return false;
    }

    bool Start()
    {
        PosixFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat info;
        if (!root.valid() || ::fstat(root.get(), &info) != 0)
            return Fail(QByteArray(), Reason("cannot open"));
        const QString why = Untrusted(info);
        if (!why.isEmpty())
            return Fail(QByteArray(), why);
        folders.clear();
        names.clear();
        folders.push_back(std::move(root));
        return true;
    }

    // A link owned by the user or root leads on; its target's names take the link's place.
    bool FollowLink(const QByteArray& _baName, const struct stat& _info)
    {
        if (!IsTrustedOwner(_info.st_uid))
            return Fail(_baName, QStringLiteral("it is a link of another user (uid %1)").arg(_info.st_uid));
        if (++links > kMaxLinks)
            return Fail(_baName, QStringLiteral("too many links"));
        QByteArray target(static_cast<int>(_info.st_size > 0 ? _info.st_size : PATH_MAX) + 1, '\0');
        const ssize_t length = ::readlinkat(Current(), _baName.constData(), target.data(), target.size());
        if (length <= 0 || length >= target.size())
            return Fail(_baName, QStringLiteral("the link cannot be read"));
        target.truncate(static_cast<int>(length));
        const QList<QByteArray> parts = target.split('/');
        for (auto it = parts.crbegin(); it != parts.crend(); ++it)
            if (!it->isEmpty())
                todo.push_front(*it);
        return !target.startsWith('/') || Start();
    }

    bool Step(const QByteArray& _baName, bool _blCreate)
    {
        if (_baName == ".")
            return true;
        if (_baName == "..") {
            if (folders.size() > 1) {
                folders.pop_back();
                names.pop_back();
            }
            return true;
        }
        struct stat info;
        if (::fstatat(Current(), _baName.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT && stopAtMissing) {
                stopped = true;
                return true;
            }
            if (errno != ENOENT || !_blCreate)
                return Fail(_baName,
                            errno == ENOENT ? QStringLiteral("it does not exist") : Reason("cannot look"));
            // Never open to others' writes, whatever the umask lets through (a group-writable
            // umask such as 002 is common): the walk would refuse the folder it just made.
            if (::mkdirat(Current(), _baName.constData(), 0755) != 0 && errno != EEXIST)
                return Fail(_baName, Reason("cannot make it"));
            if (::fstatat(Current(), _baName.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                return Fail(_baName, Reason("cannot look"));
        }
        if (S_ISLNK(info.st_mode))
            return FollowLink(_baName, info);
        PosixFd next(::openat(Current(), _baName.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return Fail(_baName, errno == ENOTDIR || errno == ELOOP ? QStringLiteral("it is not a folder")
                                                                    : Reason("cannot open"));
        // The folder itself, as opened: what was looked at above may have been swapped since.
        if (::fstat(next.get(), &info) != 0)
            return Fail(_baName, Reason("cannot look"));
        const QString why = Untrusted(info);
        if (!why.isEmpty())
            return Fail(_baName, why);
        folders.push_back(std::move(next));
        names.push_back(_baName);
        return true;
    }

    bool Run(const QString& _qstrFolder, bool _blCreate)
    {
        if (!Start())
            return false;
        for (const QByteArray& name : QFile::encodeName(_qstrFolder).split('/'))
            if (!name.isEmpty())
                todo.push_back(name);
        while (!todo.empty() && !stopped) {
            const QByteArray name = todo.front();
            todo.pop_front();
            if (!Step(name, _blCreate))
                return false;
        }
        return true;
    }
};

} // namespace

ClientPath ClientPath::Walked(const QString& _qstrFolder, bool _blCreate, bool _blStopAtMissing)
{
    ClientPath opened;
    if (_qstrFolder.isEmpty()) {
        opened.m_qstrError = QStringLiteral("no folder given");
        return opened;
    }
    Walk walk;
    walk.stopAtMissing = _blStopAtMissing;
    if (!walk.Run(QDir::cleanPath(QDir(_qstrFolder).absolutePath()), _blCreate)) {
        opened.m_qstrError = walk.error;
        return opened;
    }
    opened.m_qstrPath = walk.Here();
    opened.m_nHandle = walk.folders.back().release();
    return opened;
}

ClientPath ClientPath::OpenParent(const QString& _qstrFile, bool _blCreate)
{
    const QString absolute = QDir(_qstrFile).absolutePath();
    const int slash = absolute.lastIndexOf(QLatin1Char('/'));
    const QString name = absolute.mid(slash + 1);
    if (_qstrFile.isEmpty() || name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        ClientPath none;
        none.m_qstrError = _qstrFile + QStringLiteral(": no file name");
        return none;
    }
    ClientPath opened = OpenFolder(slash > 0 ? absolute.left(slash) : QStringLiteral("/"), _blCreate);
    opened.m_qstrName = name;
    return opened;
}

Result<int> ClientPath::OpenFileForReading(const QString& _qstrFile)
{
    using Opened = Result<int>;
    QString path = _qstrFile;
    for (int links = 0; links <= kMaxLinks; ++links) {
        const ClientPath parent = OpenParent(path, false);
        if (!parent.IsValid())
            return Opened::Failure(parent.Error());
        const QByteArray name = QFile::encodeName(parent.Name());
        const QString where = parent.Path() + QLatin1Char('/') + parent.Name();
        struct stat info;
        if (::fstatat(parent.Handle(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return Opened::Failure(where + QStringLiteral(": ") + Reason("cannot look"));
        if (S_ISLNK(info.st_mode)) {
            if (!IsTrustedOwner(info.st_uid))
                return Opened::Failure(
                    where + QStringLiteral(": it is a link of another user (uid %1)").arg(info.st_uid));
            QByteArray target(PATH_MAX + 1, '\0');
            const ssize_t length =
                ::readlinkat(parent.Handle(), name.constData(), target.data(), target.size());
            if (length <= 0 || length >= target.size())
                return Opened::Failure(where + QStringLiteral(": the link cannot be read"));
            target.truncate(static_cast<int>(length));
            const QString text = QFile::decodeName(target);
            path = text.startsWith(QLatin1Char('/')) ? text : parent.Path() + QLatin1Char('/') + text;
            continue;
        }
        const int fd = ::openat(parent.Handle(), name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            const QString error = where + (fd < 0 ? QStringLiteral(": ") + Reason("cannot open")
                                                  : QStringLiteral(": it is not a file"));
            if (fd >= 0)
                ::close(fd);
            return Opened::Failure(error);
        }
        return fd;
    }
    return Opened::Failure(_qstrFile + QStringLiteral(": too many links"));
}

bool ClientPath::IsStill(const QString& _qstrFolder) const
{
    struct stat held;
    struct stat now;
    // Cleaned, so that a trailing separator does not make lstat(2) follow a link at the end.
    return IsValid() && ::fstat(m_nHandle, &held) == 0 &&
           ::lstat(QFile::encodeName(QDir::cleanPath(_qstrFolder)).constData(), &now) == 0 &&
           S_ISDIR(now.st_mode) && held.st_dev == now.st_dev && held.st_ino == now.st_ino;
}

bool ClientPath::CreateTemp(QFile& _file, QByteArray& _baTemp, int _nMode)
{
    const QByteArray name = QFile::encodeName(m_qstrName);
    for (int attempt = 0; IsValid() && attempt < 8; ++attempt) {
        _baTemp = '.' + name.left(200) + '.' +
                  QByteArray::number(QRandomGenerator::global()->generate(), 16) + ".part";
        const int fd =
            ::openat(m_nHandle, _baTemp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     static_cast<mode_t>(_nMode));
        if (fd >= 0) {
            // The new file takes the place of the old one, so it keeps who may read it.
            struct stat existing;
            if (::fstatat(m_nHandle, name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(existing.st_mode))
                ::fchmod(fd, existing.st_mode & 07777);
            if (_file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
                return true;
            ::close(fd);
            ::unlinkat(m_nHandle, _baTemp.constData(), 0);
            break;
        }
        if (errno != EEXIST)
            break;
    }
    m_qstrError = m_qstrPath + QLatin1Char('/') + m_qstrName + QStringLiteral(": ") + Reason("cannot create");
    _baTemp.clear();
    return false;
}

bool ClientPath::CommitTemp(const QByteArray& _baTemp)
{
    if (::renameat(m_nHandle, _baTemp.constData(), m_nHandle, QFile::encodeName(m_qstrName).constData()) == 0)
        return true;
    m_qstrError = m_qstrPath + QLatin1Char('/') + m_qstrName + QStringLiteral(": ") + Reason("cannot rename");
    return false;
}

void ClientPath::RemoveTemp(const QByteArray& _baTemp) const
{
    if (IsValid() && !_baTemp.isEmpty())
        ::unlinkat(m_nHandle, _baTemp.constData(), 0);
}
