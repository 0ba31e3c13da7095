// The pre-uninstall action on Linux is a shell script run by /bin/sh, the counterpart of the
// batch file that cmd runs on Windows. The interpreter starts in a new session, so its process
// group holds the script and every process it starts, and one signal to the group ends them all.
#include "update/PreUninstAction.h"

#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <unistd.h>

namespace {

class SessionProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override { ::setsid(); }
};

} // namespace

QProcess* PreUninstAction::CreateProcess(QObject* _pParent)
{
    return new SessionProcess(_pParent);
}

void PreUninstAction::ConfigureProcess(QProcess& _process, const QString& _qstrScript)
{
    _process.setProgram(QStringLiteral("/bin/sh"));
    // Absolute, so the script's name can never be read as an option of the interpreter.
    _process.setArguments({QFileInfo(_qstrScript).absoluteFilePath()});
    _process.setWorkingDirectory(QFileInfo(_qstrScript).absolutePath());
    _process.setStandardInputFile(QProcess::nullDevice());
    _process.setProcessChannelMode(QProcess::ForwardedChannels);
}

void PreUninstAction::KillGroup(QProcess& _process)
{
    const qint64 pid = _process.processId();
    if (pid > 0)
        ::kill(-static_cast<pid_t>(pid), SIGKILL);
}
