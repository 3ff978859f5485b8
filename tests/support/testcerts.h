#pragma once

#include <QSslConfiguration>
#include <QString>

namespace TestCerts {
// A file made by make-test-certs.sh: ca.pem, server.pem, server.key, untrusted.pem, untrusted.key.
QString path(const char* fileName);
// The default TLS configuration plus trust in the test CA, and nothing else changed.
QSslConfiguration trustingTestCA();
} // namespace TestCerts
