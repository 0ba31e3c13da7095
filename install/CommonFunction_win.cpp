// The running program's file from GetModuleFileNameW (the /proc/self/exe link on Linux).
#include "install/CommonFunction.h"

#include <QDir>
#include <QFileInfo>

#include <vector>

#include <windows.h>

QString CommonFunction::GetExeFolder()
{
    // Long paths do not fit MAX_PATH; the buffer grows until the name is not cut.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::vector<wchar_t> name(size);
        const DWORD length = ::GetModuleFileNameW(nullptr, name.data(), size);
        if (length == 0)
            return QString();
        if (length < size)
            return QFileInfo(QDir::fromNativeSeparators(
                                 QString::fromWCharArray(name.data(), static_cast<int>(length))))
                .absolutePath();
    }
    return QString();
}
