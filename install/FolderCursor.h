#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <vector>

class ClientPath;
class QFile;

// One folder of a tree, held open and reached from the tree's root one name at a time, so that
// the work on the files in it (stat, list, link, create, rename) goes through that open folder:
// no path is walked again per file, and no link in the tree is ever followed, whoever planted
// it. The root is a folder already opened and checked (ClientPath). Folders are named relative to
// the root in the file system's encoding: "" is the root, "/a/b" a folder below it; file names
// are single names in the current folder.
class FolderCursor
{
public:
    enum class Kind { None, File, Folder, Link, Other };
    enum class Move {
        Done,
        // A name on the way is a link; it was not followed.
        Linked,
        // A name on the way is neither a folder nor a link.
        NotFolder,
        Failed
    };
    struct Entry
    {
        QByteArray baName;
        Kind kind;
        qint64 nSize;
    };

    // Works below _root's folder (its own descriptor, so _root may go); an invalid _root gives a
    // cursor whose every Enter fails.
    explicit FolderCursor(const ClientPath& _root);
    ~FolderCursor();
    FolderCursor(const FolderCursor&) = delete;
    FolderCursor& operator=(const FolderCursor&) = delete;

    // Moves to root + _baFolder, making the missing folders when _blCreate.
    Move Enter(const QByteArray& _baFolder, bool _blCreate);

    // What the name is itself, a link not followed; the size of a file in *_pSize.
    Kind KindOf(const QByteArray& _baName, qint64* _pSize = nullptr) const;
    static Kind KindAt(const QString& _qstrPath);
    // The entries of the current folder, links as links; false when it cannot be read.
    bool List(std::vector<Entry>& _vecEntries) const;
    // A link here that leads, through folders and links only the user or root control, to a
    // regular file: that file's size. False for any other link, and for what is no link.
    bool LinkedFileSize(const QByteArray& _baName, qint64& _nSize) const;
    // A second name, the same in _to's folder, for the file here (a link gets one itself).
    bool LinkTo(const QByteArray& _baName, const FolderCursor& _to) const;
    // A new file _baName here, made exclusively (never what already sits under the name, a link
    // included) with mode 0666 under the umask, or with the permission bits of the file
    // _baModeOf here when that is a file; _file is opened on it for unbuffered writing.
    bool CreateFile(const QByteArray& _baName, QFile& _file,
                    const QByteArray& _baModeOf = QByteArray()) const;
    // Copies _from's file _baName (or the file a link there leads to, see LinkedFileSize) into a
    // new file _baTemp here with the same permission bits; a leftover under that name is removed
    // first, never written through.
    Result<> CopyIn(const FolderCursor& _from, const QByteArray& _baName, const QByteArray& _baTemp,
                    const std::atomic<bool>* _pStop) const;
    bool RenameOver(const QByteArray& _baFrom, const QByteArray& _baTo) const;
    bool Remove(const QByteArray& _baName) const;

    // Copies what is left of the open file _nFrom to the open file _nTo; fails on an error or
    // once *_pStop is set ("stopped").
    static Result<> CopyBytes(int _nFrom, int _nTo, const std::atomic<bool>* _pStop);

private:
    int Current() const { return m_levels.empty() ? m_nRoot : m_levels.back().nFd; }
    // The file here opened for reading; a link is followed as ClientPath follows a client's path.
    // The descriptor is the caller's to close.
    Result<int> OpenForReading(const QByteArray& _baName) const;
    // Opens (or with _blCreate makes) the folder _baName below the current one into _nFd; Done,
    // or why not.
    Move OpenLevel(const QByteArray& _baName, bool _blCreate, int& _nFd) const;
    static bool SizeOfOpenFile(int _nFd, qint64& _nSize);

    struct Level
    {
        QByteArray baName;
        int nFd;
    };
    int m_nRoot = -1;
    // Where the root is, for links in the tree, which are followed from there.
    QString m_qstrRoot;
    // The open folders from the root down to the current one.
    std::vector<Level> m_levels;
    // What the last Enter reached, when it did: most files share their folder with the last.
    QByteArray m_baFolder;
    bool m_blAtFolder = false;
};
