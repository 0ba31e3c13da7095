#include "tools/qorvctl/CtlReadable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <algorithm>

namespace {

const QString kGap = QStringLiteral("  ");

QString Number(const QJsonValue& _value)
{
    return QString::number(_value.toDouble(), 'g', 12);
}

QString Compact(const QJsonValue& _value)
{
    if (_value.isString())
        return _value.toString();
    if (_value.isDouble())
        return Number(_value);
    if (_value.isBool())
        return _value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (_value.isNull() || _value.isUndefined())
        return QStringLiteral("null");
    const QJsonDocument doc =
        _value.isArray() ? QJsonDocument(_value.toArray()) : QJsonDocument(_value.toObject());
    return QString::fromUtf8(doc.toJson(QJsonDocument::Compact));
}

// The system information answers: {"key","num","str"}.
QString SystemInfo(const QString& _qstrCommand, const QJsonObject& _body)
{
    const QString num = Number(_body.value(QLatin1String("num")));
    const QString str = _body.value(QLatin1String("str")).toString();
    if (_qstrCommand == QLatin1String("query_disk_space"))
        return _body.value(QLatin1String("key")).toString() + QStringLiteral(": ") + num +
               QStringLiteral(" MiB free");
    if (_qstrCommand == QLatin1String("query_cpu"))
        return QStringLiteral("CPU ") + num + QStringLiteral(" % busy");
    if (_qstrCommand == QLatin1String("query_memory"))
        return QStringLiteral("memory ") + num + QStringLiteral(" % in use");
    if (_qstrCommand == QLatin1String("query_top_process")) {
        const QJsonArray processes = QJsonDocument::fromJson(str.toUtf8()).array();
        if (processes.isEmpty())
            return QStringLiteral("no busy process");
        // Listed lowest CPU first.
        const QJsonObject busiest = processes.last().toObject();
        return QStringLiteral("%1 processes; busiest %2 (pid %3) %4 % CPU, %5 MB")
            .arg(processes.size())
            .arg(busiest.value(QLatin1String("name")).toString(), Number(busiest.value(QLatin1String("pid"))),
                 Number(busiest.value(QLatin1String("cpu"))), Number(busiest.value(QLatin1String("mem"))));
    }
    return str;
}

QString Table(const QStringList& _listHeads, const QList<QStringList>& _listRows)
{
    QVector<int> widths;
    for (const QString& head : _listHeads)
        widths.append(head.size());
    for (const QStringList& row : _listRows)
        for (int i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], static_cast<int>(row[i].size()));
    QString out;
    for (const QStringList& row : QList<QStringList>{_listHeads} + _listRows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i]) + kGap : row[i];
        out += line + QLatin1Char('\n');
    }
    return out;
}

} // namespace

QString CtlReadable::Printable(const QString& _qstrText)
{
    QString out;
    out.reserve(_qstrText.size());
    for (int i = 0; i < _qstrText.size(); ++i) {
        const QChar c = _qstrText.at(i);
        const ushort code = c.unicode();
        if (c == QLatin1Char('\r') && i + 1 < _qstrText.size() && _qstrText.at(i + 1) == QLatin1Char('\n'))
            continue;
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            out += QStringLiteral("; ");
        else if (c == QLatin1Char('\t'))
            out += QLatin1Char(' ');
        // C0 and C1 controls (escape sequences), and the marks that reorder text on screen.
        else if (code < 0x20 || (code >= 0x7f && code < 0xa0) || (code >= 0x202a && code <= 0x202e) ||
                 (code >= 0x2066 && code <= 0x2069))
            out += QStringLiteral("\\x%1").arg(code, code > 0xff ? 4 : 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString CtlReadable::DecodeData(const QString& _qstrCommand, const QString& _qstrData)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(_qstrData.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || doc.isNull())
        return _qstrData;
    if (doc.isArray())
        return Compact(doc.array());
    const QJsonObject body = doc.object();
    if (body.contains(QLatin1String("num")) && body.contains(QLatin1String("str")))
        return SystemInfo(_qstrCommand, body);
    if (body.value(QLatin1String("percent")).isDouble())
        return (body.value(QLatin1String("status")).toString() + QLatin1Char(' ') +
                Number(body.value(QLatin1String("percent"))) + QStringLiteral(" %"))
            .trimmed();
    if (body.value(QLatin1String("abilities")).isArray()) {
        QStringList names;
        for (const QJsonValue& name : body.value(QLatin1String("abilities")).toArray())
            names << Compact(name);
        return names.join(QLatin1Char(' '));
    }
    if (body.value(QLatin1String("clients")).isArray() && body.value(QLatin1String("tasks")).isArray())
        return QStringLiteral("%1 clients, %2 tasks")
            .arg(body.value(QLatin1String("clients")).toArray().size())
            .arg(body.value(QLatin1String("tasks")).toArray().size());
    QStringList pairs;
    for (auto it = body.constBegin(); it != body.constEnd(); ++it)
        pairs << it.key() + QLatin1Char('=') + Compact(it.value());
    return pairs.join(QLatin1Char(' '));
}

QString CtlReadable::Line(const JsonCommand& _envelope)
{
    QStringList columns{_envelope.command.isEmpty() ? _envelope.type : _envelope.command,
                        QString::number(_envelope.error_code)};
    if (!_envelope.error_string.isEmpty())
        columns << _envelope.error_string;
    const QString data = DecodeData(_envelope.command, _envelope.data);
    if (!data.isEmpty())
        columns << data;
    return Printable(columns.join(kGap));
}

QString CtlReadable::StatusTables(const QJsonObject& _status)
{
    QList<QStringList> clients;
    for (const QJsonValue& value : _status.value(QLatin1String("clients")).toArray()) {
        const QJsonObject client = value.toObject();
        clients.append({Printable(Compact(client.value(QLatin1String("name")))),
                        Printable(Compact(client.value(QLatin1String("transport")))),
                        Printable(Compact(client.value(QLatin1String("since"))))});
    }
    QList<QStringList> tasks;
    for (const QJsonValue& value : _status.value(QLatin1String("tasks")).toArray()) {
        const QJsonObject task = value.toObject();
        const QJsonValue percent = task.value(QLatin1String("percent"));
        tasks.append({Printable(Compact(task.value(QLatin1String("command")))),
                      Printable(Compact(task.value(QLatin1String("guid")))),
                      Printable(Compact(task.value(QLatin1String("client")))),
                      percent.isDouble() ? Number(percent) + QStringLiteral(" %") : QStringLiteral("-")});
    }
    QString out =
        clients.isEmpty()
            ? QStringLiteral("no client logged in\n")
            : Table({QStringLiteral("CLIENT"), QStringLiteral("TRANSPORT"), QStringLiteral("SINCE")},
                    clients);
    out += QLatin1Char('\n');
    out += tasks.isEmpty() ? QStringLiteral("no task running\n")
                           : Table({QStringLiteral("COMMAND"), QStringLiteral("GUID"),
                                    QStringLiteral("CLIENT"), QStringLiteral("PERCENT")},
                                   tasks);
    return out;
}
