// Resolves paths the way the file system will when files are created: the longest part that
// exists is opened following its links and named again by GetFinalPathNameByHandleW; a link is a
// name-surrogate reparse point (symbolic link or junction), seen through a handle opened with
// FILE_FLAG_OPEN_REPARSE_POINT.
#include "install/ZipEntryGuard.h"

#include "core/WinFile.h"

#include <QDir>

#include <vector>

namespace {

// The length of the root of an absolute path ("C:/", "//server/share/"); 0 when there is none.
int RootLength(const QString& _qstrPath)
{
    if (_qstrPath.size() >= 3 && _qstrPath.at(1) == QLatin1Char(':') && _qstrPath.at(2) == QLatin1Char('/'))
        return 3;
    if (_qstrPath.startsWith(QLatin1String("//"))) {
        const int share = _qstrPath.indexOf(QLatin1Char('/'), 2);
        const int end = share < 0 ? -1 : _qstrPath.indexOf(QLatin1Char('/'), share + 1);
        return end < 0 ? _qstrPath.size() : end + 1;
    }
    return 0;
}

// The final name of what _handle is, with "/" separators and without the "\\?\" prefix.
QString FinalName(HANDLE _handle)
{
    std::vector<wchar_t> name(MAX_PATH);
    for (int tries = 0; tries < 2; ++tries) {
        const DWORD length = ::GetFinalPathNameByHandleW(
            _handle, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return QString();
        if (length < name.size()) {
            QString path =
                QDir::fromNativeSeparators(QString::fromWCharArray(name.data(), static_cast<int>(length)));
            if (path.startsWith(QLatin1String("//?/UNC/"), Qt::CaseInsensitive))
                return QStringLiteral("//") + path.mid(8);
            if (path.startsWith(QLatin1String("//?/")))
                return path.mid(4);
            return path;
        }
        name.resize(length + 1);
    }
    return QString();
}

// The final name _qstrFinal of the path _qstrGiven, its trailing names spelled as given where they
// differ only in case: names are compared as the caller spells them, and a folder "Bin" that
// exists as "bin" is the same folder, not one reached through a link.
QString SpelledAsGiven(const QString& _qstrFinal, const QString& _qstrGiven)
{
    QStringList names = _qstrFinal.split(QLatin1Char('/'));
    const QStringList given = _qstrGiven.split(QLatin1Char('/'));
    for (int f = names.size() - 1, g = given.size() - 1; f >= 0 && g >= 0; --f, --g) {
        if (names.at(f).compare(given.at(g), Qt::CaseInsensitive) != 0)
            break;
        names[f] = given.at(g);
    }
    return names.join(QLatin1Char('/'));
}

} // namespace

bool ZipEntryGuard::IsLink(const QByteArray& _baAbsolute)
{
    const WinHandle entry(WinFile::OpenPath(QFile::decodeName(_baAbsolute), FILE_READ_ATTRIBUTES));
    return entry.valid() && WinFile::InfoOf(entry.get()).IsLink();
}

QByteArray ZipEntryGuard::ResolveExisting(const QByteArray& _baAbsolute, bool* _pblWhole)
{
    QString existing = QFile::decodeName(_baAbsolute);
    const int root = RootLength(existing);
    if (root == 0)
        return QByteArray();
    QString missing;
    WinHandle opened;
    for (;;) {
        opened.reset(WinFile::OpenPath(existing, FILE_READ_ATTRIBUTES, true));
        if (opened.valid())
            break;
        const DWORD error = ::GetLastError();
        // ERROR_DIRECTORY: a file on the way, where a folder is named.
        if (!WinFile::IsMissing(error) && error != ERROR_DIRECTORY && error != ERROR_INVALID_NAME)
            return QByteArray();
        const int slash = existing.lastIndexOf(QLatin1Char('/'));
        if (existing.size() <= root || slash < 0)
            return QByteArray();
        const QString last = existing.mid(slash + 1);
        missing = missing.isEmpty() ? last : last + QLatin1Char('/') + missing;
        existing = slash + 1 <= root ? existing.left(root) : existing.left(slash);
    }
    if (_pblWhole)
        *_pblWhole = missing.isEmpty();
    QString out = FinalName(opened.get());
    if (out.isEmpty())
        return QByteArray();
    out = SpelledAsGiven(out, existing);
    if (!missing.isEmpty())
        out += (out.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + missing;
    return QFile::encodeName(out);
}
