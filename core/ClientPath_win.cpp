// Client paths walked from the drive's root (or a share's) one name at a time, each below the
// handle of the last with NtCreateFile and FILE_OPEN_REPARSE_POINT: a symbolic link or junction
// on the way is opened itself, its owner checked (GetSecurityInfo), then its target read with
// FSCTL_GET_REPARSE_POINT and walked the same way; each folder's owner and access list are read
// from its handle (see HandleTrust). New files: NtCreateFile FILE_CREATE below the folder's
// handle under a random name, then renamed with FileRenameInformation relative to that handle.
#include "core/ClientPath.h"

#include "core/WinFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <deque>
#include <vector>

namespace {

// As the file system's own bound on reparse points in one lookup.
constexpr int kMaxLinks = 63;

QString Reason(const char* _szWhat)
{
    return QString::fromLatin1(_szWhat) + QStringLiteral(": ") + WinFile::ErrorText(::GetLastError());
}

// "C:" or "//server/share" and the names after it; false for a path with no root of its own.
bool SplitRoot(const QString& _qstrPath, QString& _qstrRoot, QStringList& _listNames)
{
    QStringList parts = _qstrPath.split(QLatin1Char('/'));
    if (_qstrPath.startsWith(QLatin1String("//"))) {
        if (parts.size() < 4 || parts.at(2).isEmpty() || parts.at(3).isEmpty())
            return false;
        _qstrRoot = QStringLiteral("//") + parts.at(2) + QLatin1Char('/') + parts.at(3);
        parts = parts.mid(4);
    } else if (_qstrPath.size() >= 2 && _qstrPath.at(1) == QLatin1Char(':') && _qstrPath.at(0).isLetter()) {
        _qstrRoot = _qstrPath.left(2).toUpper();
        parts = parts.mid(1);
    } else {
        return false;
    }
    _listNames.clear();
    for (const QString& part : qAsConst(parts))
        if (!part.isEmpty())
            _listNames.append(part);
    return true;
}

// What a folder made on the way gets, whatever its parent would pass on: the user, the system and
// the administrators may change it, everyone else only read and enter it (as mode 0755).
PSECURITY_DESCRIPTOR NewFolderDescriptor()
{
    static PSECURITY_DESCRIPTOR s_descriptor = WinFile::Descriptor(
        QStringLiteral("D:P(A;OICI;FA;;;%1)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"));
    return s_descriptor;
}

// The walk: the folders opened so far, the root first, with their names.
struct Walk
{
    std::vector<WinHandle> folders;
    QString root;
    QStringList names;
    std::deque<QString> todo;
    int links = 0;
    // OpenExisting's walk ends at the first name that is missing.
    bool stopAtMissing = false;
    bool stopped = false;
    QString error;

    HANDLE Current() const { return folders.back().get(); }
    QString Here(const QString& _qstrName = QString()) const
    {
        QStringList all = names;
        if (!_qstrName.isEmpty())
            all.append(_qstrName);
        return root + QLatin1Char('/') + all.join(QLatin1Char('/'));
    }
    bool Fail(const QString& _qstrName, const QString& _qstrWhy)
    {
        error = Here(_qstrName) + QStringLiteral(": ") + _qstrWhy;
        return false;
    }

    // Starts again at the root of _qstrPath; its names go to the front of what is left to walk.
    bool Start(const QString& _qstrPath)
    {
        QString newRoot;
        QStringList parts;
        if (!SplitRoot(_qstrPath, newRoot, parts)) {
            error = _qstrPath + QStringLiteral(": no absolute path");
            return false;
        }
        root = newRoot;
        names.clear();
        folders.clear();
        for (auto it = parts.crbegin(); it != parts.crend(); ++it)
            todo.push_front(*it);
        WinHandle handle(WinFile::OpenPath(root + QLatin1Char('/'), WinFile::kFolderAccess));
        HandleTrust::Facts facts;
        if (!handle.valid() || !WinFile::FactsOf(handle.get(), facts))
            return Fail(QString(), Reason("cannot open"));
        const QString why = HandleTrust::ClientFolderRefusal(facts);
        if (!why.isEmpty())
            return Fail(QString(), why);
        folders.push_back(std::move(handle));
        return true;
    }

    // A link owned by the user, the administrators or the system leads on; its target's names
    // take the link's place.
    bool FollowLink(const QString& _qstrName, HANDLE _hLink, const HandleTrust::Facts& _facts)
    {
        const QString why = HandleTrust::LinkRefusal(_facts);
        if (!why.isEmpty())
            return Fail(_qstrName, why);
        if (++links > kMaxLinks)
            return Fail(_qstrName, QStringLiteral("too many links"));
        const HandleTrust::LinkTarget target = WinFile::LinkTargetOf(_hLink);
        if (!target.ok)
            return Fail(_qstrName, QStringLiteral("the link cannot be read"));
        if (!target.relative)
            return Start(target.path);
        const QStringList parts = target.path.split(QLatin1Char('/'));
        for (auto it = parts.crbegin(); it != parts.crend(); ++it)
            if (!it->isEmpty())
                todo.push_front(*it);
        return true;
    }

    bool Step(const QString& _qstrName, bool _blCreate)
    {
        if (_qstrName == QLatin1String("."))
            return true;
        if (_qstrName == QLatin1String("..")) {
            if (folders.size() > 1) {
                folders.pop_back();
                names.removeLast();
            }
            return true;
        }
        const std::wstring name = _qstrName.toStdWString();
        WinHandle next(
            WinFile::OpenBelow(Current(), name, WinFile::kFolderAccess, FILE_OPEN, FILE_DIRECTORY_FILE));
        if (!next.valid() && WinFile::IsMissing(::GetLastError())) {
            if (stopAtMissing) {
                stopped = true;
                return true;
            }
            if (!_blCreate)
                return Fail(_qstrName, QStringLiteral("it does not exist"));
            // Made and opened in one step, closed to others' writes whatever the parent passes on.
            next.reset(WinFile::OpenBelow(Current(), name, WinFile::kFolderAccess, FILE_OPEN_IF,
                                          FILE_DIRECTORY_FILE, NewFolderDescriptor()));
            if (!next.valid())
                return Fail(_qstrName, Reason("cannot make it"));
        }
        if (!next.valid())
            return Fail(_qstrName, ::GetLastError() == ERROR_DIRECTORY ? QStringLiteral("it is not a folder")
                                                                       : Reason("cannot open"));
        HandleTrust::Facts facts;
        if (!WinFile::FactsOf(next.get(), facts))
            return Fail(_qstrName, Reason("cannot look"));
        if (facts.isLink)
            return FollowLink(_qstrName, next.get(), facts);
        const QString why = HandleTrust::ClientFolderRefusal(facts);
        if (!why.isEmpty())
            return Fail(_qstrName, why);
        folders.push_back(std::move(next));
        names.append(_qstrName);
        return true;
    }

    bool Run(const QString& _qstrFolder, bool _blCreate)
    {
        if (!Start(_qstrFolder))
            return false;
        while (!todo.empty() && !stopped) {
            const QString name = todo.front();
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
    if (opened.m_qstrPath.endsWith(QLatin1Char('/')) && opened.m_qstrPath.size() > 3)
        opened.m_qstrPath.chop(1);
    opened.m_nHandle = walk.folders.back().releaseToFd(_O_RDONLY);
    if (opened.m_nHandle < 0)
        opened.m_qstrError = walk.Here() + QStringLiteral(": ") + Reason("cannot open");
    return opened;
}

ClientPath ClientPath::OpenParent(const QString& _qstrFile, bool _blCreate)
{
    const QString absolute = QDir::cleanPath(QDir(_qstrFile).absolutePath());
    const int slash = absolute.lastIndexOf(QLatin1Char('/'));
    const QString name = absolute.mid(slash + 1);
    if (_qstrFile.isEmpty() || name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
        name.endsWith(QLatin1Char(':'))) {
        ClientPath none;
        none.m_qstrError = _qstrFile + QStringLiteral(": no file name");
        return none;
    }
    ClientPath opened = OpenFolder(absolute.left(slash + 1), _blCreate);
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
        const QString where = parent.Path() +
                              (parent.Path().endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) +
                              parent.Name();
        const HANDLE folder = WinFile::OfFd(parent.Handle());
        const std::wstring name = parent.Name().toStdWString();
        WinHandle file(WinFile::OpenBelow(folder, name, FILE_GENERIC_READ, FILE_OPEN, 0));
        HandleTrust::Facts facts;
        if (!file.valid() || !WinFile::FactsOf(file.get(), facts))
            return Opened::Failure(where + QStringLiteral(": ") + Reason("cannot open"));
        if (facts.isLink) {
            const QString why = HandleTrust::LinkRefusal(facts);
            const HandleTrust::LinkTarget target = WinFile::LinkTargetOf(file.get());
            if (!why.isEmpty() || !target.ok)
                return Opened::Failure(where + QStringLiteral(": ") +
                                       (why.isEmpty() ? QStringLiteral("the link cannot be read") : why));
            path = target.relative ? parent.Path() + QLatin1Char('/') + target.path : target.path;
            continue;
        }
        if (facts.isFolder)
            return Opened::Failure(where + QStringLiteral(": it is not a file"));
        // Another kind of reparse point (a file kept in the cloud, a deduplicated one) holds its
        // bytes behind its filter: opened again through it, below the same folder.
        if (WinFile::InfoOf(file.get()).attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            file.reset(WinFile::OpenBelow(folder, name, FILE_GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                                          nullptr, true));
            if (!file.valid())
                return Opened::Failure(where + QStringLiteral(": ") + Reason("cannot open"));
        }
        const int fd = file.releaseToFd(_O_RDONLY);
        if (fd < 0)
            return Opened::Failure(where + QStringLiteral(": cannot open"));
        return fd;
    }
    return Opened::Failure(_qstrFile + QStringLiteral(": too many links"));
}

bool ClientPath::IsStill(const QString& _qstrFolder) const
{
    if (!IsValid())
        return false;
    // Cleaned, so that a trailing separator does not make the open follow a link at the end.
    const WinHandle now(WinFile::OpenPath(QDir::cleanPath(_qstrFolder), FILE_READ_ATTRIBUTES));
    const WinFile::Info info = WinFile::InfoOf(now.get());
    return info.IsFolder() && info.SameAs(WinFile::InfoOf(WinFile::OfFd(m_nHandle)));
}

bool ClientPath::CreateTemp(QFile& _file, QByteArray& _baTemp, int _nMode)
{
    // The access list comes from the folder, as the umask's part does on Linux; _nMode has no
    // counterpart beyond it.
    Q_UNUSED(_nMode)
    const HANDLE folder = WinFile::OfFd(m_nHandle);
    const QByteArray name = QFile::encodeName(m_qstrName);
    for (int attempt = 0; IsValid() && attempt < 8; ++attempt) {
        _baTemp = '.' + name.left(200) + '.' +
                  QByteArray::number(QRandomGenerator::global()->generate(), 16) + ".part";
        WinHandle created(WinFile::OpenBelow(folder, WinFile::Wide(_baTemp),
                                             FILE_GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
                                             FILE_CREATE, FILE_NON_DIRECTORY_FILE));
        if (created.valid()) {
            // The new file takes the place of the old one, so it keeps who may use it.
            const WinHandle existing(WinFile::OpenBelow(folder, m_qstrName.toStdWString(),
                                                        READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_OPEN,
                                                        FILE_NON_DIRECTORY_FILE));
            if (existing.valid() && WinFile::InfoOf(existing.get()).IsFile())
                WinFile::CopyOwnDacl(existing.get(), created.get());
            const int fd = created.releaseToFd(_O_WRONLY);
            if (fd >= 0 &&
                _file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
                return true;
            if (fd >= 0)
                ::_close(fd);
            RemoveTemp(_baTemp);
            break;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    m_qstrError = m_qstrPath + QLatin1Char('/') + m_qstrName + QStringLiteral(": ") + Reason("cannot create");
    _baTemp.clear();
    return false;
}

bool ClientPath::CommitTemp(const QByteArray& _baTemp)
{
    const HANDLE folder = WinFile::OfFd(m_nHandle);
    const WinHandle temp(WinFile::OpenBelow(folder, WinFile::Wide(_baTemp), DELETE | FILE_READ_ATTRIBUTES,
                                            FILE_OPEN, FILE_NON_DIRECTORY_FILE));
    if (temp.valid() && WinFile::NameHandle(temp.get(), folder, m_qstrName.toStdWString(), true))
        return true;
    m_qstrError = m_qstrPath + QLatin1Char('/') + m_qstrName + QStringLiteral(": ") + Reason("cannot rename");
    return false;
}

void ClientPath::RemoveTemp(const QByteArray& _baTemp) const
{
    if (IsValid() && !_baTemp.isEmpty())
        WinFile::RemoveBelow(WinFile::OfFd(m_nHandle), WinFile::Wide(_baTemp));
}
