#pragma once

#include "core/JsonCommand.h"
#include "network/CommandNetworkBody.h"

#include <QObject>
#include <QStringList>

class QNetworkAccessManager;

// The processing of one accepted network command: its addresses are tested one at a time in
// address order, asynchronously, each bounded in time; the requester is answered once all are
// done. Runs of different commands do not wait for one another.
class NetworkCommandRun : public QObject
{
    Q_OBJECT
public:
    enum class Kind { PublicNetwork, GetInterface, PostInterface };

    // _listUrls: the command's distinct addresses, in address order (its body, parsed).
    NetworkCommandRun(const JsonCommand& _request, const QStringList& _listUrls, Kind _kind,
                      const QString& _qstrAnswerCommand, QObject* _pParent = nullptr);

    void Start();

    // Result codes of each address in the answer.
    static constexpr int kReachable = 0;
    static constexpr int kPublicNetworkDown = 1;
    static constexpr int kAddressFailed = 2;

signals:
    // The answer has been sent.
    void SignFinished();

private:
    void TestNext();
    void Record(int _nCode);
    void Finish();

    JsonCommand m_request;
    Kind m_kind;
    QString m_qstrAnswerCommand;
    QStringList m_listUrls;
    int m_nNext = 0;
    bool m_blPublicOk = false;
    CommandNetworkBody m_answer;
    // One per command: requests of one command never queue behind another command's.
    QNetworkAccessManager* m_pNam;
};
