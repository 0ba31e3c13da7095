#include "tools/qorvctl/CtlOptions.h"

#include <QCommandLineParser>

namespace {

// Checks and stores one option's value; false when the value is not acceptable.
bool TakeValue(CtlOptions& _opt, const QString& _qstrName, const QString& _qstrValue)
{
    bool ok = true;
    if (_qstrName == QLatin1String("port")) {
        _opt.port = _qstrValue.toInt(&ok);
        return ok && _opt.port > 0 && _opt.port < 65536;
    }
    if (_qstrName == QLatin1String("name")) {
        _opt.name = _qstrValue;
        return !_qstrValue.isEmpty();
    }
    if (_qstrName == QLatin1String("timeout")) {
        _opt.timeoutSeconds = _qstrValue.toInt(&ok);
        return ok && _opt.timeoutSeconds >= 0 && _opt.timeoutSeconds <= 24 * 3600 * 365;
    }
    if (_qstrName == QLatin1String("max-time")) {
        _opt.maxTimeSeconds = _qstrValue.toInt(&ok);
        return ok && _opt.maxTimeSeconds > 0 && _opt.maxTimeSeconds <= 24 * 3600 * 365;
    }
    if (_qstrName == QLatin1String("success-codes")) {
        QList<qint64> codes;
        for (const QString& part : _qstrValue.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            bool partOk = false;
            codes.append(part.trimmed().toLongLong(&partOk));
            ok = ok && partOk;
        }
        _opt.successCodes = codes;
        return ok && !codes.isEmpty();
    }
    if (_qstrName == QLatin1String("to")) {
        _opt.to = _qstrValue.split(QLatin1Char(','), Qt::SkipEmptyParts);
        return !_opt.to.isEmpty();
    }
    if (_qstrName == QLatin1String("offer")) {
        _opt.offer = _qstrValue.split(QLatin1Char(','), Qt::SkipEmptyParts);
        return true;
    }
    if (_qstrName == QLatin1String("answer-pre-uninst")) {
        const QString code = _qstrValue.section(QLatin1Char(':'), 0, 0);
        if (code == QLatin1String("200") && !_qstrValue.contains(QLatin1Char(':')))
            _opt.preUninstCode = 200;
        else if (code == QLatin1String("201")) {
            _opt.preUninstCode = 201;
            _opt.preUninstReason = _qstrValue.section(QLatin1Char(':'), 1);
        } else
            return false;
        return true;
    }
    if (_qstrName == QLatin1String("guid"))
        _opt.guid = _qstrValue;
    else if (_qstrName == QLatin1String("userdata"))
        _opt.userdata = _qstrValue;
    else if (_qstrName == QLatin1String("command"))
        _opt.command = _qstrValue;
    return true;
}

} // namespace

std::optional<CtlOptions> CtlOptions::Parse(const QStringList& _listArgs, QString& _qstrError)
{
    QCommandLineParser parser;
    // Our own help texts know the verbs; the parser only splits the line.
    const QStringList flags = {QStringLiteral("ws"),     QStringLiteral("zmq"),  QStringLiteral("no-wait"),
                               QStringLiteral("single"), QStringLiteral("json"), QStringLiteral("version")};
    const QStringList valued = {QStringLiteral("port"),
                                QStringLiteral("name"),
                                QStringLiteral("timeout"),
                                QStringLiteral("max-time"),
                                QStringLiteral("success-codes"),
                                QStringLiteral("guid"),
                                QStringLiteral("userdata"),
                                QStringLiteral("to"),
                                QStringLiteral("command"),
                                QStringLiteral("offer"),
                                QStringLiteral("answer-pre-uninst")};
    for (const QString& flag : flags)
        parser.addOption(QCommandLineOption(flag));
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
    for (const QString& name : valued)
        parser.addOption(QCommandLineOption(name, QString(), QStringLiteral("value")));
    if (!parser.parse(_listArgs)) {
        _qstrError = parser.errorText();
        return std::nullopt;
    }

    CtlOptions opt;
    // The last of --ws and --zmq wins, as with any repeated option.
    for (const QString& name : parser.optionNames()) {
        if (name == QLatin1String("ws") || name == QLatin1String("zmq"))
            opt.useZmq = name == QLatin1String("zmq");
    }
    opt.noWait = parser.isSet(QStringLiteral("no-wait"));
    opt.single = parser.isSet(QStringLiteral("single"));
    opt.help = parser.isSet(QStringLiteral("help"));
    opt.version = parser.isSet(QStringLiteral("version"));
    opt.json = parser.isSet(QStringLiteral("json"));
    for (const QString& name : valued) {
        if (!parser.isSet(name))
            continue;
        const QString value = parser.value(name);
        if (!TakeValue(opt, name, value)) {
            _qstrError = QStringLiteral("bad value for --%1: %2").arg(name, value);
            return std::nullopt;
        }
    }
    opt.positional = parser.positionalArguments();
    return opt;
}
