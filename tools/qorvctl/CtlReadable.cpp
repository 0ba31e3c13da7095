#include "tools/qorvctl/CtlReadable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <algorithm>
#include <optional>

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

QString Table(const QStringList& _listHeads, const QList<QStringList>& _listRows);

// A percent to one decimal, as the bar shows it.
QString Percent(const QJsonValue& _value)
{
    return QString::number(_value.toDouble(), 'f', 1) + QStringLiteral(" %");
}

bool IsFileKey(const QString& _qstrKey)
{
    return _qstrKey.contains(QLatin1String("path"), Qt::CaseInsensitive) ||
           _qstrKey.contains(QLatin1String("file"), Qt::CaseInsensitive);
}

// A path in a file-like key, as it came or Base64-encoded; empty when it is no absolute path.
QString FilePath(const QString& _qstrValue)
{
    if (_qstrValue.startsWith(QLatin1Char('/')))
        return _qstrValue;
    const auto decoded =
        QByteArray::fromBase64Encoding(_qstrValue.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || !decoded.decoded.startsWith('/'))
        return QString();
    return QString::fromUtf8(decoded.decoded);
}

// An array of objects as a table under the answer, at most kMaxRows rows.
QString ObjectTable(const QJsonArray& _array)
{
    constexpr int kMaxRows = 20;
    QStringList heads;
    for (const QJsonValue& item : _array)
        for (const QString& key : item.toObject().keys())
            if (!heads.contains(key))
                heads << key;
    QList<QStringList> rows;
    for (int i = 0; i < _array.size() && i < kMaxRows; ++i) {
        QStringList row;
        for (const QString& key : heads)
            row << CtlReadable::Printable(Compact(_array.at(i).toObject().value(key)));
        rows << row;
    }
    for (QString& head : heads)
        head = CtlReadable::Printable(head).toUpper();
    QString out = Table(heads, rows);
    if (_array.size() > kMaxRows)
        out += QStringLiteral("... %1 more (--json shows all)\n").arg(_array.size() - kMaxRows);
    return out;
}

bool IsObjectArray(const QJsonArray& _array)
{
    return !_array.isEmpty() &&
           std::all_of(_array.begin(), _array.end(), [](const QJsonValue& _v) { return _v.isObject(); });
}

// A string that holds a JSON array of objects, or nothing.
std::optional<QJsonArray> EmbeddedTable(const QJsonValue& _value)
{
    if (!_value.isString() || !_value.toString().startsWith(QLatin1Char('[')))
        return std::nullopt;
    const QJsonArray array = QJsonDocument::fromJson(_value.toString().toUtf8()).array();
    if (!IsObjectArray(array))
        return std::nullopt;
    return array;
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

QString CtlReadable::DecodeData(const QString& _qstrData)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(_qstrData.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || doc.isNull())
        return Printable(_qstrData);
    if (doc.isArray())
        return IsObjectArray(doc.array())
                   ? QStringLiteral("%1 entries\n").arg(doc.array().size()) + ObjectTable(doc.array())
                   : Printable(Compact(doc.array()));
    const QJsonObject body = doc.object();
    if (body.value(QLatin1String("percent")).isDouble())
        return Printable((body.value(QLatin1String("status")).toString() + QLatin1Char(' ') +
                          Percent(body.value(QLatin1String("percent"))))
                             .trimmed());
    if (body.value(QLatin1String("abilities")).isArray()) {
        QStringList names;
        for (const QJsonValue& name : body.value(QLatin1String("abilities")).toArray())
            names << Compact(name);
        return Printable(names.join(QLatin1Char(' ')));
    }
    if (body.value(QLatin1String("clients")).isArray() && body.value(QLatin1String("tasks")).isArray())
        return QStringLiteral("%1 clients, %2 tasks")
            .arg(body.value(QLatin1String("clients")).toArray().size())
            .arg(body.value(QLatin1String("tasks")).toArray().size());
    // Any other object by the shape of its values: files as paths first, Base64 left to --json,
    // empty values left out, an embedded list of objects as a table below.
    QStringList saved, pairs;
    QString tables;
    for (auto it = body.constBegin(); it != body.constEnd(); ++it) {
        const QJsonValue value = it.value();
        const QString text = value.isString() ? value.toString() : QString();
        if (value.isString() && text.isEmpty())
            continue;
        if (value.isString() && IsFileKey(it.key()) && !FilePath(text).isEmpty()) {
            saved << QStringLiteral("saved ") + Printable(FilePath(text));
        } else if (value.isString() && it.key().endsWith(QLatin1String("base64"), Qt::CaseInsensitive)) {
            pairs << Printable(it.key()) + QStringLiteral("=(%1 KiB, --json shows it)")
                                               .arg((text.size() * 3 / 4 + 1023) / 1024);
        } else if (const auto table = EmbeddedTable(value)) {
            pairs << Printable(it.key()) + QStringLiteral("=%1 entries").arg(table->size());
            tables += ObjectTable(*table);
        } else {
            pairs << Printable(it.key()) + QLatin1Char('=') + Printable(Compact(value));
        }
    }
    const QString line = (saved + pairs).join(kGap);
    return tables.isEmpty() ? line : line + QLatin1Char('\n') + tables;
}

QString CtlReadable::Line(const JsonCommand& _envelope)
{
    QStringList columns{Printable(_envelope.command.isEmpty() ? _envelope.type : _envelope.command),
                        QString::number(_envelope.error_code)};
    if (!_envelope.error_string.isEmpty())
        columns << Printable(_envelope.error_string);
    const QString data = DecodeData(_envelope.data);
    if (!data.isEmpty())
        columns << data;
    QString line = columns.join(kGap);
    if (line.endsWith(QLatin1Char('\n')))
        line.chop(1);
    return line;
}

QString CtlReadable::Wrap(const QString& _qstrText, int _nWidth)
{
    QStringList out;
    for (const QString& line : _qstrText.split(QLatin1Char('\n'))) {
        QString rest = line;
        while (rest.size() > _nWidth && _nWidth > 8) {
            int cut = rest.lastIndexOf(QLatin1Char(' '), _nWidth);
            if (cut <= 2)
                cut = _nWidth;
            QString head = rest.left(cut);
            while (head.endsWith(QLatin1Char(' ')))
                head.chop(1);
            out << head;
            rest = QStringLiteral("  ") + rest.mid(cut).trimmed();
        }
        out << rest;
    }
    return out.join(QLatin1Char('\n'));
}

QString CtlReadable::StatusTables(const QJsonObject& _status)
{
    QList<QStringList> clients;
    for (const QJsonValue& value : _status.value(QLatin1String("clients")).toArray()) {
        const QJsonObject client = value.toObject();
        const QJsonValue connected = client.value(QLatin1String("connected"));
        clients.append({Printable(Compact(client.value(QLatin1String("name")))),
                        Printable(Compact(client.value(QLatin1String("transport")))),
                        connected.isBool()
                            ? (connected.toBool() ? QStringLiteral("yes") : QStringLiteral("no"))
                            : QStringLiteral("-"),
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
    QString out = clients.isEmpty() ? QStringLiteral("no client logged in\n")
                                    : Table({QStringLiteral("CLIENT"), QStringLiteral("TRANSPORT"),
                                             QStringLiteral("CONNECTED"), QStringLiteral("SINCE")},
                                            clients);
    out += QLatin1Char('\n');
    out += tasks.isEmpty() ? QStringLiteral("no task running\n")
                           : Table({QStringLiteral("COMMAND"), QStringLiteral("GUID"),
                                    QStringLiteral("CLIENT"), QStringLiteral("PERCENT")},
                                   tasks);
    return out;
}
