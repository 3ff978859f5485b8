// Test and benchmark builds take the service address from QUILLORA_TEST_SERVICE_URL, so that a test can
// serve its stub on any free port; the program itself has the address compiled in.
#include "app/builtinservice.h"

QUrl compiledServiceUrl()
{
    return QUrl(qEnvironmentVariable("QUILLORA_TEST_SERVICE_URL", QStringLiteral("https://127.0.0.1:1/unused")),
        QUrl::StrictMode);
}

QByteArray compiledServiceToken() { return QByteArrayLiteral("test-token"); }
