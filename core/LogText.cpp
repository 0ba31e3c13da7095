#include "core/LogText.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

namespace {
QString StampFormat()
{
    return QStringLiteral("yyyy-MM-dd hh:mm:ss");
}
} // namespace

const char* LogText::Tag(QtMsgType _type)
{
    switch (_type) {
    case QtDebugMsg:
        return "[D]:";
    case QtWarningMsg:
        return "[W]:";
    case QtCriticalMsg:
        return "[C]:";
    case QtFatalMsg:
        return "[F]:";
    default:
        return "";
    }
}

QByteArray LogText::Stamp(const QDateTime& _time)
{
    return _time.toString(StampFormat()).toUtf8();
}

QString LogText::FormatLogLine(QtMsgType _type, const QDateTime& _time, const QString& _qstrText)
{
    return QLatin1String(Tag(_type)) + _time.toString(StampFormat()) + QLatin1Char('\t') + _qstrText;
}

size_t LogText::FileLineBytes(QtMsgType _type, const QByteArray& _baStamp, const QByteArray& _baText)
{
    return std::strlen(Tag(_type)) + static_cast<size_t>(_baStamp.size()) + 1 +
           static_cast<size_t>(_baText.size()) + 2;
}

char* LogText::PutFileLine(char* _pOut, QtMsgType _type, const QByteArray& _baStamp,
                           const QByteArray& _baText)
{
    const char* tag = Tag(_type);
    char* p = std::copy_n(tag, std::strlen(tag), _pOut);
    p = std::copy_n(_baStamp.constData(), _baStamp.size(), p);
    *p++ = '\t';
    p = std::copy_n(_baText.constData(), _baText.size(), p);
    *p++ = '\r';
    *p++ = '\n';
    return p;
}

QByteArray LogText::EchoLine(QtMsgType _type, const QByteArray& _baStamp, const QByteArray& _baText,
                             StandardError::Kind _kind)
{
    QByteArray line;
    line.reserve(_baText.size() + 32);
    if (_kind == StandardError::Kind::Journal) {
        // The journal reads "<priority>" at the start of a line: debug, warning, critical, alert.
        static const char* const kPriority[] = {"<7>", "<4>", "<2>", "<1>"};
        const int type = static_cast<int>(_type);
        return line.append(type >= 0 && type < 4 ? kPriority[type] : "<6>")
            .append(Tag(_type))
            .append(_baText)
            .append('\n');
    }
    return line.append(Tag(_type)).append(_baStamp).append('\t').append(_baText).append('\n');
}

QByteArray LogText::ClipForLog(const QByteArray& _baText)
{
    if (_baText.size() <= kLogClipBytes)
        return _baText;
    return _baText.left(kLogClipBytes) + "...(" + QByteArray::number(_baText.size()) + " bytes)";
}

QByteArray LogText::QuotedUtf8(const QByteArray& _baText)
{
    QByteArray out;
    AppendQuoted(out, _baText);
    return out;
}

namespace {

// True when none of the eight bytes needs more than a copy: no control byte, nothing from 0x7f
// up, no quote and no backslash.
bool PlainWord(quint64 _nWord)
{
    constexpr quint64 kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    const auto hasZero = [](quint64 _v) { return (_v - kOnes) & ~_v & kHighs; };
    const quint64 special = ((_nWord - 0x20 * kOnes) & ~_nWord & kHighs) | (_nWord & kHighs) |
                            hasZero(_nWord ^ (0x7f * kOnes)) | hasZero(_nWord ^ ('"' * kOnes)) |
                            hasZero(_nWord ^ ('\\' * kOnes));
    return special == 0;
}

} // namespace

void LogText::AppendQuoted(QByteArray& _baOut, const QByteArray& _baText)
{
    // Worst case every byte gains a backslash; written straight into the buffer.
    const int start = _baOut.size();
    _baOut.resize(start + _baText.size() * 2 + 2);
    char* p = _baOut.data() + start;
    *p++ = '"';
    const char* in = _baText.constData();
    const char* end = in + _baText.size();
    while (in < end) {
        quint64 word;
        if (end - in >= 8 && (std::memcpy(&word, in, 8), PlainWord(word))) {
            std::memcpy(p, in, 8); // the usual case: eight plain bytes at a time
            p += 8;
            in += 8;
            continue;
        }
        const char c = *in++;
        if (c < 0x20 || c > 0x7e) {
            // Anything but printable ASCII takes Qt's own escaping, so the text stays identical.
            QString escaped;
            QDebug(&escaped).nospace() << _baText;
            _baOut.truncate(start);
            _baOut.append(escaped.toUtf8());
            return;
        }
        if (c == '"' || c == '\\')
            *p++ = '\\';
        *p++ = c;
    }
    *p++ = '"';
    _baOut.truncate(static_cast<int>(p - _baOut.constData()));
}
