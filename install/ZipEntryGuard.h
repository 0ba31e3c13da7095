#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

// Decides, before anything is written, whether an archive's entries may be extracted into a folder:
// no name may leave the folder, hide control characters, overflow a file name or repeat another,
// no target may lead out of the folder through a link that already exists on disk, and no folder
// an entry goes into (or is) may be a link at all, since extraction never follows one. A link
// where a file goes, leading inside, is fine: it is replaced by the file, not written through.
class ZipEntryGuard
{
public:
    enum Verdict {
        Ok = 0,
        TooLong,
        Empty,
        Absolute,
        Colon, // drive letters, alternate data streams
        DotDot,
        Control,
        LongComponent,
        Duplicate,
        Outside,
        LinkedFolder,
    };
    static const char* Describe(Verdict _verdict);

    // Longest file name most file systems take, in bytes.
    static constexpr int kMaxComponentBytes = 255;

    // _baDestination in the file system's encoding; relative paths are taken from the working folder.
    explicit ZipEntryGuard(const QByteArray& _baDestination);

    // _baName: the entry name as it will reach the file system ("\" already "/");
    // _qstrText: the decoded name, checked for control characters outside ASCII too.
    // Accepted names are remembered to find duplicates; the folder form "a/" repeats the file "a".
    Verdict Check(const QByteArray& _baName, const QString& _qstrText, bool _blTooLong);

    // "a//./b/" -> "a/b": the relative path an accepted name writes to.
    static QByteArray Normalise(const QByteArray& _baName);
    // The name with control characters shown as \xNN, safe to put into an error text or a log line.
    static QString Printable(const QString& _qstrName);

private:
    Verdict CheckName(const QByteArray& _baName, const QString& _qstrText) const;
    Verdict CheckTarget(const QByteArray& _baRelative, bool _blFolder);
    bool IsResolvedInside(const QByteArray& _baResolved) const;

    // Platform part: what the path names once every link in its existing part is followed;
    // empty when that cannot be known (a dangling link, a permission error). _pblWhole tells whether
    // the whole path exists.
    static QByteArray ResolveExisting(const QByteArray& _baAbsolute, bool* _pblWhole = nullptr);
    // The path names a link itself (not what it points to).
    static bool IsLink(const QByteArray& _baAbsolute);
    static QByteArray AbsoluteClean(const QByteArray& _baPath);

    QByteArray m_baDestination; // absolute, lexically clean
    QByteArray m_baResolvedDestination;
    QSet<QByteArray> m_setSeen;
    struct FolderState
    {
        Verdict verdict;
        bool exists; // when it does not, nothing in it can be a link yet
    };
    QHash<QByteArray, FolderState> m_hashFolders;
};
