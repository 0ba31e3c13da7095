// Stands in for a named shared-memory segment: an exclusive flock(2) on a file in the user's
// runtime folder ($XDG_RUNTIME_DIR when it is the user's own 0700 folder, else the service's
// private cache folder), released by the kernel at exit.
#include "core/SingleInstance.h"

#include "core/PrivateFolder.h"

#include <sys/file.h>
#include <unistd.h>

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
    if (::flock(m_file.handle(), LOCK_EX | LOCK_NB) != 0) {
        // The holder's pid, so a second start can say which process runs; bounded, as the file
        // is ours but its content is only ever a number.
        m_nHolderPid = m_file.read(32).trimmed().toLongLong();
        m_file.close();
        return State::HeldByAnother;
    }
    m_blHeld = true;
    // Written in one write after the truncation, so a reader sees no pid or the whole pid.
    m_file.resize(0);
    m_file.write(QByteArray::number(static_cast<qint64>(::getpid())) + '\n');
    m_file.flush();
    return State::Acquired;
}
