#include "core/CanonicalEnvelope.h"

#include <cstring>

namespace {

// Integers JsonCommand writes as plain digits; beyond them it leaves the form to Qt.
constexpr qint64 kExactJsonInteger = 9007199254740992LL;

bool IsContinuation(unsigned char _c)
{
    return (_c & 0xc0) == 0x80;
}

// Length of the well-formed UTF-8 sequence at _p (2 to 4), or 0. Noncharacters count as not
// canonical too, so that text whose decoding might differ takes the general path.
int SequenceLength(const unsigned char* _p, const unsigned char* _pEnd)
{
    const unsigned char lead = _p[0];
    const int length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    if (lead < 0xc2 || lead > 0xf4 || _pEnd - _p < length)
        return 0;
    for (int i = 1; i < length; ++i)
        if (!IsContinuation(_p[i]))
            return 0;
    const unsigned char second = _p[1];
    if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second > 0x9f) ||
        (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second > 0x8f))
        return 0; // overlong, surrogate or beyond U+10FFFF
    if (length == 3) {
        const unsigned code = ((lead & 0x0fu) << 12) | ((second & 0x3fu) << 6) | (_p[2] & 0x3fu);
        if ((code >= 0xfdd0 && code <= 0xfdef) || code >= 0xfffe)
            return 0;
    } else if (length == 4 && (second & 0x0f) == 0x0f && _p[2] == 0xbf && (_p[3] & 0xfe) == 0xbe) {
        return 0; // U+xFFFE and U+xFFFF
    }
    return length;
}

int HexDigit(char _c)
{
    if (_c >= '0' && _c <= '9')
        return _c - '0';
    if (_c >= 'a' && _c <= 'f')
        return _c - 'a' + 10;
    return -1; // upper case is not the form JsonCommand writes
}

// The byte an escape stands for, when it is written the way JsonCommand writes it; -1 otherwise.
int EscapedByte(const char* _p, const char* _pEnd, int& _nLength)
{
    _nLength = 2;
    switch (_p[1]) {
    case '"':
    case '\\':
        return _p[1];
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case 'u':
        break;
    default:
        return -1;
    }
    _nLength = 6;
    if (_pEnd - _p < 6 || _p[2] != '0' || _p[3] != '0')
        return -1;
    const int high = HexDigit(_p[4]), low = HexDigit(_p[5]);
    const int byte = high < 0 || low < 0 ? 0x20 : high * 16 + low;
    const bool hasShortForm = byte == '\b' || byte == '\f' || byte == '\n' || byte == '\r' || byte == '\t';
    return byte < 0x20 && !hasShortForm ? byte : -1;
}

class Cursor
{
public:
    explicit Cursor(const QByteArray& _baText) : m_p(_baText.constData()), m_pEnd(m_p + _baText.size()) {}

    bool AtEnd() const { return m_p == m_pEnd; }

    bool Literal(const char* _szText)
    {
        const size_t length = std::strlen(_szText);
        if (static_cast<size_t>(m_pEnd - m_p) < length || std::memcmp(m_p, _szText, length) != 0)
            return false;
        m_p += length;
        return true;
    }

    bool Bool(bool& _blOut)
    {
        _blOut = Literal("true");
        return _blOut || Literal("false");
    }

    bool Integer(qint64& _nOut)
    {
        const bool negative = m_p < m_pEnd && *m_p == '-';
        if (negative)
            ++m_p;
        const char* digits = m_p;
        qint64 value = 0;
        while (m_p < m_pEnd && *m_p >= '0' && *m_p <= '9' && m_p - digits < 17)
            value = value * 10 + (*m_p++ - '0');
        const qint64 count = m_p - digits;
        if (count == 0 || (count > 1 && *digits == '0') || value >= kExactJsonInteger ||
            (negative && value == 0))
            return false;
        _nOut = negative ? -value : value;
        return true;
    }

    bool String(QString& _qstrOut)
    {
        if (AtEnd() || *m_p != '"')
            return false;
        const char* start = ++m_p;
        bool escaped = false;
        while (m_p < m_pEnd && *m_p != '"') {
            const auto c = static_cast<unsigned char>(*m_p);
            int length = 1;
            if (c == '\\') {
                if (m_pEnd - m_p < 2 || EscapedByte(m_p, m_pEnd, length) < 0)
                    return false;
                escaped = true;
            } else if (c < 0x20) {
                return false;
            } else if (c >= 0x80) {
                length = SequenceLength(reinterpret_cast<const unsigned char*>(m_p),
                                        reinterpret_cast<const unsigned char*>(m_pEnd));
                if (length == 0)
                    return false;
            }
            m_p += length;
        }
        if (AtEnd())
            return false;
        const int size = static_cast<int>(m_p - start);
        if (escaped) {
            // With its length: an escaped zero is a character, not the end of the text.
            const QByteArray bytes = Unescaped(start, m_p);
            _qstrOut = QString::fromUtf8(bytes.constData(), bytes.size());
        } else {
            _qstrOut = QString::fromUtf8(start, size);
        }
        ++m_p;
        return true;
    }

    bool StringList(QStringList& _listOut)
    {
        _listOut.clear();
        if (!Literal("["))
            return false;
        if (Literal("]"))
            return true;
        do {
            QString item;
            if (!String(item))
                return false;
            _listOut.append(item);
        } while (Literal(","));
        return Literal("]");
    }

private:
    // Only called on text String has checked, so every escape is one it accepts.
    static QByteArray Unescaped(const char* _p, const char* _pEnd)
    {
        QByteArray out;
        out.reserve(static_cast<int>(_pEnd - _p));
        while (_p < _pEnd) {
            int length = 1;
            out.append(*_p == '\\' ? static_cast<char>(EscapedByte(_p, _pEnd, length)) : *_p);
            _p += length;
        }
        return out;
    }

    const char* m_p;
    const char* m_pEnd;
};

} // namespace

namespace CanonicalEnvelope {

bool Read(const QByteArray& _baText, JsonCommand& _cmd)
{
    Cursor c(_baText);
    return c.Literal("{\"command\":") && c.String(_cmd.command) && c.Literal(",\"data\":") &&
           c.String(_cmd.data) && c.Literal(",\"error_code\":") && c.Integer(_cmd.error_code) &&
           c.Literal(",\"error_string\":") && c.String(_cmd.error_string) && c.Literal(",\"force_reply\":") &&
           c.Bool(_cmd.force_reply) && c.Literal(",\"from\":") && c.String(_cmd.from) &&
           c.Literal(",\"guid\":") && c.String(_cmd.guid) && c.Literal(",\"iscast\":") &&
           c.Bool(_cmd.iscast) && c.Literal(",\"to\":") && c.StringList(_cmd.to) && c.Literal(",\"type\":") &&
           c.String(_cmd.type) && c.Literal(",\"userdata\":") && c.String(_cmd.userdata) && c.Literal("}") &&
           c.AtEnd();
}

} // namespace CanonicalEnvelope
