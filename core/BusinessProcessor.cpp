#include "core/BusinessProcessor.h"

BusinessProcessor& BusinessProcessor::Instance()
{
    static BusinessProcessor s_processor;
    return s_processor;
}

QString BusinessProcessor::TraceLine(const QString& _qstrLine)
{
    if (_qstrLine.size() <= kMaxTraceChars)
        return _qstrLine;
    return _qstrLine.left(kMaxTraceChars) + QStringLiteral(" [cut, %1 characters]").arg(_qstrLine.size());
}
