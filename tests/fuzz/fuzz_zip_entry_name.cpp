// The zip entry-name guard: a name it lets through, normalised, stays inside the destination.
#include "install/ZipEntryGuard.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QDir>
#include <QFile>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _pData, size_t _nSize)
{
    FuzzQuietQt();
    static const QByteArray s_destination = QFile::encodeName(QDir::tempPath()) + "/qorv-fuzz-dest/";
    const QByteArray raw(reinterpret_cast<const char*>(_pData), static_cast<int>(_nSize));
    ZipEntryGuard guard(s_destination);
    const QString name = QString::fromUtf8(raw);
    if (guard.Check(raw, name, false) != ZipEntryGuard::Ok)
        return 0;
    const QByteArray relative = ZipEntryGuard::Normalise(raw);
    const QString joined = QDir::cleanPath(QFile::decodeName(s_destination + relative));
    FUZZ_CHECK(joined.startsWith(QFile::decodeName(s_destination)) ||
               joined == QFile::decodeName(s_destination.chopped(1)));
    FUZZ_CHECK(!ZipEntryGuard::Printable(name).contains(QLatin1Char('\n')));
    return 0;
}
