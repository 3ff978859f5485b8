// Owns the clipboard with the formats given on the command line (mime type, base64 bytes) until it is killed,
// like an application the user copied an image with its HTML and text from.
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <cstdio>

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    auto* data = new QMimeData;
    for (qsizetype i = 0; i + 1 < args.size(); i += 2)
        data->setData(args[i], QByteArray::fromBase64(args[i + 1].toLatin1()));
    QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
    std::printf("owned\n");
    std::fflush(stdout);
    return app.exec();
}
