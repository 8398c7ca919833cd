#pragma once

// A certificate authority made with openssl for one test run, and a server certificate it signs
// for 127.0.0.1: the HTTPS tests trust it in their own process only.

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace brivane::test {

struct TestAuthority {
    QTemporaryDir dir;
    QSslCertificate ca;
    QSslCertificate server;
    QSslKey key;

    static bool run(const QString& cwd, const QStringList& arguments) {
        QProcess process;
        process.setWorkingDirectory(cwd);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("openssl"), arguments);
        if (!process.waitForFinished(20000) || process.exitCode() != 0) {
            ADD_FAILURE() << "openssl " << arguments.join(' ').toStdString() << ": "
                          << process.readAll().toStdString();
            return false;
        }
        return true;
    }

    static QByteArray read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    explicit TestAuthority(const QString& name) {
        const QString d = dir.path();
        const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"),
                             QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"),
                             QStringLiteral("-nodes")};
        QFile ext(d + "/server.ext");
        ext.open(QIODevice::WriteOnly);
        ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
                  "extendedKeyUsage=serverAuth\n");
        ext.close();
        const bool made =
            run(d, QStringList{"req", "-x509"} + ec +
                       QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "30", "-subj",
                                   "/CN=" + name, "-addext", "basicConstraints=critical,CA:TRUE",
                                   "-addext", "keyUsage=critical,keyCertSign,cRLSign"}) &&
            run(d, QStringList{"req"} + ec +
                       QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj",
                                   "/CN=127.0.0.1"}) &&
            run(d,
                {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                 "-CAcreateserial", "-out", "server.pem", "-days", "30", "-extfile", "server.ext"});
        if (!made)
            return;
        ca = QSslCertificate(read(d + "/ca.pem"));
        server = QSslCertificate(read(d + "/server.pem"));
        key = QSslKey(read(d + "/server.key"), QSsl::Ec);
    }

    QSslConfiguration serverConfiguration() const {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(server);
        tls.setPrivateKey(key);
        return tls;
    }
};

// Makes `authority` the only one this process trusts (the system store is left out).
inline void trustOnly(const TestAuthority& authority) {
    QSslConfiguration client = QSslConfiguration::defaultConfiguration();
    client.setCaCertificates({authority.ca});
    QSslConfiguration::setDefaultConfiguration(client);
}

// A test suite whose HTTPS servers present a certificate of one authority made for the suite,
// which the process trusts alone while the suite runs.
class TrustedAuthorityTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        trusted = new TestAuthority(QStringLiteral("Pellora Test CA"));
        ASSERT_FALSE(trusted->ca.isNull());
        trustOnly(*trusted);
    }
    static void TearDownTestSuite() {
        delete trusted;
        trusted = nullptr;
    }

    static inline TestAuthority* trusted = nullptr;
};

} // namespace brivane::test
