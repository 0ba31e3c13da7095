#pragma once

#include "tools/qorvctl/CtlClient.h"
#include "tools/qorvctl/CtlOptions.h"
#include "tools/qorvctl/WaitRule.h"

// What each verb sends and when its task is over, on a logged-in client. Each returns the exit
// code.
class CtlVerbs
{
public:
    CtlVerbs(CtlClient& _client, const CtlOptions& _opt) : m_client(_client), m_opt(_opt) {}

    int Send();
    int Query(const QString& _qstrCommand, const QString& _qstrData);
    int Transfer(bool _blCast);
    // Who is logged in and which tasks run: tables, or the answer's data with --json.
    int Status();
    // Bounded: the deadline running out ends it with success.
    int Listen(bool _blBounded);

private:
    // How the command's task ends, from the service's catalog.
    WaitRule RuleFor(const QString& _qstrCommand);
    // Sends a request the hub answers once (0 is success) and waits for that answer.
    int SendForAnswer(const JsonCommand& _request, const QString& _qstrAnswerType);
    // After a stop signal: stops the task as its catalog row says, waiting briefly for the hub.
    int StopTask(const JsonCommand& _task, const QString& _qstrStop);
    static constexpr int kStopWaitMs = 2000;
    // Answers the service's "pre_uninst" question as the application would.
    void AnswerPreUninst(const JsonCommand& _question);

    CtlClient& m_client;
    const CtlOptions& m_opt;
};
