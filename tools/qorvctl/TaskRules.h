#pragma once

#include <QList>
#include <QString>

// When a command's task is over, from the answers that carry its guid. Each ability has its own
// conventions: progress (code 0) until a final code, a single answer, or no answer at all unless
// it refuses.
class TaskRules
{
public:
    enum class Kind {
        Progress, // code 0 is progress; any other code ends the task
        Single,   // the first answer ends the task, whatever its code
        Silent,   // nothing is sent on success; only a refusal arrives
    };

    static TaskRules ForCommand(const QString& _qstrCommand);

    Kind kind() const { return m_kind; }
    QList<qint64> successCodes() const { return m_listSuccess; }
    void setSuccessCodes(const QList<qint64>& _listCodes) { m_listSuccess = _listCodes; }
    void setKind(Kind _kind) { m_kind = _kind; }

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
};
