#include "testcerts.h"

#include <QSslCertificate>

QString TestCerts::path(const char* fileName)
{
    return QStringLiteral(QUILLORA_TEST_CERT_DIR "/") + QLatin1String(fileName);
}

QSslConfiguration TestCerts::trustingTestCA()
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(path("ca.pem"));
    return tls;
}
