#include "core/JsonText.h"

#include <QJsonArray>
#include <QSet>

#include <vector>

namespace {

// Deeper than Qt's own nesting limit, which refuses the document anyway.
constexpr size_t kMaxDepth = 1100;

struct Frame
{
    bool isObject = false;
    bool expectingKey = false;
    bool hasPendingKey = false;
    QByteArray pendingKey;          // the key whose value comes next
    QSet<QByteArray> containerKeys; // keys already given an array or object
};

// The key as Qt will store it. Without escapes the bytes are the key (valid UTF-8 is canonical,
// and Qt refuses invalid UTF-8 before inserting); escapes are decoded by Qt itself.
QByteArray KeyOf(const QByteArray& _baText, int _nStart, int _nEnd, bool _blEscaped)
{
    if (!_blEscaped)
        return QByteArray::fromRawData(_baText.constData() + _nStart, _nEnd - _nStart);
    const QByteArray quoted = '[' + _baText.mid(_nStart - 1, _nEnd - _nStart + 2) + ']';
    return QJsonDocument::fromJson(quoted).array().at(0).toString().toUtf8();
}

} // namespace

bool JsonText::RepeatsContainerKey(const QByteArray& _baText)
{
    std::vector<Frame> stack;
    const char* text = _baText.constData();
    const int size = _baText.size();
    for (int i = 0; i < size; ++i) {
        const char c = text[i];
        Frame* top = stack.empty() ? nullptr : &stack.back();
        if (c == '"') {
            const int start = i + 1;
            bool escaped = false;
            for (++i; i < size && text[i] != '"'; ++i)
                if (text[i] == '\\') {
                    escaped = true;
                    ++i;
                }
            if (top && top->isObject && top->expectingKey) {
                const QByteArray key = KeyOf(_baText, start, qMin(i, size), escaped);
                if (top->containerKeys.contains(key))
                    return true;
                top->pendingKey = key;
                top->hasPendingKey = true;
                top->expectingKey = false;
            } else if (top) {
                top->hasPendingKey = false;
            }
        } else if (c == '{' || c == '[') {
            if (top && top->isObject && top->hasPendingKey) {
                // Stored deep, since a raw key points into the text.
                top->containerKeys.insert(QByteArray(top->pendingKey.constData(), top->pendingKey.size()));
                top->hasPendingKey = false;
            }
            if (stack.size() >= kMaxDepth)
                return false;
            Frame frame;
            frame.isObject = frame.expectingKey = c == '{';
            stack.push_back(std::move(frame));
        } else if (c == '}' || c == ']') {
            if (!stack.empty())
                stack.pop_back();
        } else if (c == ',') {
            if (top && top->isObject) {
                top->expectingKey = true;
                top->hasPendingKey = false;
            }
        } else if (top && c != ':' && c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            top->hasPendingKey = false; // a number, true, false or null
        }
    }
    return false;
}

QJsonDocument JsonText::Parse(const QByteArray& _baText, QJsonParseError* _pError)
{
    if (RepeatsContainerKey(_baText)) {
        if (_pError) {
            _pError->error = QJsonParseError::IllegalValue;
            _pError->offset = 0;
        }
        return QJsonDocument();
    }
    return QJsonDocument::fromJson(_baText, _pError);
}
