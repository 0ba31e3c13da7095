#pragma once

#include <QList>
#include <QString>

// When a command's task is over, from the answers that carry its guid, as the service's command
// catalog says: progress (code 0) until a final code, a single answer, or no answer at all
// unless it refuses.
class WaitRule
{
public:
    enum class Kind { Progress, Single, Silent };

    // The rule of _qstrCommand in the data of a "command_catalog" answer. A command the catalog
    // does not list (one another client offers) is a progress task that succeeds with 100.
    static WaitRule FromCatalog(const QString& _qstrCatalog, const QString& _qstrCommand);

    Kind kind() const { return m_kind; }
    // The command that stops this command's task (sent with its guid); empty when there is none.
    const QString& stopCommand() const { return m_qstrStop; }
    // The data the command cannot do without, as a pattern to show; empty when it needs none.
    const QString& dataPattern() const { return m_qstrData; }
    void setKind(Kind _kind) { m_kind = _kind; }
    void setSuccessCodes(const QList<qint64>& _listCodes) { m_listSuccess = _listCodes; }

    // True when this answer (a "transfer" with the task's guid) ends the task.
    bool IsFinal(qint64 _nErrorCode) const { return m_kind != Kind::Progress || _nErrorCode != 0; }
    bool IsSuccess(qint64 _nErrorCode) const
    {
        return _nErrorCode >= 0 && m_listSuccess.contains(_nErrorCode);
    }

    // How long a silent command waits for a refusal before it counts as done.
    static constexpr int kSilentGraceMs = 1500;

private:
    Kind m_kind = Kind::Progress;
    QList<qint64> m_listSuccess{100};
    QString m_qstrStop;
    QString m_qstrData;
};
