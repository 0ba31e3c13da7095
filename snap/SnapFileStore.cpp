// Creates the folder with mkdir(2) at 0700, checks it through an O_NOFOLLOW descriptor with
// fstat(2) (owner, type, mode), and creates each file with openat(2) O_EXCL|O_NOFOLLOW at 0600,
// so neither a planted link nor a file of another user is ever followed.
#include "snap/SnapFileStore.h"

#include <QDebug>
#include <QDir>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

class Fd
{
public:
    explicit Fd(int _nFd) : m_nFd(_nFd) {}
    ~Fd()
    {
        if (m_nFd >= 0)
            ::close(m_nFd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_nFd; }
    // Closes now so that a failing close (a full disk on some file systems) is seen.
    bool Close()
    {
        const int fd = m_nFd;
        m_nFd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_nFd;
};

QString ErrnoText(const char* _szWhat)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(_szWhat), QString::fromLocal8Bit(std::strerror(errno)));
}

// An open descriptor of our private folder, or -1 with the reason.
int OpenPrivateFolder(const QString& _qstrFolder, QString& _qstrError)
{
    const QByteArray path = QFile::encodeName(_qstrFolder);
    QDir().mkpath(QFileInfo(_qstrFolder).absolutePath());
    if (::mkdir(path.constData(), kFolderMode) != 0 && errno != EEXIST) {
        _qstrError = ErrnoText("mkdir");
        return -1;
    }
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        _qstrError = errno == ELOOP || errno == ENOTDIR ? QStringLiteral("the folder is a link or no folder")
                                                        : ErrnoText("open folder");
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
        _qstrError = QStringLiteral("the folder belongs to another user");
        ::close(fd);
        return -1;
    }
    // Ours, but perhaps made by an older version or another umask: close it to others.
    if ((st.st_mode & 07777) != kFolderMode && ::fchmod(fd, kFolderMode) != 0) {
        _qstrError = ErrnoText("chmod folder");
        ::close(fd);
        return -1;
    }
    return fd;
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

QString SnapFileStore::Folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation) +
           QStringLiteral("/snap_screen_tool");
}

SnapFileStore::Result SnapFileStore::Save(const QByteArray& _baPng)
{
    Result result;
    const QString folder = Folder();
    Fd dir(OpenPrivateFolder(folder, result.error));
    if (dir.get() < 0) {
        qCritical() << "SnapFileStore::Save:refused:" << folder << result.error;
        return result;
    }
    const QString name = QUuid::createUuid().toString() + QStringLiteral(".png");
    Fd file(::openat(dir.get(), QFile::encodeName(name).constData(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (file.get() < 0) {
        result.error = ErrnoText("create file");
        qCritical() << "SnapFileStore::Save:" << folder << result.error;
        return result;
    }
    if (::fchmod(file.get(), kFileMode) != 0 || !WriteAll(file.get(), _baPng))
        result.error = ErrnoText("write file");
    else if (!file.Close())
        result.error = ErrnoText("close file");
    if (!result.error.isEmpty()) {
        // A cut-off image is worse than none.
        ::unlinkat(dir.get(), QFile::encodeName(name).constData(), 0);
        qCritical() << "SnapFileStore::Save:" << folder << result.error;
        return result;
    }
    result.ok = true;
    result.path = folder + QLatin1Char('/') + name;
    return result;
}
