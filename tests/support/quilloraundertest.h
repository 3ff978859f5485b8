#pragma once

#include "stubservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QImage>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

// The real program as an end-to-end test runs it: with a settings folder of its own, against a plain-HTTP stub
// service that answers "An answer.", whose requests the test takes one by one in arrival order.
class QuilloraUnderTest {
public:
    static inline const QString service = QStringLiteral("org.quillora.Quillora");

    QTemporaryDir config;
    StubService stub { StubService::Tls::None };
    QProcess instance;

    QuilloraUnderTest() { stub.replyWithExplanation(QStringLiteral("An answer.")); }

    // The test's environment, with the settings folder and the stub service's address.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", config.path());
        env.insert("QUILLORA_TEST_SERVICE_URL", stub.url().toString());
        return env;
    }

    // Starts program with arguments (and input, then the end of its standard input, when input is not empty)
    // and waits up to 15 s for it to own its D-Bus name.
    bool start(const QString& program, const QStringList& arguments = {}, const QByteArray& input = {})
    {
        if (!config.isValid())
            return false;
        instance.setProcessEnvironment(environment());
        instance.setProcessChannelMode(QProcess::ForwardedChannels);
        instance.start(program, arguments);
        if (!instance.waitForStarted())
            return false;
        if (!input.isEmpty()) {
            instance.write(input);
            instance.closeWriteChannel();
        }
        return QTest::qWaitFor(
            [] { return QDBusConnection::sessionBus().interface()->isServiceRegistered(service); }, 15000);
    }

    // Whether it still ran, and then ended when asked to.
    bool stop()
    {
        if (instance.state() != QProcess::Running)
            return false;
        instance.terminate();
        return instance.waitForFinished(10000);
    }

    // The next request to reach the service, in arrival order; empty when none arrives within timeoutMs.
    QJsonObject nextRequest(int timeoutMs = 10000)
    {
        if (!stub.waitForRequests(int(requestsTaken) + 1, timeoutMs))
            return {};
        return stub.requests().at(requestsTaken++).json();
    }
    // How many requests reached the service that the test has not taken.
    int untakenRequests() const { return int(stub.requests().size() - requestsTaken); }
    // Passes over the requests that reached the service so far.
    void skipRequests() { requestsTaken = stub.requests().size(); }

    // The pixel size of a request's picture; empty unless it is a JPEG.
    static QSize jpegSize(const QJsonObject& body)
    {
        const QByteArray jpeg = QByteArray::fromBase64(body.value("imageBase64").toString().toLatin1());
        return body.value("mediaType") == QLatin1String("image/jpeg") ? QImage::fromData(jpeg, "JPEG").size() : QSize();
    }

private:
    qsizetype requestsTaken = 0;
};

// The main of a test that runs in one Wayland test desktop (XDG_CURRENT_DESKTOP, tests/support/SCRIPT) only:
// elsewhere there is nothing to check, and 77 has ctest count it as skipped.
template <class Test>
int runInWaylandDesktop(int argc, char* argv[], const char* desktop, const char* script, bool inTestDesktop = true)
{
    if (qgetenv("XDG_CURRENT_DESKTOP") != desktop || qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || !inTestDesktop) {
        std::fprintf(stderr, "%s runs in tests/support/%s only\n", argv[0], script);
        return 77;
    }
    QGuiApplication app(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}
