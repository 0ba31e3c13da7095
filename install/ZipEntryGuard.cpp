#include "install/ZipEntryGuard.h"

#include <QDir>
#include <QFile>

const char* ZipEntryGuard::Describe(Verdict _verdict)
{
    switch (_verdict) {
    case Ok:
        return "ok";
    case TooLong:
        return "name too long";
    case Empty:
        return "empty name";
    case Absolute:
        return "absolute path";
    case Colon:
        return "drive letter or colon";
    case DotDot:
        return "parent folder component";
    case Control:
        return "control character";
    case LongComponent:
        return "name component longer than 255 bytes";
    case Duplicate:
        return "duplicate entry";
    case Outside:
        return "target outside the destination";
    case LinkedFolder:
        return "folder is a link";
    }
    return "unknown";
}

QByteArray ZipEntryGuard::AbsoluteClean(const QByteArray& _baPath)
{
    const QString path = QFile::decodeName(_baPath);
    return QFile::encodeName(QDir::cleanPath(QDir(path).absolutePath()));
}

ZipEntryGuard::ZipEntryGuard(const QByteArray& _baDestination)
    : m_baDestination(AbsoluteClean(_baDestination)),
      m_baResolvedDestination(ResolveExisting(m_baDestination))
{
}

QByteArray ZipEntryGuard::Normalise(const QByteArray& _baName)
{
    QByteArray out;
    for (const QByteArray& part : _baName.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (!out.isEmpty())
            out += '/';
        out += part;
    }
    return out;
}

QString ZipEntryGuard::Printable(const QString& _qstrName)
{
    QString out;
    out.reserve(_qstrName.size());
    for (const QChar c : _qstrName) {
        if (c.category() == QChar::Other_Control)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

ZipEntryGuard::Verdict ZipEntryGuard::CheckName(const QByteArray& _baName, const QString& _qstrText) const
{
    for (const char c : _baName) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            return Control;
    }
    for (const QChar c : _qstrText) {
        if (c.category() == QChar::Other_Control)
            return Control;
    }
    if (_baName.startsWith('/'))
        return Absolute;
    if (_baName.contains(':'))
        return Colon;
    for (const QByteArray& part : _baName.split('/')) {
        if (part == "..")
            return DotDot;
        if (part.size() > kMaxComponentBytes)
            return LongComponent;
    }
    if (Normalise(_baName).isEmpty())
        return Empty;
    return Ok;
}

ZipEntryGuard::Verdict ZipEntryGuard::Check(const QByteArray& _baName, const QString& _qstrText,
                                            bool _blTooLong)
{
    if (_blTooLong)
        return TooLong;
    const Verdict verdict = CheckName(_baName, _qstrText);
    if (verdict != Ok)
        return verdict;
    const QByteArray relative = Normalise(_baName);
    if (m_setSeen.contains(relative))
        return Duplicate;
    m_setSeen.insert(relative);
    return CheckTarget(relative, _baName.endsWith('/'));
}

bool ZipEntryGuard::IsResolvedInside(const QByteArray& _baResolved) const
{
    if (_baResolved.isEmpty() || m_baResolvedDestination.isEmpty())
        return false;
    if (_baResolved == m_baResolvedDestination)
        return true;
    const QByteArray prefix =
        m_baResolvedDestination.endsWith('/') ? m_baResolvedDestination : m_baResolvedDestination + '/';
    return _baResolved.startsWith(prefix);
}

ZipEntryGuard::Verdict ZipEntryGuard::CheckTarget(const QByteArray& _baRelative, bool _blFolder)
{
    // Folders are shared by many entries: resolve each once.
    const int slash = _baRelative.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : _baRelative.left(slash);
    auto it = m_hashFolders.constFind(folder);
    if (it == m_hashFolders.constEnd()) {
        const QByteArray absolute = folder.isEmpty() ? m_baDestination : m_baDestination + '/' + folder;
        bool exists = false;
        const QByteArray resolved = ResolveExisting(absolute, &exists);
        Verdict verdict = IsResolvedInside(resolved) ? Ok : Outside;
        // Without a link on the way the folder resolves to where its name says.
        if (verdict == Ok && !folder.isEmpty() &&
            resolved != (m_baResolvedDestination.endsWith('/') ? m_baResolvedDestination
                                                               : m_baResolvedDestination + '/') +
                            folder)
            verdict = LinkedFolder;
        it = m_hashFolders.insert(folder, FolderState{verdict, exists});
    }
    if (it.value().verdict != Ok || !it.value().exists)
        return it.value().verdict;
    const QByteArray target = m_baDestination + '/' + _baRelative;
    if (!IsLink(target))
        return Ok;
    if (!IsResolvedInside(ResolveExisting(target)))
        return Outside;
    return _blFolder ? LinkedFolder : Ok;
}
