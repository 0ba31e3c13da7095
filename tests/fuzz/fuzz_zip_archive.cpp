// minizip listing and extraction of an in-memory archive into a temporary folder, as the
// extraction engines do: names judged first, entries streamed through a fixed buffer, at most
// 1 MiB written per input.
#include "install/CZipHelperImp.h"
#include "install/ZipEntryGuard.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _pData, size_t _nSize)
{
    FuzzQuietQt();
    static QTemporaryDir s_work(
        QDir(QFileInfo::exists("/dev/shm") ? "/dev/shm" : QDir::tempPath()).filePath("qorv-fuzz-zip-XXXXXX"));
    const QString archive = s_work.filePath("in.zip");
    const QString destination = s_work.filePath("out");
    {
        QFile file(archive);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(_pData), static_cast<qint64>(_nSize));
    }
    CZipHelperImp zip;
    quint64 total = 0;
    std::vector<ZipEntry> entries;
    if (zip.LoadFileList(QFile::encodeName(archive), total, entries) != CZipHelperImp::ListOk)
        return 0;
    ZipEntryGuard guard(QFile::encodeName(destination));
    for (const ZipEntry& entry : entries)
        if (guard.Check(entry.rawName, entry.name, entry.nameTooLong) != ZipEntryGuard::Ok ||
            entry.sizeUnknown)
            return 0;
    QDir().mkpath(destination);
    std::vector<char> buffer(8192);
    qint64 budget = 1024 * 1024;
    for (const ZipEntry& entry : entries) {
        if (entry.IsFolder())
            continue;
        const QString target =
            destination + QLatin1Char('/') + QFile::decodeName(ZipEntryGuard::Normalise(entry.rawName));
        QDir().mkpath(QFileInfo(target).absolutePath());
        QFile out(target);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            continue;
        quint64 delivered = 0;
        const int read = zip.ReadEntry(
            entry, buffer.data(), static_cast<unsigned>(buffer.size()),
            [&out, &budget](const char* _pChunk, unsigned _nBytes) {
                budget -= _nBytes;
                return budget >= 0 && out.write(_pChunk, _nBytes) == _nBytes;
            },
            delivered);
        // A read that claims success delivered exactly the entry's size.
        if (read == CZipHelperImp::ReadOk)
            FUZZ_CHECK(delivered == entry.size);
        FUZZ_CHECK(delivered <= entry.size);
        if (budget < 0)
            break;
    }
    zip.Close();
    QDir(destination).removeRecursively();
    return 0;
}
