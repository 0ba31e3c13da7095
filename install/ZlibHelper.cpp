#include "install/ZlibHelper.h"
#include "core/LogCategories.h"

#include "core/FillPlaceholders.h"
#include "core/ServiceThread.h"
#include "install/CZipHelperImp.h"
#include "install/FolderCursor.h"
#include "install/ZipEntryGuard.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <vector>

namespace {
// One entry's output file, made in its folder through the cursor, so no link in the destination is
// ever written through. It is made exclusively under its own name; when something is already
// there, under a part name beside it that takes the name only once complete, so a broken entry
// never costs the old file and a link there is replaced, never followed.
class EntryOutput
{
public:
    enum Opened { Created, Replacing, TakenByFolder, Failed };

    // _blKeepMode: a file that replaces a file keeps its permission bits.
    Opened Open(const FolderCursor& _cursor, const QByteArray& _baName, bool _blKeepMode)
    {
        m_pCursor = &_cursor;
        m_baName = _baName;
        m_baWriting = _baName;
        if (_cursor.CreateFile(_baName, m_file))
            return Created;
        const FolderCursor::Kind kind = _cursor.KindOf(_baName);
        if (kind == FolderCursor::Kind::None)
            return Failed;
        // A folder in the way is never a file to replace.
        if (kind == FolderCursor::Kind::Folder)
            return TakenByFolder;
        for (int n = 0; n <= 100; ++n) {
            m_baWriting = ".qorv-unzip-" + QByteArray::number(n) + ".part";
            if (_cursor.CreateFile(m_baWriting, m_file, _blKeepMode ? _baName : QByteArray()))
                return Replacing;
            // Only a name already taken makes the next one worth a try.
            if (_cursor.KindOf(m_baWriting) == FolderCursor::Kind::None)
                break;
        }
        m_baWriting.clear();
        return Failed;
    }

    qint64 Write(const char* _pData, unsigned _nBytes) { return m_file.write(_pData, _nBytes); }
    // False when the last bytes could not be put down (a full disk may only show here).
    bool Close()
    {
        m_file.close();
        return m_file.error() == QFileDevice::NoError;
    }
    bool Commit()
    {
        if (m_baWriting == m_baName || m_pCursor->RenameOver(m_baWriting, m_baName))
            return true;
        Discard();
        return false;
    }
    void Discard()
    {
        m_file.close();
        if (!m_baWriting.isEmpty())
            m_pCursor->Remove(m_baWriting);
    }

private:
    const FolderCursor* m_pCursor = nullptr;
    QFile m_file;
    QByteArray m_baName;
    QByteArray m_baWriting;
};

// "a/b/c.txt" -> the folder "/a/b" as FolderCursor names it, and the name "c.txt".
void Split(const QByteArray& _baRelative, QByteArray& _baFolder, QByteArray& _baName)
{
    const int slash = _baRelative.lastIndexOf('/');
    _baFolder = slash < 0 ? QByteArray() : '/' + _baRelative.left(slash);
    _baName = _baRelative.mid(slash + 1);
}
} // namespace

ZlibHelper::ZlibHelper(QObject* _pParent) : QObject(_pParent)
{
    // Progress crosses threads in queued connections.
    qRegisterMetaType<qint64>("qint64");
}

ZlibHelper::~ZlibHelper()
{
    qCDebug(lcInstall) << "~ZlibHelper()";
    CancelUnzipTask();
}

QString ZlibHelper::ErrorText(const QString& _qstrDetail)
{
    return tr("UNZIP_PACKAGE_FAILED") + QLatin1Char('|') + _qstrDetail;
}

void ZlibHelper::JoinThread(std::thread& _thread, const char* _szNone)
{
    if (!_thread.joinable()) {
        qCDebug(lcInstall) << _szNone;
        return;
    }
    if (_thread.get_id() == std::this_thread::get_id()) {
        // Joining itself would throw; the owner broke the rule stated in the header.
        qCCritical(lcInstall) << "ZlibHelper::CancelUnzipTask:called from the extraction thread";
        _thread.detach();
        return;
    }
    _thread.join();
}

void ZlibHelper::CancelUnzipTask()
{
    m_blStop = true;
    JoinThread(m_threadUnzip, "join failed!");
    JoinThread(m_threadUnzipV2, "V2 join failed!");
    ReportStopped();
    qCDebug(lcInstall) << "CancelUnzipTask ok";
    m_blFinished = false;
}

void ZlibHelper::Prepare(const QString& _qstrId)
{
    CancelUnzipTask();
    m_blStop = false;
    m_qstrLastError.clear();
    m_destination = ClientPath();
    m_qstrId = _qstrId;
    m_nState = Running;
}

void ZlibHelper::startUnzip(const QString& _qstrArchive, const QString& _qstrDestination,
                            const QString& _qstrId)
{
    Prepare(_qstrId);
    m_threadUnzip = StartServiceThread(&ZlibHelper::RunFirstEngine, this, _qstrArchive, _qstrDestination);
}

void ZlibHelper::startUnzipV2(const QString& _qstrArchive, const QString& _qstrDestination,
                              const QString& _qstrId)
{
    Prepare(_qstrId);
    m_threadUnzipV2 = StartServiceThread(&ZlibHelper::RunSecondEngine, this, _qstrArchive.toUtf8(),
                                         _qstrDestination.toUtf8());
}

void ZlibHelper::ReportStopped()
{
    // Whichever comes first, the stopped run's thread or the thread that joins it, says so once.
    int running = Running;
    if (m_nState.compare_exchange_strong(running, Ended)) {
        m_qstrLastError = ErrorText(tr("USER_STOPED"));
        emit signErrorOccurred(m_qstrLastError, m_qstrId);
    }
}

void ZlibHelper::Fail(const QString& _qstrDetail)
{
    m_qstrLastError = ErrorText(_qstrDetail);
    qCCritical(lcInstall).noquote() << m_qstrLastError;
    m_nState = Ended;
    emit signErrorOccurred(m_qstrLastError, m_qstrId);
}

void ZlibHelper::Finish()
{
    m_blFinished = true;
    m_nState = Ended;
    emit signUnzipFinished(m_qstrId);
}

void ZlibHelper::RunFirstEngine(const QString& _qstrArchive, const QString& _qstrDestination)
{
    qCWarning(lcInstall).noquote() << "unzip " + _qstrArchive + " to" + _qstrDestination;
    CZipHelperImp zip;
    quint64 total = 0;
    std::vector<ZipEntry> entries;
    const int listed = zip.LoadFileList(QFile::encodeName(_qstrArchive), total, entries);
    if (listed != CZipHelperImp::ListOk)
        return Fail(FillPlaceholders(tr("QUERY_FILE_LIST_FAILED"), _qstrArchive, QString::number(listed)));

    // Every name is judged before the first byte is written.
    ZipEntryGuard guard(QFile::encodeName(_qstrDestination));
    std::vector<QByteArray> relative(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const ZipEntry& entry = entries[i];
        const QByteArray diskName = QFile::encodeName(entry.name);
        const ZipEntryGuard::Verdict verdict = guard.Check(diskName, entry.name, entry.nameTooLong);
        if (verdict != ZipEntryGuard::Ok) {
            qCCritical(lcInstall).noquote()
                << "ZlibHelper::unzip:refused entry:" + ZipEntryGuard::Printable(entry.name) + ":" +
                       ZipEntryGuard::Describe(verdict);
            return Fail(FillPlaceholders(tr("UNSAFE_ENTRY_NAME"), ZipEntryGuard::Printable(entry.name)));
        }
        if (entry.sizeUnknown)
            return Fail(FillPlaceholders(tr("LOAD_FAILED_CANOT_GET_FILE_SIZE"),
                                         ZipEntryGuard::Printable(entry.name),
                                         QString::number(CZipHelperImp::ReadInfoFailed)));
        relative[i] = ZipEntryGuard::Normalise(diskName);
    }

    qCDebug(lcInstall).noquote() << "file:" + _qstrArchive + " totalsize:" + QString::number(total);
    if (m_blStop)
        return Fail(tr("USER_STOPED"));
    // Everything below is written through this folder's descriptor, never by path again.
    m_destination = ClientPath::OpenFolder(_qstrDestination, true);
    if (!m_destination.IsValid())
        return Fail(FillPlaceholders(tr("CREATE_PATH_FAILED"), m_destination.Error()));
    FolderCursor cursor(m_destination);
    emit signUnzipProgress(0, static_cast<qint64>(total), m_qstrId);

    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(),
              [&entries](size_t _a, size_t _b) { return entries[_a].rawName < entries[_b].rawName; });

    std::vector<char> buffer(kFirstEngineChunkBytes);
    quint64 written = 0;
    const QString root = QDir::cleanPath(_qstrDestination);
    QByteArray folder;
    QByteArray name;
    for (const size_t index : order) {
        if (m_blStop)
            return Fail(tr("USER_STOPED"));
        const ZipEntry& entry = entries[index];
        const QString target = root + QLatin1Char('/') + QFile::decodeName(relative[index]);
        qCDebug(lcInstall).noquote() << "file:" + ZipEntryGuard::Printable(entry.name) +
                                            " size:" + QString::number(entry.size) +
                                            " dosDate:" + QString::number(entry.dosDate);
        if (entry.isSymLink)
            qCWarning(lcInstall).noquote()
                << "ZlibHelper::unzip:link entry written as a plain file:" + target;

        Split(relative[index], folder, name);
        if (cursor.Enter(folder, true) != FolderCursor::Move::Done)
            return Fail(FillPlaceholders(tr("CREATE_PATH_FAILED"), root + QFile::decodeName(folder)));
        if (entry.IsFolder()) {
            if (cursor.Enter(folder + '/' + name, true) != FolderCursor::Move::Done)
                return Fail(FillPlaceholders(tr("CREATE_PATH_FAILED"), target));
            continue;
        }

        EntryOutput output;
        const EntryOutput::Opened opened = output.Open(cursor, name, false);
        if (opened == EntryOutput::TakenByFolder)
            return Fail(FillPlaceholders(tr("REMOVE_FILE_FAILED"), target));
        if (opened == EntryOutput::Failed)
            return Fail(FillPlaceholders(tr("OPEN_FILE_FAILED"), target));
        qint64 bytesWritten = 0;
        const auto sink = [this, &output, &bytesWritten](const char* _pData, unsigned _nBytes) {
            // A stop abandons even a large entry at once; its partial file goes below.
            if (m_blStop)
                return false;
            const qint64 n = output.Write(_pData, _nBytes);
            if (n > 0)
                bytesWritten += n;
            return n == static_cast<qint64>(_nBytes);
        };
        quint64 delivered = 0;
        int read = zip.ReadEntry(entry, buffer.data(), kFirstEngineChunkBytes, sink, delivered);
        if (!output.Close() && read == CZipHelperImp::ReadOk)
            read = CZipHelperImp::ReadSinkFailed;
        if (read != CZipHelperImp::ReadOk) {
            output.Discard();
            if (read == CZipHelperImp::ReadSinkFailed && m_blStop)
                return Fail(tr("USER_STOPED"));
            const QString printable = ZipEntryGuard::Printable(entry.name);
            if (read == CZipHelperImp::ReadSinkFailed)
                return Fail(FillPlaceholders(tr("WRITE_FILE_FAILED"), _qstrArchive + printable, target,
                                             QString::number(bytesWritten)));
            if (read == CZipHelperImp::ReadInfoFailed)
                return Fail(FillPlaceholders(tr("LOAD_FAILED_CANOT_GET_FILE_SIZE"), printable,
                                             QString::number(read)));
            return Fail(FillPlaceholders(tr("LOAD_BUFFER_FAILED"), printable, QString::number(read)));
        }
        // The old file goes only once the new one is complete and checked.
        if (!output.Commit())
            return Fail(FillPlaceholders(tr("OPEN_FILE_FAILED"), target));
        written += entry.size;
        qCDebug(lcInstall).noquote() << "progress:" + QString::number(written) + "/" + QString::number(total);
        emit signUnzipProgress(static_cast<qint64>(written), static_cast<qint64>(total), m_qstrId);
    }
    qCDebug(lcInstall).noquote() << "signUnzipFinished! " + _qstrDestination;
    Finish();
}

void ZlibHelper::RunSecondEngine(const QByteArray& _baArchive, const QByteArray& _baDestination)
{
    const QString archive = QString::fromUtf8(_baArchive);
    // Targets are the destination joined with the name; without the separator they would land
    // beside the destination folder instead of in it.
    const QByteArray destination = _baDestination.endsWith('/') ? _baDestination : _baDestination + '/';
    CZipHelperImp zip;
    quint64 total = 0;
    std::vector<ZipEntry> entries;
    const int listed = zip.LoadFileList(_baArchive, total, entries);
    if (listed == CZipHelperImp::ListOpenFailed || listed == CZipHelperImp::ListGlobalInfoFailed)
        return Fail(QStringLiteral("failed to open zip file:") + archive);
    if (listed == CZipHelperImp::ListEmpty)
        return Fail(QStringLiteral("can not find any subs in zip file:") + archive);
    if (listed != CZipHelperImp::ListOk) {
        const QString last = entries.empty() ? archive : ZipEntryGuard::Printable(entries.back().name);
        return Fail(QStringLiteral("unable to obtain file info:") + last);
    }

    ZipEntryGuard guard(destination);
    for (const ZipEntry& entry : entries) {
        const ZipEntryGuard::Verdict verdict = guard.Check(entry.rawName, entry.name, entry.nameTooLong);
        if (verdict != ZipEntryGuard::Ok) {
            qCCritical(lcInstall).noquote()
                << "ZlibHelper::unzipV2:refused entry:" + ZipEntryGuard::Printable(entry.name) + ":" +
                       ZipEntryGuard::Describe(verdict);
            return Fail(QStringLiteral("unsafe entry name:") + ZipEntryGuard::Printable(entry.name));
        }
        if (entry.sizeUnknown)
            return Fail(QStringLiteral("unable to obtain file info:") + ZipEntryGuard::Printable(entry.name));
    }

    m_destination = ClientPath::OpenFolder(QString::fromUtf8(_baDestination), true);
    if (!m_destination.IsValid())
        return Fail(QStringLiteral("ubable to open sub file:") + m_destination.Error());
    FolderCursor cursor(m_destination);
    std::vector<char> buffer(kSecondEngineChunkBytes);
    quint64 count = 0;
    QByteArray folder;
    QByteArray name;
    for (const ZipEntry& entry : entries) {
        if (m_blStop)
            return ReportStopped();
        const QString printable = ZipEntryGuard::Printable(entry.name);
        // Empty folders are not created; folders come into being for the files inside them.
        if (entry.size == 0 && entry.IsFolder())
            continue;
        const QByteArray relative = ZipEntryGuard::Normalise(entry.rawName);
        const QByteArray target = destination + relative;
        // Entries of one folder usually follow each other: the cursor stays where it is.
        Split(relative, folder, name);
        if (cursor.Enter(folder, true) != FolderCursor::Move::Done)
            return Fail(QStringLiteral("ubable to open sub file:") + printable);
        EntryOutput output;
        const EntryOutput::Opened opened = output.Open(cursor, name, true);
        if (opened == EntryOutput::Failed || opened == EntryOutput::TakenByFolder)
            return Fail(QStringLiteral("unable to create output file:") + QString::fromUtf8(target));
        const auto sink = [this, &output, &count, total](const char* _pData, unsigned _nBytes) {
            // Stopping within a chunk keeps the stopping thread from waiting for a large entry.
            if (m_blStop || output.Write(_pData, _nBytes) != static_cast<qint64>(_nBytes))
                return false;
            count += _nBytes;
            emit signUnzipProgress(static_cast<qint64>(count), static_cast<qint64>(total), m_qstrId);
            return true;
        };
        quint64 delivered = 0;
        int read = zip.ReadEntry(entry, buffer.data(), kSecondEngineChunkBytes, sink, delivered);
        if (!output.Close() && read == CZipHelperImp::ReadOk)
            read = CZipHelperImp::ReadSinkFailed;
        if (read == CZipHelperImp::ReadOk) {
            if (!output.Commit())
                return Fail(QStringLiteral("unable to write output file:") + QString::fromUtf8(target));
            continue;
        }
        output.Discard();
        if (m_blStop)
            return ReportStopped();
        if (read == CZipHelperImp::ReadSinkFailed)
            return Fail(QStringLiteral("unable to write output file:") + QString::fromUtf8(target));
        if (read == CZipHelperImp::ReadOpenFailed)
            return Fail(QStringLiteral("ubable to open sub file:") + printable);
        if (read == CZipHelperImp::ReadInfoFailed)
            return Fail(QStringLiteral("unable to obtain file info:") + printable);
        return Fail(QStringLiteral("unable to read sub file:") + printable);
    }
    zip.Close();
    Finish();
}
