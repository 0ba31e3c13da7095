#pragma once

#include "core/JsonCommand.h"
#include "core/TaskResult.h"

// The answer contract every ability uses: a "transfer" to the requester, from "message_service",
// carrying the request's command, guid and userdata, handed to the hub. Safe from any thread.
namespace AbilityReply {

JsonCommand Build(const JsonCommand& _request, qint64 _nCode, const QString& _qstrError,
                  const QString& _qstrData);
void Send(const JsonCommand& _request, qint64 _nCode, const QString& _qstrError = QString(),
          const QString& _qstrData = QString());
// A task's final value; its wire data, when set, is written into the envelope as it is.
void Send(const JsonCommand& _request, const TaskResult& _result);

} // namespace AbilityReply
