#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

// One entry of a zip archive as its central directory describes it.
struct ZipEntry
{
    QByteArray rawName; // bytes as stored, "\" already turned into "/"
    QString name;       // decoded: UTF-8 when the entry says so, else the local 8-bit code page
    quint64 size = 0;   // uncompressed
    quint32 dosDate = 0;
    bool nameTooLong = false; // did not fit the name buffer; rawName holds only its start
    bool isSymLink = false;   // stored as a Unix symbolic link; extracted as a plain file
    // A size or offset holds the ZIP64 marker and no ZIP64 extra field gives the real value.
    bool sizeUnknown = false;
    // The entry's sizes or offset came from its ZIP64 extra field. This minizip would read the
    // marker as the value, so such an entry is read here, from the fields below.
    bool zip64 = false;
    quint64 compressedSize = 0;
    quint64 localHeaderOffset = 0; // valid when offsetFromExtra; else read from the central header
    bool offsetFromExtra = false;
    quint32 crc = 0;
    quint16 method = 0;
    quint16 flag = 0;
    bool IsFolder() const { return rawName.endsWith('/'); }

    // Where the entry sits in the central directory, so it is reached without a search.
    quint64 posInCentralDir = 0;
    quint64 numFile = 0;
};

// Reads one zip archive through minizip. The archive stays open between calls, and each entry is
// reached through the position recorded while listing, so extracting n entries costs O(n) and not
// O(n^2) as a by-name lookup from the start would.
class CZipHelperImp
{
public:
    enum ListResult {
        ListOk = 0,
        ListEmpty = 1,
        ListGlobalInfoFailed = 2,
        ListOpenFailed = 3,
        ListBroken = 4, // the central directory ended early or an entry could not be read
    };
    enum ReadResult {
        ReadOk = 0,
        ReadInfoFailed = 2,
        ReadOpenFailed = 3,
        ReadError = 4,
        ReadCrcMismatch = 6,
        ReadShort = 7,     // fewer bytes than the entry's size
        ReadSinkFailed = 8 // the consumer refused a chunk (it reports why)
    };

    // Names of this length or more are rejected instead of being cut.
    static constexpr int kNameBufferBytes = 4096;

    CZipHelperImp() = default;
    ~CZipHelperImp();
    CZipHelperImp(const CZipHelperImp&) = delete;
    CZipHelperImp& operator=(const CZipHelperImp&) = delete;

    // Opens the archive (path in the file system's encoding) and lists its entries in archive order.
    int LoadFileList(const QByteArray& _baArchive, quint64& _nTotal, std::vector<ZipEntry>& _vecEntries);

    // Streams one listed entry through _buffer into _sink. _nDelivered counts the bytes handed over.
    // A CRC mismatch or an entry shorter than its size is a failure, never a success.
    int ReadEntry(const ZipEntry& _entry, char* _pBuffer, unsigned _nBufferBytes,
                  const std::function<bool(const char*, unsigned)>& _sink, quint64& _nDelivered);

    void Close();

    // Platform part: the archive file read at offsets, behind the reader's cache. Open refuses
    // what is no regular file; ReadAt gives the bytes read, 0 at the end, -1 on an error.
    struct ArchiveFile
    {
        static bool Open(const char* _szPath, qintptr& _nFile, quint64& _nSize);
        static qint64 ReadAt(qintptr _nFile, char* _pBuffer, size_t _nBytes, quint64 _nOffset);
        static bool Close(qintptr _nFile);
    };

private:
    // Streams a ZIP64 entry from its local header with zlib, checking its size and CRC.
    int ReadZip64Entry(const ZipEntry& _entry, char* _pBuffer, unsigned _nBufferBytes,
                       const std::function<bool(const char*, unsigned)>& _sink, quint64& _nDelivered);

    // unzOpen64 with file functions suited to jumping between entries; an unzFile.
    static void* OpenZip(const QByteArray& _baArchive);

    void* m_pZip = nullptr; // unzFile
    QByteArray m_baArchive;
};
