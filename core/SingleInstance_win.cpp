// Stands in for a named shared-memory segment: an exclusive LockFileEx on a file in the service's
// private cache folder, released by the system when the holder's handle closes or it dies. The
// locked byte lies far beyond the file's end, since a Windows lock also bars reads of its range
// and a second start reads the holder's pid from the start of the file.
#include "core/SingleInstance.h"

#include "core/PrivateFolder.h"

#include <windows.h>

#include <io.h>

namespace {
constexpr DWORD kLockOffsetHigh = 1; // 4 GiB: no pid file ever grows there
} // namespace

SingleInstance::SingleInstance(const QString& _qstrKey) : m_qstrKey(_qstrKey) {}

SingleInstance::State SingleInstance::Acquire()
{
    if (m_blHeld)
        return State::Acquired;
    const QString runtime = PrivateFolder::RuntimeRoot();
    const PrivateFolder folder = runtime.isEmpty() ? PrivateFolder::Open(PrivateFolder::CacheRoot(),
                                                                         {PrivateFolder::ServiceFolderName()})
                                                   : PrivateFolder::Open(runtime, {});
    m_qstrPath = folder.Path() + QStringLiteral("/") + m_qstrKey + QStringLiteral(".lock");
    if (!folder.IsValid()) {
        m_qstrError = folder.Error();
        return State::Unusable;
    }
    if (!folder.OpenFile(m_file, m_qstrKey + QStringLiteral(".lock"), QIODevice::ReadWrite)) {
        m_qstrError = m_qstrPath + QStringLiteral(": the lock file cannot be opened or is no plain file");
        return State::Unusable;
    }
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(m_file.handle()));
    OVERLAPPED range = {};
    range.OffsetHigh = kLockOffsetHigh;
    const bool locked =
        handle != INVALID_HANDLE_VALUE &&
        LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range);
    const DWORD error = locked ? ERROR_SUCCESS : GetLastError();
    if (!locked && error != ERROR_LOCK_VIOLATION) {
        // Not held by anyone, only unlockable: saying "already running" would hide that.
        m_qstrError = m_qstrPath + QStringLiteral(": the lock file cannot be locked (error %1)").arg(error);
        m_file.close();
        return State::Unusable;
    }
    if (!locked) {
        // The holder's pid, so a second start can say which process runs; bounded, as the file
        // is ours but its content is only ever a number.
        m_nHolderPid = m_file.read(32).trimmed().toLongLong();
        m_file.close();
        return State::HeldByAnother;
    }
    m_blHeld = true;
    // Written in one write after the truncation, so a reader sees no pid or the whole pid.
    m_file.resize(0);
    m_file.write(QByteArray::number(static_cast<qint64>(GetCurrentProcessId())) + '\n');
    m_file.flush();
    return State::Acquired;
}
