// Reads the archive with pread(2) through a fixed cache instead of stdio: reaching entries by their
// recorded positions jumps between the central directory and the data, and every stdio jump costs
// an lseek and a fresh read (Windows would read through ReadFile with an OVERLAPPED offset).
#include "install/CZipHelperImp.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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
    int fd = -1;
    quint64 size = 0;
    quint64 pos = 0;
    Slot slots[2];
    quint64 uses = 0;
    bool error = false;
};

voidpf ZCALLBACK OpenSource(voidpf, const void* _pFileName, int _nMode)
{
    if (!_pFileName || (_nMode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    const int fd = open(static_cast<const char*>(_pFileName), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    auto* source = new Source;
    source->fd = fd;
    source->size = static_cast<quint64>(st.st_size);
    return source;
}

uLong ZCALLBACK ReadSource(voidpf, voidpf _pStream, void* _pBuffer, uLong _nSize)
{
    auto* source = static_cast<Source*>(_pStream);
    char* out = static_cast<char*>(_pBuffer);
    uLong done = 0;
    while (done < _nSize) {
        Slot* hit = nullptr;
        for (Slot& slot : source->slots) {
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
            source->slots[0].lastUse <= source->slots[1].lastUse ? source->slots[0] : source->slots[1];
        char* target = want >= kCacheBytes ? out + done : victim.data.data();
        const ssize_t got = pread(source->fd, target, want >= kCacheBytes ? want : kCacheBytes,
                                  static_cast<off_t>(source->pos));
        if (got < 0) {
            if (errno == EINTR)
                continue;
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
    const int result = close(source->fd);
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
