#pragma once

// A real quillora-service process for tests, and plain HTTP exchanges with it over loopback.
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

class ServiceProcess {
public:
    ~ServiceProcess()
    {
        m_process.terminate();
        m_process.waitForFinished(3000);
    }

    // Starts the service on a free loopback port; false when it did not say where it listens.
    bool start(const QStringList& arguments, const QProcessEnvironment& environment)
    {
        m_process.setProcessEnvironment(environment);
        m_process.start(
            QStringLiteral(QUILLORA_SERVICE_PROGRAM), QStringList { "--listen", "127.0.0.1:0" } + arguments);
        static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        if (!QTest::qWaitFor([this] { return listening.match(log()).hasMatch(); }, 5000))
            return false;
        m_port = quint16(listening.match(log()).captured(1).toUInt());
        return m_port != 0;
    }

    quint16 port() const { return m_port; }

    // Everything the service printed so far (its line for a request comes just after the answer).
    QString log()
    {
        while (m_process.waitForReadyRead(100))
            m_log += QString::fromUtf8(m_process.readAllStandardOutput());
        m_log += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_log;
    }

private:
    QProcess m_process;
    QString m_log;
    quint16 m_port = 0;
};

struct HttpAnswer {
    int status = 0;
    QByteArray body;
};

// Sends one raw request on its own connection and reads the answer to its end.
inline HttpAnswer exchange(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(3000))
        return {};
    socket.write(request);
    QByteArray received;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        received += socket.readAll();
    received += socket.readAll();
    const qsizetype split = received.indexOf("\r\n\r\n");
    return { received.mid(9, 3).toInt(), split < 0 ? QByteArray() : received.mid(split + 4) };
}

inline QByteArray postRequest(const QByteArray& body, const QByteArray& token = "test-token")
{
    QByteArray request = "POST /v1/explain HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                         "Content-Type: application/json\r\n";
    if (!token.isEmpty())
        request += "Authorization: Bearer " + token + "\r\n";
    return request + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}
