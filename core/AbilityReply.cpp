#include "core/AbilityReply.h"

#include "core/MessageService.h"

namespace AbilityReply {

JsonCommand Build(const JsonCommand& _request, qint64 _nCode, const QString& _qstrError,
                  const QString& _qstrData)
{
    JsonCommand reply;
    reply.type = Envelope::kTransfer;
    reply.to = QStringList{_request.from};
    reply.from = Envelope::kServiceName;
    reply.command = _request.command;
    reply.guid = _request.guid;
    reply.userdata = _request.userdata;
    reply.error_code = _nCode;
    reply.error_string = _qstrError;
    reply.data = _qstrData;
    return reply;
}

void Send(const JsonCommand& _request, qint64 _nCode, const QString& _qstrError, const QString& _qstrData)
{
    MessageService::Instance().Post(Build(_request, _nCode, _qstrError, _qstrData));
}

void Send(const JsonCommand& _request, const TaskResult& _result)
{
    if (_result.wireData.isEmpty()) {
        Send(_request, _result.code, _result.text, _result.data);
        return;
    }
    const JsonCommand reply = Build(_request, _result.code, _result.text, QString());
    MessageService::Instance().Post(reply, reply.ToStringWithData(_result.wireData));
}

} // namespace AbilityReply
