#include "core/JsonCommand.h"
#include "core/LogCategories.h"

#include "core/JsonReader.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>

#include <limits>
#include <type_traits>

void JsonCommand::LoadFromString(const QByteArray& _baText)
{
    const auto obj = JsonReader::ParseObject(_baText, "JsonCommand::LoadFromString:");
    if (obj)
        LoadFromJson(*obj);
}

void JsonCommand::LoadFromJson(const QJsonObject& _jsonObj)
{
    JsonReader r(_jsonObj);
    r.Bool("iscast", iscast, "LoadFromJson:no iscast found!");
    r.Bool("force_reply", force_reply, "LoadFromJson:no force_reply found!");
    r.String("type", type, "LoadFromJson:no type found!");
    r.String("guid", guid);
    r.String("userdata", userdata);
    r.String("command", command, "LoadFromJson:no command found!");
    r.Integer("error_code", error_code);
    r.String("error_string", error_string);
    r.StringList("to", to);
    r.String("from", from);
    r.String("data", data);
}

QJsonObject JsonCommand::ToJson() const
{
    QJsonObject obj;
    obj.insert(QStringLiteral("iscast"), iscast);
    obj.insert(QStringLiteral("force_reply"), force_reply);
    obj.insert(QStringLiteral("type"), type);
    obj.insert(QStringLiteral("to"), QJsonArray::fromStringList(to));
    obj.insert(QStringLiteral("from"), from);
    obj.insert(QStringLiteral("guid"), guid);
    obj.insert(QStringLiteral("userdata"), userdata);
    obj.insert(QStringLiteral("command"), command);
    obj.insert(QStringLiteral("data"), data);
    obj.insert(QStringLiteral("error_code"), error_code);
    obj.insert(QStringLiteral("error_string"), error_string);
    return obj;
}

namespace {

// The most a QByteArray holds, with room for its header and the envelope's fixed text.
constexpr qint64 kMaxByteArrayBytes = std::numeric_limits<int>::max() - 4096;

// The text's code units as unsigned values: UTF-8 bytes, or UTF-16 units known to be ASCII.
template <typename Unit> unsigned UnitValue(Unit _c)
{
    return static_cast<std::make_unsigned_t<Unit>>(_c);
}

template <typename Unit> qint64 EscapedLength(const Unit* _pText, int _nSize)
{
    qint64 length = 2;
    for (const Unit* p = _pText; p < _pText + _nSize; ++p) {
        const unsigned u = UnitValue(*p);
        if (u >= 0x20 && u != '"' && u != '\\')
            length += 1;
        else if (u == '"' || u == '\\' || u == '\b' || u == '\f' || u == '\n' || u == '\r' || u == '\t')
            length += 2;
        else
            length += 6;
    }
    return length;
}

// Appends a JSON string exactly as QJsonDocument's compact form writes it, straight into the
// buffer (worst case six bytes per input byte, counted exactly when that much would not fit).
// False when the result cannot fit a QByteArray.
// Texts this long are counted exactly first, so the buffer is not over-allocated sixfold.
constexpr qint64 kCountExactlyFromBytes = 1024 * 1024;

template <typename Unit> bool AppendEscaped(QByteArray& _baOut, const Unit* _pText, int _nSize)
{
    static const char kHex[] = "0123456789abcdef";
    const qint64 start = _baOut.size();
    qint64 room = static_cast<qint64>(_nSize) * 6 + 2;
    if (start + room > kMaxByteArrayBytes || _nSize > kCountExactlyFromBytes)
        room = EscapedLength(_pText, _nSize);
    if (start + room > kMaxByteArrayBytes)
        return false;
    _baOut.resize(static_cast<int>(start + room));
    char* p = _baOut.data() + start;
    *p++ = '"';
    for (const Unit* in = _pText; in < _pText + _nSize; ++in) {
        const unsigned u = UnitValue(*in);
        if (u >= 0x20 && u != '"' && u != '\\') {
            *p++ = static_cast<char>(u);
            continue;
        }
        *p++ = '\\';
        switch (u) {
        case '"':
        case '\\':
            *p++ = static_cast<char>(u);
            break;
        case '\b':
            *p++ = 'b';
            break;
        case '\f':
            *p++ = 'f';
            break;
        case '\n':
            *p++ = 'n';
            break;
        case '\r':
            *p++ = 'r';
            break;
        case '\t':
            *p++ = 't';
            break;
        default:
            *p++ = 'u';
            *p++ = '0';
            *p++ = '0';
            *p++ = kHex[u >> 4];
            *p++ = kHex[u & 0xf];
        }
    }
    *p++ = '"';
    _baOut.truncate(static_cast<int>(p - _baOut.constData()));
    return true;
}

bool AppendJsonUtf8(QByteArray& _baOut, const QByteArray& _baUtf8)
{
    return AppendEscaped(_baOut, _baUtf8.constData(), _baUtf8.size());
}

bool AppendJsonString(QByteArray& _baOut, const QString& _qstrText)
{
    // Plain ASCII, the usual case, is escaped straight from UTF-16 without a UTF-8 copy.
    const auto* units = reinterpret_cast<const ushort*>(_qstrText.constData());
    const int size = _qstrText.size();
    for (int i = 0; i < size; ++i)
        if (units[i] >= 0x80)
            return AppendJsonUtf8(_baOut, _qstrText.toUtf8());
    return AppendEscaped(_baOut, units, size);
}

// Integers beyond 2^53 are written by QJsonDocument in floating-point form; leave them to it.
constexpr qint64 kExactJsonInteger = 9007199254740992LL;

// QJsonDocument escapes an unpaired surrogate as \\uXXXX; such rare texts are left to it.
bool HasLoneSurrogate(const QString& _qstrText)
{
    const QChar* p = _qstrText.constData();
    const QChar* end = p + _qstrText.size();
    for (; p < end; ++p) {
        if (!p->isSurrogate())
            continue;
        if (p->isHighSurrogate() && p + 1 < end && (p + 1)->isLowSurrogate())
            ++p;
        else
            return true;
    }
    return false;
}

bool NeedsJsonDocument(const JsonCommand& _cmd)
{
    if (_cmd.error_code >= kExactJsonInteger || _cmd.error_code <= -kExactJsonInteger)
        return true;
    for (const QString* text :
         {&_cmd.type, &_cmd.from, &_cmd.guid, &_cmd.userdata, &_cmd.command, &_cmd.data, &_cmd.error_string})
        if (HasLoneSurrogate(*text))
            return true;
    for (const QString& name : _cmd.to)
        if (HasLoneSurrogate(name))
            return true;
    return false;
}

} // namespace

QByteArray JsonCommand::ToString() const
{
    if (NeedsJsonDocument(*this))
        return QJsonDocument(ToJson()).toJson(QJsonDocument::Compact);
    return Serialise(nullptr);
}

QByteArray JsonCommand::ToStringWithData(const QByteArray& _baDataUtf8) const
{
    if (NeedsJsonDocument(*this)) {
        QJsonObject obj = ToJson();
        obj.insert(QStringLiteral("data"), QString::fromUtf8(_baDataUtf8));
        return QJsonDocument(obj).toJson(QJsonDocument::Compact);
    }
    return Serialise(&_baDataUtf8);
}

QByteArray JsonCommand::Serialise(const QByteArray* _pDataUtf8) const
{
    // Keys in the object's own (alphabetical) order, compact, as the JSON document writes them;
    // built by hand because every relayed envelope is serialised on the hot path.
    QByteArray out;
    const qint64 dataSize = _pDataUtf8 ? _pDataUtf8->size() / 2 : data.size();
    const qint64 expected = 160 + (dataSize + guid.size() + userdata.size() + error_string.size()) * 2;
    out.reserve(static_cast<int>(qMin(expected, kMaxByteArrayBytes)));
    bool fits = true;
    const auto string = [&out, &fits](const QString& _qstrText) {
        fits = fits && AppendJsonString(out, _qstrText);
    };
    out.append("{\"command\":");
    string(command);
    out.append(",\"data\":");
    if (_pDataUtf8)
        fits = fits && AppendJsonUtf8(out, *_pDataUtf8);
    else
        string(data);
    out.append(",\"error_code\":").append(QByteArray::number(error_code));
    out.append(",\"error_string\":");
    string(error_string);
    out.append(",\"force_reply\":").append(force_reply ? "true" : "false");
    out.append(",\"from\":");
    string(from);
    out.append(",\"guid\":");
    string(guid);
    out.append(",\"iscast\":").append(iscast ? "true" : "false");
    out.append(",\"to\":[");
    for (int i = 0; i < to.size(); ++i) {
        if (i)
            out.append(',');
        string(to[i]);
    }
    out.append("],\"type\":");
    string(type);
    out.append(",\"userdata\":");
    string(userdata);
    out.append('}');
    if (!fits) {
        // Nothing half written goes out: an envelope this large cannot be held as one message.
        qCCritical(lcCore).noquote() << "JsonCommand::ToString:envelope too large, guid:" + guid;
        return QByteArray();
    }
    return out;
}

bool JsonCommand::operator==(const JsonCommand& other) const
{
    return iscast == other.iscast && force_reply == other.force_reply && type == other.type &&
           to == other.to && from == other.from && guid == other.guid && userdata == other.userdata &&
           command == other.command && data == other.data && error_code == other.error_code &&
           error_string == other.error_string;
}

namespace Envelope {

QString AnswerType(const QString& _qstrRequestType)
{
    if (_qstrRequestType == kNotify || _qstrRequestType == kQuery || _qstrRequestType == kCommand ||
        _qstrRequestType == kTransfer)
        return _qstrRequestType + QStringLiteral("_ret");
    return QString();
}

bool IsAnswerType(const QString& _qstrType)
{
    return _qstrType == QLatin1String("notify_ret") || _qstrType == QLatin1String("transfer_ret") ||
           _qstrType == QLatin1String("query_ret") || _qstrType == QLatin1String("command_ret");
}

QString CoreErrorText(qint64 _nCode)
{
    switch (_nCode) {
    case kTypeNotCorrect:
        return QStringLiteral("param error, command type not correct, cannot be processed");
    case kCommandNotCorrect:
        return QStringLiteral("param error, command not correct, cannot be processed");
    case kAbilityNotFound:
        return QStringLiteral("ability not found");
    case kAbilityNotDealt:
        return QStringLiteral("ability found, but cannot be dealed, please check your param or context");
    default:
        return QString();
    }
}

} // namespace Envelope
