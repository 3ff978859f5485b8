// A Qt 6 editor holding a selection: a plain text editor with the given text, the characters from START to
// END selected. Prints "ready" once it is on screen. Usage: quillora_qt6pad TEXT START END
#include <QApplication>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 4)
        return 2;
    QPlainTextEdit editor(arguments.at(1));
    editor.setWindowTitle(QStringLiteral("Qt 6 Pad"));
    editor.resize(500, 200);
    QTextCursor cursor(editor.document());
    cursor.setPosition(arguments.at(2).toInt());
    cursor.setPosition(arguments.at(3).toInt(), QTextCursor::KeepAnchor);
    editor.setTextCursor(cursor);
    editor.show();
    editor.activateWindow();
    editor.setFocus();
    QTimer::singleShot(400, [] { std::puts("ready"), std::fflush(stdout); });
    return app.exec();
}
