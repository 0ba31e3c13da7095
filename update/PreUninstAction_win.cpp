// The pre-uninstall action on Windows is a batch file run by cmd in a hidden console of its own
// (CREATE_NEW_CONSOLE, SW_HIDE). cmd is started suspended and the service's DescendantWatch puts
// it into a job object before it runs, so every process the script starts is born into that job
// and none can leave it. The script's path reaches cmd through an environment variable: cmd
// expands a variable once and never reads the value again, so no character of the path (%, &, ^)
// can turn into syntax.
#include "update/PreUninstAction.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <windows.h>
// The member of the same name, not the Windows macro.
#undef CreateProcess

namespace {

const QString kScriptVariable = QStringLiteral("QORV_PRE_UNINSTALL_ACTION");

QString CommandInterpreter()
{
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return QStringLiteral("cmd.exe");
    return QString::fromWCharArray(folder, static_cast<int>(length)) + QStringLiteral("\\cmd.exe");
}

} // namespace

QProcess* PreUninstAction::CreateProcess(QObject* _pParent)
{
    return new QProcess(_pParent);
}

void PreUninstAction::ConfigureProcess(QProcess& _process, const QString& _qstrScript)
{
    const QFileInfo script(_qstrScript);
    _process.setProgram(CommandInterpreter());
    // /d: no AutoRun commands from the registry; /v:off: "!" is never expanded; /s /c: cmd removes
    // the outer pair of quotes and runs the quoted path that is left.
    _process.setNativeArguments(QStringLiteral("/d /v:off /s /c \"\"%") + kScriptVariable +
                                QStringLiteral("%\"\""));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kScriptVariable, QDir::toNativeSeparators(script.absoluteFilePath()));
    _process.setProcessEnvironment(environment);
    _process.setWorkingDirectory(script.absolutePath());
    _process.setStandardInputFile(QProcess::nullDevice());
    _process.setProcessChannelMode(QProcess::ForwardedChannels);
    _process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* _pArgs) {
        // Suspended until DescendantWatch has put it into the group's job.
        _pArgs->flags =
            (_pArgs->flags & ~static_cast<DWORD>(CREATE_NO_WINDOW)) | CREATE_NEW_CONSOLE | CREATE_SUSPENDED;
        _pArgs->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        _pArgs->startupInfo->wShowWindow = SW_HIDE;
    });
}
