#pragma once

// A vendor's Ed25519 key, made and used with the openssl commands the README gives vendors
// ("Signed update packages"), run as written there.

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>

class VendorKey
{
public:
    // Makes NAME.pem in the folder and reads its public key as config.ini's publicKey wants it.
    VendorKey(const QString& _qstrFolder, const QString& _qstrName)
        : m_qstrFolder(_qstrFolder), m_qstrName(_qstrName)
    {
        m_qstrPublicKey = QString::fromLatin1(
            Shell(QStringLiteral("openssl genpkey -algorithm ed25519 -out %1.pem && "
                                 "openssl pkey -in %1.pem -pubout -outform DER | tail -c 32 | base64")
                      .arg(m_qstrName)));
    }

    // Base64 of the raw 32-byte public key; empty when openssl failed.
    QString PublicKey() const { return m_qstrPublicKey; }

    // The Base64 signature of a package (written to a file of the folder first), empty on failure.
    QString Sign(const QByteArray& _baPackage) const
    {
        const QString name = m_qstrName + QStringLiteral("-pkg-") + QString::number(++m_nSigned);
        QFile file(QDir(m_qstrFolder).filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(_baPackage) != _baPackage.size())
            return QString();
        file.close();
        return QString::fromLatin1(
            Shell(QStringLiteral("openssl dgst -sha512 -binary -out %2.sha512 %2 && "
                                 "openssl pkeyutl -sign -inkey %1.pem -rawin -in %2.sha512 | "
                                 "base64 -w0")
                      .arg(m_qstrName, name)));
    }

private:
    // Runs a shell line in the folder; its standard output, trimmed, or an empty array on failure.
    QByteArray Shell(const QString& _qstrLine) const
    {
        QProcess shell;
        shell.setWorkingDirectory(m_qstrFolder);
        shell.start(QStringLiteral("bash"),
                    {QStringLiteral("-o"), QStringLiteral("pipefail"), QStringLiteral("-c"), _qstrLine});
        if (!shell.waitForFinished(30000) || shell.exitStatus() != QProcess::NormalExit ||
            shell.exitCode() != 0) {
            qWarning().noquote() << _qstrLine + ": " + QString::fromUtf8(shell.readAllStandardError());
            return QByteArray();
        }
        return shell.readAllStandardOutput().trimmed();
    }

    QString m_qstrFolder;
    QString m_qstrName;
    QString m_qstrPublicKey;
    mutable int m_nSigned = 0;
};
