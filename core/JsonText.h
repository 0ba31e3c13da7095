#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonParseError>

// Text from a client, parsed into a QJsonDocument without the one input Qt 5.15 mishandles: an
// object that names a key again after giving it an array or object. Qt replaces the value and
// never frees the container it replaced, so each such message would cost the service memory
// for good. That input is refused as an illegal value; everything else goes to Qt unchanged.
class JsonText
{
public:
    static QJsonDocument Parse(const QByteArray& _baText, QJsonParseError* _pError = nullptr);

    // True when some object repeats a key whose earlier value is an array or object. Reads the
    // text lexically, so a repeat before a syntax error is found too (Qt inserts before it fails).
    static bool RepeatsContainerKey(const QByteArray& _baText);
};
