#include "install/ZlibHelper.h"
#include "core/LogCategories.h"

#include "core/FillPlaceholders.h"
#include "core/ServiceThread.h"
#include "install/CZipHelperImp.h"
#include "install/ZipEntryGuard.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

namespace {
// Partial output of an entry goes here first when a file is already at the target, so a broken
// entry never costs the old file.
QString PartPath(const QString& _qstrFolder, QFile& _file)
{
    for (int n = 0;; ++n) {
        const QString path = _qstrFolder + QStringLiteral("/.qorv-unzip-%1.part").arg(n);
        _file.setFileName(path);
        // NewOnly never follows or reuses what is there; pick the next name instead.
        if (_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            return path;
        if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink())
            return QString();
        if (n > 100)
            return QString();
    }
}

struct FileCloser
{
    void operator()(FILE* _pFile) const
    {
        if (_pFile)
            fclose(_pFile);
    }
};
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
    int running = Running;
    if (m_nState.compare_exchange_strong(running, Ended)) {
        m_qstrLastError = ErrorText(tr("USER_STOPED"));
        emit signErrorOccurred(m_qstrLastError, m_qstrId);
    }
    qCDebug(lcInstall) << "CancelUnzipTask ok";
    m_blFinished = false;
}

void ZlibHelper::Prepare(const QString& _qstrId)
{
    CancelUnzipTask();
    m_blStop = false;
    m_qstrLastError.clear();
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
    std::vector<QString> relative(entries.size());
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
        relative[i] = QFile::decodeName(ZipEntryGuard::Normalise(diskName));
    }

    qCDebug(lcInstall).noquote() << "file:" + _qstrArchive + " totalsize:" + QString::number(total);
    if (m_blStop)
        return Fail(tr("USER_STOPED"));
    emit signUnzipProgress(0, static_cast<qint64>(total), m_qstrId);

    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(),
              [&entries](size_t _a, size_t _b) { return entries[_a].rawName < entries[_b].rawName; });

    std::vector<char> buffer(kFirstEngineChunkBytes);
    QSet<QString> setFolders; // folders known to exist, so each is created once
    quint64 written = 0;
    const QString root = QDir::cleanPath(_qstrDestination);
    for (const size_t index : order) {
        if (m_blStop)
            return Fail(tr("USER_STOPED"));
        const ZipEntry& entry = entries[index];
        const QString target = root + QLatin1Char('/') + relative[index];
        qCDebug(lcInstall).noquote() << "file:" + ZipEntryGuard::Printable(entry.name) +
                                            " size:" + QString::number(entry.size) +
                                            " dosDate:" + QString::number(entry.dosDate);
        if (entry.isSymLink)
            qCWarning(lcInstall).noquote()
                << "ZlibHelper::unzip:link entry written as a plain file:" + target;

        const QString folder = QFileInfo(target).absolutePath();
        if (!setFolders.contains(folder)) {
            if (!QDir().mkpath(folder))
                return Fail(FillPlaceholders(tr("CREATE_PATH_FAILED"), folder));
            setFolders.insert(folder);
        }
        if (entry.IsFolder()) {
            if (!QFileInfo(target).isDir() && !QDir().mkpath(target))
                return Fail(FillPlaceholders(tr("CREATE_PATH_FAILED"), target));
            continue;
        }

        // Creating exclusively tells in one step whether something is already there.
        QFile file(target);
        QString writing = target;
        const bool blReplace = !file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered);
        if (blReplace) {
            const QFileInfo targetInfo(target);
            if (!targetInfo.exists() && !targetInfo.isSymLink())
                return Fail(FillPlaceholders(tr("OPEN_FILE_FAILED"), target));
            // A folder in the way is never a file to overwrite (nor to make write-only).
            if (targetInfo.isDir() && !targetInfo.isSymLink())
                return Fail(FillPlaceholders(tr("REMOVE_FILE_FAILED"), target));
            writing = PartPath(folder, file);
            if (writing.isEmpty())
                return Fail(FillPlaceholders(tr("OPEN_FILE_FAILED"), target));
        }
        qint64 bytesWritten = 0;
        const auto sink = [this, &file, &bytesWritten](const char* _pData, unsigned _nBytes) {
            // A stop abandons even a large entry at once; its partial file goes below.
            if (m_blStop)
                return false;
            const qint64 n = file.write(_pData, _nBytes);
            if (n > 0)
                bytesWritten += n;
            return n == static_cast<qint64>(_nBytes);
        };
        quint64 delivered = 0;
        const int read = zip.ReadEntry(entry, buffer.data(), kFirstEngineChunkBytes, sink, delivered);
        file.close();
        if (read != CZipHelperImp::ReadOk) {
            QFile::remove(writing);
            if (read == CZipHelperImp::ReadSinkFailed && m_blStop)
                return Fail(tr("USER_STOPED"));
            const QString name = ZipEntryGuard::Printable(entry.name);
            if (read == CZipHelperImp::ReadSinkFailed)
                return Fail(FillPlaceholders(tr("WRITE_FILE_FAILED"), _qstrArchive + name, target,
                                             QString::number(bytesWritten)));
            if (read == CZipHelperImp::ReadInfoFailed)
                return Fail(
                    FillPlaceholders(tr("LOAD_FAILED_CANOT_GET_FILE_SIZE"), name, QString::number(read)));
            return Fail(FillPlaceholders(tr("LOAD_BUFFER_FAILED"), name, QString::number(read)));
        }
        if (blReplace) {
            // The old file goes only once the new one is complete and checked.
            if (!QFile::setPermissions(target, QFileDevice::WriteOwner | QFileDevice::WriteUser |
                                                   QFileDevice::WriteGroup | QFileDevice::WriteOther)) {
                QFile::remove(writing);
                return Fail(FillPlaceholders(tr("SET_PERMISSION_FAILED"), target));
            }
            if (!QFile::remove(target)) {
                QFile::remove(writing);
                return Fail(FillPlaceholders(tr("REMOVE_FILE_FAILED"), target));
            }
            if (!QFile::rename(writing, target)) {
                QFile::remove(writing);
                return Fail(FillPlaceholders(tr("OPEN_FILE_FAILED"), target));
            }
        }
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

    std::vector<char> buffer(kSecondEngineChunkBytes);
    quint64 count = 0;
    std::filesystem::path lastParent; // entries of one folder usually follow each other
    for (const ZipEntry& entry : entries) {
        // A stop ends the run here; CancelUnzipTask reports it.
        if (m_blStop)
            return;
        const QString name = ZipEntryGuard::Printable(entry.name);
        // Empty folders are not created; folders come into being for the files inside them.
        if (entry.size == 0 && entry.IsFolder())
            continue;
        const QByteArray target = destination + ZipEntryGuard::Normalise(entry.rawName);
        const std::filesystem::path parent = std::filesystem::path(target.constData()).parent_path();
        if (parent != lastParent) {
            std::error_code ec;
            std::filesystem::create_directories(parent, ec);
            if (ec)
                return Fail(QStringLiteral("ubable to open sub file:") + name);
            lastParent = parent;
        }
        std::unique_ptr<FILE, FileCloser> out(fopen(target.constData(), "wb"));
        if (!out)
            return Fail(QStringLiteral("unable to create output file:") + QString::fromUtf8(target));
        // Chunks are written whole; a stdio buffer would only split them.
        setvbuf(out.get(), nullptr, _IONBF, 0);
        const auto sink = [this, &out, &count, total](const char* _pData, unsigned _nBytes) {
            // Stopping within a chunk keeps the stopping thread from waiting for a large entry.
            if (m_blStop || fwrite(_pData, 1, _nBytes, out.get()) != _nBytes)
                return false;
            count += _nBytes;
            emit signUnzipProgress(static_cast<qint64>(count), static_cast<qint64>(total), m_qstrId);
            return true;
        };
        quint64 delivered = 0;
        int read = zip.ReadEntry(entry, buffer.data(), kSecondEngineChunkBytes, sink, delivered);
        // A full disk may only show when the last buffered bytes are flushed.
        if (fclose(out.release()) != 0 && read == CZipHelperImp::ReadOk)
            read = CZipHelperImp::ReadSinkFailed;
        if (read == CZipHelperImp::ReadOk)
            continue;
        std::remove(target.constData());
        if (m_blStop)
            return;
        if (read == CZipHelperImp::ReadSinkFailed)
            return Fail(QStringLiteral("unable to write output file:") + QString::fromUtf8(target));
        if (read == CZipHelperImp::ReadOpenFailed)
            return Fail(QStringLiteral("ubable to open sub file:") + name);
        if (read == CZipHelperImp::ReadInfoFailed)
            return Fail(QStringLiteral("unable to obtain file info:") + name);
        return Fail(QStringLiteral("unable to read sub file:") + name);
    }
    zip.Close();
    Finish();
}
