#include "install/CZipHelperImp.h"

#include <QDebug>

#include <minizip/unzip.h>

#include <vector>

namespace {
constexpr unsigned kUtf8NameFlag = 1u << 11;
constexpr unsigned kMadeByUnix = 3;
constexpr unsigned long kUnixTypeMask = 0170000;
constexpr unsigned long kUnixSymLink = 0120000;
// Debian's minizip 1.1 compares the ZIP64 marker against (unsigned long)-1, so on 64-bit systems it
// never replaces the marker with the sizes from the extra field.
constexpr quint64 kZip64Marker = 0xffffffffu;
} // namespace

CZipHelperImp::~CZipHelperImp()
{
    Close();
}

void CZipHelperImp::Close()
{
    if (m_pZip) {
        unzClose(static_cast<unzFile>(m_pZip));
        m_pZip = nullptr;
    }
}

int CZipHelperImp::LoadFileList(const QByteArray& _baArchive, quint64& _nTotal,
                                std::vector<ZipEntry>& _vecEntries)
{
    Close();
    _nTotal = 0;
    _vecEntries.clear();
    m_baArchive = _baArchive;
    unzFile zip = static_cast<unzFile>(OpenZip(_baArchive));
    if (!zip) {
        qCritical().noquote() << "CZipHelperImp::LoadFileList:unzopen " + QString::fromLocal8Bit(_baArchive) +
                                     " failed";
        return ListOpenFailed;
    }
    m_pZip = zip;
    unz_global_info64 global;
    if (unzGetGlobalInfo64(zip, &global) != UNZ_OK)
        return ListGlobalInfoFailed;
    int err = unzGoToFirstFile(zip);
    if (err == UNZ_END_OF_LIST_OF_FILE || global.number_entry == 0) {
        qCritical().noquote() << "CZipHelperImp::LoadFileList:file empty " +
                                     QString::fromLocal8Bit(_baArchive);
        return ListEmpty;
    }
    std::vector<char> name(kNameBufferBytes);
    while (err == UNZ_OK) {
        unz_file_info64 info;
        err = unzGetCurrentFileInfo64(zip, &info, name.data(), name.size(), nullptr, 0, nullptr, 0);
        if (err != UNZ_OK) {
            qCritical().noquote() << "CZipHelperImp::LoadFileList:unzGetCurrentFileInfo64  in " +
                                         QString::fromLocal8Bit(_baArchive) + " " + QString::number(err);
            return ListBroken;
        }
        unz64_file_pos pos;
        unzGetFilePos64(zip, &pos);
        ZipEntry entry;
        // minizip copies at most the buffer and terminates only names that fit.
        entry.nameTooLong = info.size_filename >= name.size();
        const size_t length = entry.nameTooLong ? name.size() : info.size_filename;
        entry.rawName = QByteArray(name.data(), static_cast<int>(length)).replace('\\', '/');
        entry.name = (info.flag & kUtf8NameFlag) ? QString::fromUtf8(entry.rawName)
                                                 : QString::fromLocal8Bit(entry.rawName);
        entry.size = info.uncompressed_size;
        entry.dosDate = static_cast<quint32>(info.dosDate);
        entry.sizeUnknown = info.uncompressed_size == kZip64Marker || info.compressed_size == kZip64Marker;
        entry.isSymLink =
            (info.version >> 8) == kMadeByUnix && ((info.external_fa >> 16) & kUnixTypeMask) == kUnixSymLink;
        entry.posInCentralDir = pos.pos_in_zip_directory;
        entry.numFile = pos.num_of_file;
        _nTotal += entry.size;
        _vecEntries.push_back(std::move(entry));
        err = unzGoToNextFile(zip);
    }
    if (err != UNZ_END_OF_LIST_OF_FILE) {
        // A partial listing would extract part of the archive and call it done.
        qCritical().noquote() << QLatin1String(_vecEntries.empty()
                                                   ? "CZipHelperImp::LoadFileList:unzGoToFirstFile  in "
                                                   : "CZipHelperImp::LoadFileList:unzGoToNextFile  in ") +
                                     QString::fromLocal8Bit(_baArchive) + " " + QString::number(err);
        return ListBroken;
    }
    return ListOk;
}

int CZipHelperImp::ReadEntry(const ZipEntry& _entry, char* _pBuffer, unsigned _nBufferBytes,
                             const std::function<bool(const char*, unsigned)>& _sink, quint64& _nDelivered)
{
    _nDelivered = 0;
    unzFile zip = static_cast<unzFile>(m_pZip);
    const QString where = _entry.name + " in " + QString::fromLocal8Bit(m_baArchive) + " ";
    unz64_file_pos pos;
    pos.pos_in_zip_directory = _entry.posInCentralDir;
    pos.num_of_file = _entry.numFile;
    int err = zip ? unzGoToFilePos64(zip, &pos) : UNZ_PARAMERROR;
    if (err != UNZ_OK) {
        qCritical().noquote() << "CZipHelperImp::LoadFileBuff:unzGoToFilePos64 " + where +
                                     QString::number(err);
        return ReadInfoFailed;
    }
    err = unzOpenCurrentFile(zip);
    if (err != UNZ_OK) {
        qCritical().noquote() << "CZipHelperImp::LoadFileBuff:unzOpenCurrentFile " + where +
                                     QString::number(err);
        return ReadOpenFailed;
    }
    int result = ReadOk;
    for (;;) {
        const int got = unzReadCurrentFile(zip, _pBuffer, _nBufferBytes);
        if (got < 0) {
            qCritical().noquote() << "CZipHelperImp::LoadFileBuff:unzReadCurrentFile " + where +
                                         QString::number(got);
            result = ReadError;
            break;
        }
        if (got == 0)
            break;
        if (!_sink(_pBuffer, static_cast<unsigned>(got))) {
            result = ReadSinkFailed;
            break;
        }
        _nDelivered += static_cast<quint64>(got);
    }
    // minizip compares the CRC on close, but only once every byte of the entry was read.
    const int closeErr = unzCloseCurrentFile(zip);
    if (result != ReadOk)
        return result;
    if (_nDelivered != _entry.size) {
        qCritical().noquote() << "CZipHelperImp::LoadFileBuff:short entry " + where +
                                     QString::number(_nDelivered) + "/" + QString::number(_entry.size);
        return ReadShort;
    }
    if (closeErr == UNZ_CRCERROR) {
        qCritical().noquote() << "CZipHelperImp::LoadFileBuff:crc mismatch " + where;
        return ReadCrcMismatch;
    }
    if (closeErr != UNZ_OK) {
        qCritical().noquote() << "CZipHelperImp::LoadFileBuff:unzCloseCurrentFile " + where +
                                     QString::number(closeErr);
        return ReadError;
    }
    return ReadOk;
}
