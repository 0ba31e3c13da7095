#include "install/CZipHelperImp.h"
#include "core/LogCategories.h"

#include <QDebug>
#include <QFile>

#include <minizip/unzip.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
constexpr unsigned kUtf8NameFlag = 1u << 11;
constexpr unsigned kMadeByUnix = 3;
constexpr unsigned long kUnixTypeMask = 0170000;
constexpr unsigned long kUnixSymLink = 0120000;
// Debian's minizip 1.1 compares the ZIP64 marker against (unsigned long)-1, so on 64-bit systems it
// never replaces the marker with the sizes from the extra field.
constexpr quint64 kZip64Marker = 0xffffffffu;
constexpr quint16 kZip64ExtraId = 0x0001;
constexpr unsigned kExtraBufferBytes = 0xffff;
constexpr unsigned kLocalHeaderBytes = 30;
constexpr quint32 kLocalHeaderSignature = 0x04034b50;
constexpr quint16 kStored = 0;
constexpr quint16 kDeflated = 8;
constexpr quint16 kEncryptedFlag = 1;
constexpr unsigned kInputBytes = 64 * 1024;

quint64 LittleEndian(const unsigned char* _p, int _nBytes)
{
    quint64 value = 0;
    for (int i = _nBytes - 1; i >= 0; --i)
        value = (value << 8) | _p[i];
    return value;
}

// The ZIP64 extra field carries, in this order, only the values whose header field holds the
// marker: the sizes, then the local header offset. Absent: the entry does not use ZIP64. Broken: a
// marked size is missing from it.
enum class Zip64Extra { Absent, Read, Broken };

Zip64Extra ReadZip64Extra(const unsigned char* _pExtra, size_t _nLength, ZipEntry& _entry)
{
    size_t at = 0;
    while (at + 4 <= _nLength) {
        const quint16 id = static_cast<quint16>(LittleEndian(_pExtra + at, 2));
        const size_t length = static_cast<size_t>(LittleEndian(_pExtra + at + 2, 2));
        at += 4;
        if (length > _nLength - at)
            return Zip64Extra::Broken;
        if (id != kZip64ExtraId) {
            at += length;
            continue;
        }
        const size_t end = at + length;
        for (quint64* value : {&_entry.size, &_entry.compressedSize}) {
            if (*value != kZip64Marker)
                continue;
            if (at + 8 > end)
                return Zip64Extra::Broken;
            *value = LittleEndian(_pExtra + at, 8);
            at += 8;
        }
        // Only an entry past 4 GiB has its offset here; the others keep it in the central header.
        _entry.offsetFromExtra = at + 8 <= end;
        if (_entry.offsetFromExtra)
            _entry.localHeaderOffset = LittleEndian(_pExtra + at, 8);
        return Zip64Extra::Read;
    }
    return Zip64Extra::Absent;
}

struct InflateEnd
{
    z_stream* stream;
    ~InflateEnd() { inflateEnd(stream); }
};
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
        qCCritical(lcInstall).noquote()
            << "CZipHelperImp::LoadFileList:unzopen " + QString::fromLocal8Bit(_baArchive) + " failed";
        return ListOpenFailed;
    }
    m_pZip = zip;
    unz_global_info64 global;
    if (unzGetGlobalInfo64(zip, &global) != UNZ_OK)
        return ListGlobalInfoFailed;
    int err = unzGoToFirstFile(zip);
    if (err == UNZ_END_OF_LIST_OF_FILE || global.number_entry == 0) {
        qCCritical(lcInstall).noquote()
            << "CZipHelperImp::LoadFileList:file empty " + QString::fromLocal8Bit(_baArchive);
        return ListEmpty;
    }
    std::vector<char> name(kNameBufferBytes);
    std::vector<unsigned char> extra(kExtraBufferBytes);
    while (err == UNZ_OK) {
        unz_file_info64 info;
        err = unzGetCurrentFileInfo64(zip, &info, name.data(), name.size(), extra.data(), extra.size(),
                                      nullptr, 0);
        if (err != UNZ_OK) {
            qCCritical(lcInstall).noquote() << "CZipHelperImp::LoadFileList:unzGetCurrentFileInfo64  in " +
                                                   QString::fromLocal8Bit(_baArchive) + " " +
                                                   QString::number(err);
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
        entry.compressedSize = info.compressed_size;
        entry.crc = static_cast<quint32>(info.crc);
        entry.method = static_cast<quint16>(info.compression_method);
        entry.flag = static_cast<quint16>(info.flag);
        entry.dosDate = static_cast<quint32>(info.dosDate);
        const Zip64Extra zip64 =
            ReadZip64Extra(extra.data(), std::min<size_t>(info.size_file_extra, extra.size()), entry);
        entry.zip64 = zip64 == Zip64Extra::Read;
        entry.sizeUnknown =
            zip64 == Zip64Extra::Broken ||
            (!entry.zip64 && (entry.size == kZip64Marker || entry.compressedSize == kZip64Marker));
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
        qCCritical(lcInstall).noquote()
            << QLatin1String(_vecEntries.empty() ? "CZipHelperImp::LoadFileList:unzGoToFirstFile  in "
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
    if (_entry.zip64)
        return ReadZip64Entry(_entry, _pBuffer, _nBufferBytes, _sink, _nDelivered);
    unzFile zip = static_cast<unzFile>(m_pZip);
    const QString where = _entry.name + " in " + QString::fromLocal8Bit(m_baArchive) + " ";
    unz64_file_pos pos;
    pos.pos_in_zip_directory = _entry.posInCentralDir;
    pos.num_of_file = _entry.numFile;
    int err = zip ? unzGoToFilePos64(zip, &pos) : UNZ_PARAMERROR;
    if (err != UNZ_OK) {
        qCCritical(lcInstall).noquote()
            << "CZipHelperImp::LoadFileBuff:unzGoToFilePos64 " + where + QString::number(err);
        return ReadInfoFailed;
    }
    err = unzOpenCurrentFile(zip);
    if (err != UNZ_OK) {
        qCCritical(lcInstall).noquote()
            << "CZipHelperImp::LoadFileBuff:unzOpenCurrentFile " + where + QString::number(err);
        return ReadOpenFailed;
    }
    int result = ReadOk;
    for (;;) {
        const int got = unzReadCurrentFile(zip, _pBuffer, _nBufferBytes);
        if (got < 0) {
            qCCritical(lcInstall).noquote()
                << "CZipHelperImp::LoadFileBuff:unzReadCurrentFile " + where + QString::number(got);
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
        qCCritical(lcInstall).noquote() << "CZipHelperImp::LoadFileBuff:short entry " + where +
                                               QString::number(_nDelivered) + "/" +
                                               QString::number(_entry.size);
        return ReadShort;
    }
    if (closeErr == UNZ_CRCERROR) {
        qCCritical(lcInstall).noquote() << "CZipHelperImp::LoadFileBuff:crc mismatch " + where;
        return ReadCrcMismatch;
    }
    if (closeErr != UNZ_OK) {
        qCCritical(lcInstall).noquote()
            << "CZipHelperImp::LoadFileBuff:unzCloseCurrentFile " + where + QString::number(closeErr);
        return ReadError;
    }
    return ReadOk;
}

namespace {
bool ReadAt(QFile& _file, quint64 _nOffset, unsigned char* _pOut, qint64 _nBytes)
{
    return _file.seek(static_cast<qint64>(_nOffset)) &&
           _file.read(reinterpret_cast<char*>(_pOut), _nBytes) == _nBytes;
}

// Where the entry's data starts: after its local header, found from the central header's offset.
bool DataStart(QFile& _file, const ZipEntry& _entry, quint64& _nStart)
{
    constexpr quint64 kCentralOffsetField = 42;
    quint64 local = _entry.localHeaderOffset;
    unsigned char field[4];
    if (!_entry.offsetFromExtra) {
        if (!ReadAt(_file, _entry.posInCentralDir + kCentralOffsetField, field, sizeof field))
            return false;
        local = LittleEndian(field, 4);
    }
    unsigned char header[kLocalHeaderBytes];
    if (!ReadAt(_file, local, header, sizeof header) || LittleEndian(header, 4) != kLocalHeaderSignature)
        return false;
    _nStart = local + kLocalHeaderBytes + LittleEndian(header + 26, 2) + LittleEndian(header + 28, 2);
    return true;
}
} // namespace

int CZipHelperImp::ReadZip64Entry(const ZipEntry& _entry, char* _pBuffer, unsigned _nBufferBytes,
                                  const std::function<bool(const char*, unsigned)>& _sink,
                                  quint64& _nDelivered)
{
    const QString where = _entry.name + " in " + QString::fromLocal8Bit(m_baArchive) + " ";
    QFile file(QFile::decodeName(m_baArchive));
    quint64 start = 0;
    if (!file.open(QIODevice::ReadOnly) || !DataStart(file, _entry, start) ||
        (_entry.flag & kEncryptedFlag) || (_entry.method != kStored && _entry.method != kDeflated) ||
        !file.seek(static_cast<qint64>(start))) {
        qCCritical(lcInstall).noquote() << "CZipHelperImp::LoadFileBuff:zip64 local header " + where;
        return ReadOpenFailed;
    }
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return ReadError;
    const InflateEnd end{&stream};
    std::vector<char> input(kInputBytes);
    quint64 unread = _entry.compressedSize;
    uLong crc = crc32(0, nullptr, 0);
    bool streamEnded = false;
    while (!streamEnded) {
        if (stream.avail_in == 0 && unread > 0) {
            const qint64 want = static_cast<qint64>(std::min<quint64>(unread, input.size()));
            if (file.read(input.data(), want) != want) {
                qCCritical(lcInstall).noquote() << "CZipHelperImp::LoadFileBuff:zip64 read " + where;
                return ReadShort;
            }
            unread -= static_cast<quint64>(want);
            stream.next_in = reinterpret_cast<Bytef*>(input.data());
            stream.avail_in = static_cast<uInt>(want);
        }
        const bool inputLeft = stream.avail_in > 0;
        unsigned got = 0;
        if (_entry.method == kStored) {
            got = std::min(stream.avail_in, _nBufferBytes);
            memcpy(_pBuffer, stream.next_in, got);
            stream.next_in += got;
            stream.avail_in -= got;
            streamEnded = unread == 0 && stream.avail_in == 0;
        } else {
            stream.next_out = reinterpret_cast<Bytef*>(_pBuffer);
            stream.avail_out = _nBufferBytes;
            const int err = inflate(&stream, Z_NO_FLUSH);
            streamEnded = err == Z_STREAM_END;
            if (err != Z_OK && !streamEnded && err != Z_BUF_ERROR) {
                qCCritical(lcInstall).noquote()
                    << "CZipHelperImp::LoadFileBuff:zip64 inflate " + where + QString::number(err);
                return ReadError;
            }
            got = _nBufferBytes - stream.avail_out;
            // The compressed bytes ran out before the stream ended.
            if (!streamEnded && got == 0 && !inputLeft)
                break;
        }
        // More than the entry declares is never written: a lying size cannot fill the disk.
        if (got > _entry.size - _nDelivered) {
            qCCritical(lcInstall).noquote()
                << "CZipHelperImp::LoadFileBuff:zip64 entry longer than its size " + where;
            return ReadError;
        }
        if (got == 0)
            continue;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(_pBuffer), got);
        if (!_sink(_pBuffer, got))
            return ReadSinkFailed;
        _nDelivered += got;
    }
    if (_nDelivered != _entry.size) {
        qCCritical(lcInstall).noquote() << "CZipHelperImp::LoadFileBuff:short entry " + where +
                                               QString::number(_nDelivered) + "/" +
                                               QString::number(_entry.size);
        return ReadShort;
    }
    if (crc != _entry.crc) {
        qCCritical(lcInstall).noquote() << "CZipHelperImp::LoadFileBuff:crc mismatch " + where;
        return ReadCrcMismatch;
    }
    return ReadOk;
}

// minizip's file functions: the archive read at offsets through a fixed cache instead of stdio.
// Reaching entries by their recorded positions jumps between the central directory and the
// data, and every stdio jump costs a seek and a fresh read.
namespace {
constexpr size_t kCacheBytes = 128 * 1024;

// Two slots: one tends to hold the central directory, the other the entry being read.
struct Slot
{
    std::vector<char> data = std::vector<char>(kCacheBytes);
    quint64 start = 0;
    size_t length = 0;
    quint64 lastUse = 0;
};

struct Source
{
    qintptr file = -1;
    quint64 size = 0;
    quint64 pos = 0;
    Slot cache[2];
    quint64 uses = 0;
    bool error = false;
};

voidpf ZCALLBACK OpenSource(voidpf, const void* _pFileName, int _nMode)
{
    if (!_pFileName || (_nMode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    qintptr file = -1;
    quint64 size = 0;
    if (!CZipHelperImp::ArchiveFile::Open(static_cast<const char*>(_pFileName), file, size))
        return nullptr;
    auto* source = new Source;
    source->file = file;
    source->size = size;
    return source;
}

uLong ZCALLBACK ReadSource(voidpf, voidpf _pStream, void* _pBuffer, uLong _nSize)
{
    auto* source = static_cast<Source*>(_pStream);
    char* out = static_cast<char*>(_pBuffer);
    uLong done = 0;
    while (done < _nSize) {
        Slot* hit = nullptr;
        for (Slot& slot : source->cache) {
            if (source->pos >= slot.start && source->pos < slot.start + slot.length)
                hit = &slot;
        }
        if (hit) {
            const size_t offset = static_cast<size_t>(source->pos - hit->start);
            const size_t n = std::min<size_t>(hit->length - offset, _nSize - done);
            memcpy(out + done, hit->data.data() + offset, n);
            hit->lastUse = ++source->uses;
            done += n;
            source->pos += n;
            continue;
        }
        // Large reads go straight into the caller's buffer; small ones refill the older slot.
        const size_t want = _nSize - done;
        Slot& victim =
            source->cache[0].lastUse <= source->cache[1].lastUse ? source->cache[0] : source->cache[1];
        char* target = want >= kCacheBytes ? out + done : victim.data.data();
        const qint64 got = CZipHelperImp::ArchiveFile::ReadAt(
            source->file, target, want >= kCacheBytes ? want : kCacheBytes, source->pos);
        if (got < 0) {
            source->error = true;
            break;
        }
        if (got == 0)
            break;
        if (target != victim.data.data()) {
            done += static_cast<uLong>(got);
            source->pos += static_cast<quint64>(got);
        } else {
            victim.start = source->pos;
            victim.length = static_cast<size_t>(got);
        }
    }
    return done;
}

uLong ZCALLBACK WriteSource(voidpf, voidpf, const void*, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK TellSource(voidpf, voidpf _pStream)
{
    return static_cast<Source*>(_pStream)->pos;
}

long ZCALLBACK SeekSource(voidpf, voidpf _pStream, ZPOS64_T _nOffset, int _nOrigin)
{
    auto* source = static_cast<Source*>(_pStream);
    switch (_nOrigin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        source->pos = _nOffset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_CUR:
        source->pos += _nOffset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_END:
        source->pos = source->size + _nOffset;
        return 0;
    default:
        return -1;
    }
}

int ZCALLBACK CloseSource(voidpf, voidpf _pStream)
{
    auto* source = static_cast<Source*>(_pStream);
    const int result = CZipHelperImp::ArchiveFile::Close(source->file) ? 0 : -1;
    delete source;
    return result;
}

int ZCALLBACK ErrorSource(voidpf, voidpf _pStream)
{
    return static_cast<Source*>(_pStream)->error ? 1 : 0;
}
} // namespace

void* CZipHelperImp::OpenZip(const QByteArray& _baArchive)
{
    zlib_filefunc64_def functions;
    functions.zopen64_file = OpenSource;
    functions.zread_file = ReadSource;
    functions.zwrite_file = WriteSource;
    functions.ztell64_file = TellSource;
    functions.zseek64_file = SeekSource;
    functions.zclose_file = CloseSource;
    functions.zerror_file = ErrorSource;
    functions.opaque = nullptr;
    return unzOpen2_64(_baArchive.constData(), &functions);
}
